#!/usr/bin/perl
# fault_proxy.pl WORKDIR UPSTREAM_PORT: an HTTP/1.1 proxy on 127.0.0.1 in front of a server on
# 127.0.0.1:UPSTREAM_PORT that breaks transfers on purpose, so that tests see the faults of real networks.
#
# The first segment of the path picks the fault and is removed before the request goes upstream:
#   /truncate/ /truncate-always/   the full Content-Length, half the body, then the connection is closed
#   /corrupt/ /corrupt-always/     the first byte of the body is flipped
#   /stall/                        the head and one byte, then nothing until the client gives up
#   /reset/                        the connection is reset as soon as the request is read
#   /503once/ /429once/            that status, then the answers of the server
#   /404/                          404
# Faults without "-always" hit only the first request of each path; later ones (a retry, a resumption with
# its Range header) go through. They spare files.txt and SHA256SUMS*, so that a run gets its table and
# meets the fault in the content. Requests in absolute form (GET http://127.0.0.1:PORT/path, as clients
# send to a proxy from their environment) go to that port. Every request is logged as "METHOD TARGET" in
# WORKDIR/fault_proxy.log; the port it listens on is written to WORKDIR/fault_proxy.port.
# It ends on SIGTERM, or by itself after 10 minutes; a connection lasts at most 60 seconds.
use strict;
use warnings;
use Fcntl qw(O_CREAT O_EXCL O_WRONLY O_APPEND);
use IO::Select;
use IO::Socket::INET;
use POSIX qw(WNOHANG);
use Socket qw(SOL_SOCKET SO_LINGER);

my ($workdir, $upstream_port) = @ARGV;
die "usage: fault_proxy.pl WORKDIR UPSTREAM_PORT\n" unless defined $upstream_port && $upstream_port =~ /^\d+$/;

my $lifetime_seconds = 600;
my $connection_seconds = 60;
# One byte of body, then nothing: more would keep curl's speed, averaged over seconds, above 1 byte/s for
# longer, and each stalled attempt would last that much longer.
my $stall_bytes = 1;
my %known_faults = map { $_ => 1 }
  qw(truncate truncate-always corrupt corrupt-always stall reset 503once 429once 404);
my %faults_of_first_request_only = map { $_ => 1 } qw(truncate corrupt 503once 429once);
my $seen_dir = "$workdir/fault_proxy.seen";

my $listener = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 64, ReuseAddr => 1)
  or die "fault_proxy.pl: cannot listen on 127.0.0.1: $!\n";
mkdir $seen_dir;
write_port_file($listener->sockport);

my $stopping = 0;
$SIG{TERM} = $SIG{INT} = sub { $stopping = 1 };
$SIG{PIPE} = 'IGNORE';
my %children;
my $deadline = time + $lifetime_seconds;
my $select = IO::Select->new($listener);
while (!$stopping && time < $deadline) {
  reap_children();
  next unless $select->can_read(0.5);
  my $client = $listener->accept or next;
  my $pid = fork;
  if (!defined $pid) {
    close $client;
    next;
  }
  if ($pid == 0) {
    $SIG{TERM} = $SIG{INT} = 'DEFAULT';
    close $listener;
    # A hard bound on every connection, whatever it waits for.
    alarm($connection_seconds + 5);
    serve($client);
    exit 0;
  }
  $children{$pid} = 1;
  close $client;
}
kill 'TERM', keys %children;
waitpid($_, 0) for keys %children;
exit 0;

sub reap_children {
  while ((my $pid = waitpid(-1, WNOHANG)) > 0) {
    delete $children{$pid};
  }
}

# Written under another name first: the caller reads the file as soon as it is there.
sub write_port_file {
  my ($port) = @_;
  my $path = "$workdir/fault_proxy.port";
  open(my $file, '>', "$path.new") or die "fault_proxy.pl: $path.new: $!\n";
  print $file "$port\n";
  close $file;
  rename("$path.new", $path) or die "fault_proxy.pl: $path: $!\n";
}

sub serve {
  my ($client) = @_;
  my $head = read_head($client) // return;
  my ($request_line, @header_lines) = split /\r\n/, $head;
  my ($method, $target) = split / /, $request_line // '';
  return answer($client, 400, 'Bad Request') unless defined $target;
  log_request("$method $target");

  my ($port, $path) = ($upstream_port, $target);
  if ($target =~ m{^http://(127\.0\.0\.1|localhost)(?::(\d+))?(/.*)?$}) {
    ($port, $path) = ($2 // 80, $3 // '/');
  } elsif ($target !~ m{^/}) {
    # Nothing but this machine's loopback is ever a destination.
    return answer($client, 403, 'Forbidden');
  }

  my $fault = 'none';
  if ($path =~ m{^/([^/?]+)(/.*)$} && $known_faults{$1}) {
    ($fault, $path) = ($1, $2);
  }
  my ($last_segment) = $path =~ m{([^/?]*)(?:\?.*)?$};
  $fault = 'none' if $last_segment eq 'files.txt' || $last_segment =~ /^SHA256SUMS/;
  $fault = 'none' if $faults_of_first_request_only{$fault} && !first_request_of("$fault$path");

  if ($fault eq 'reset') {
    # A zero linger time makes close() send a reset instead of an orderly end.
    setsockopt($client, SOL_SOCKET, SO_LINGER, pack('ii', 1, 0));
    close $client;
    return;
  }
  return answer($client, 404, 'Not Found') if $fault eq '404';
  return answer($client, 503, 'Service Unavailable') if $fault eq '503once';
  return answer($client, 429, 'Too Many Requests') if $fault eq '429once';

  my $upstream = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $port)
    or return answer($client, 502, 'Bad Gateway');
  my $request = "$method $path HTTP/1.1\r\nHost: 127.0.0.1:$port\r\nConnection: close\r\n";
  for my $line (@header_lines) {
    next if $line =~ /^(host|connection|proxy-connection|proxy-authorization|keep-alive|te|upgrade):/i;
    $request .= "$line\r\n";
  }
  write_all($upstream, "$request\r\n") or return;

  if ($fault eq 'none') {
    my $buffer;
    while (sysread($upstream, $buffer, 65536)) {
      write_all($client, $buffer) or return;
    }
    return;
  }

  my $response = '';
  my $buffer;
  $response .= $buffer while sysread($upstream, $buffer, 65536);
  my $head_end = index($response, "\r\n\r\n");
  return write_all($client, $response) if $head_end < 0;
  my $response_head = substr($response, 0, $head_end + 4);
  my $body = substr($response, $head_end + 4);
  # Only a body that is content is broken: error pages and empty bodies go through.
  return write_all($client, $response) unless $response_head =~ m{^HTTP/1\.[01] 20[06] } && length $body >= 2;

  if ($fault =~ /^truncate/) {
    write_all($client, $response_head . substr($body, 0, int(length($body) / 2)));
  } elsif ($fault =~ /^corrupt/) {
    substr($body, 0, 1) = chr(ord(substr($body, 0, 1)) ^ 1);
    write_all($client, $response_head . $body);
  } elsif ($fault eq 'stall') {
    write_all($client, $response_head . substr($body, 0, $stall_bytes)) or return;
    # Waits for the client to give up (it closes: readable, then end of file), or for the bound.
    my $waiting = IO::Select->new($client);
    my $until = time + $connection_seconds;
    while (time < $until) {
      next unless $waiting->can_read($until - time);
      last unless sysread($client, $buffer, 4096);
    }
  }
}

# The request line and headers, up to the empty line; undef when the client goes away first.
sub read_head {
  my ($client) = @_;
  my $head = '';
  my $buffer;
  while (index($head, "\r\n\r\n") < 0) {
    return undef if length $head > 65536;
    sysread($client, $buffer, 4096) or return undef;
    $head .= $buffer;
  }
  return substr($head, 0, index($head, "\r\n\r\n"));
}

sub answer {
  my ($client, $status, $reason) = @_;
  my $body = "$status $reason\n";
  write_all($client,
    "HTTP/1.1 $status $reason\r\nContent-Type: text/plain\r\nContent-Length: " . length($body)
      . "\r\nConnection: close\r\n\r\n$body");
}

sub write_all {
  my ($socket, $data) = @_;
  while (length $data) {
    my $written = syswrite($socket, $data);
    return 0 unless $written;
    substr($data, 0, $written) = '';
  }
  return 1;
}

# Whether this is the first request for KEY since the proxy started, among all its connections: the one
# that creates the mark wins.
sub first_request_of {
  my ($key) = @_;
  $key =~ s/[^A-Za-z0-9._-]/_/g;
  sysopen(my $mark, "$seen_dir/$key", O_CREAT | O_EXCL | O_WRONLY) or return 0;
  close $mark;
  return 1;
}

sub log_request {
  my ($line) = @_;
  sysopen(my $log, "$workdir/fault_proxy.log", O_CREAT | O_WRONLY | O_APPEND) or return;
  syswrite($log, "$line\n");
  close $log;
}
