#!/usr/bin/env bash
# quarnet logger end to end, through a system log socket of the test's own in a private mount namespace.
. "$(dirname "$0")/lib.sh"

# listen SOCKET COUNT OUT READY: binds a datagram socket at SOCKET, creates READY, then appends each of
# COUNT messages to OUT on a line of its own.
listen() {
  # perl is part of every Debian system; the listener gives up after 20 seconds rather than hang the run.
  perl -e '
    use IO::Socket::UNIX;
    use Socket;
    my ($path, $count, $out, $ready) = @ARGV;
    alarm 20;
    my $server = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => $path) or die "bind $path: $!\n";
    open(my $flag, ">", $ready) or die "$ready: $!\n";
    close $flag;
    open(my $received, ">", $out) or die "$out: $!\n";
    binmode $received;
    for (1 .. $count) {
      defined($server->recv(my $message, 65536)) or die "recv: $!\n";
      print $received "$message\n";
    }
    close $received or die "$out: $!\n";
  ' "$@"
}

# Runs inside the namespace: puts the test's socket at /dev/log, then logs one message per level after a
# refused one, each run's status and streams left in files named after the level.
log_through_private_socket() {
  set -e
  local socket=/dev/log
  if [ -S /dev/log ]; then
    socket=$T/log.sock
  else
    # Without a /dev/log to cover, a tmpfs over /dev takes the socket; /dev/null is carried over.
    : >"$T/null"
    mount --bind /dev/null "$T/null"
    mount -t tmpfs -o size=64k,mode=755 tmpfs /dev
    : >/dev/null
    mount --bind "$T/null" /dev/null
  fi
  listen "$socket" 4 "$T/received" "$T/ready" &
  local listener=$!
  until [ -e "$T/ready" ]; do
    kill -0 "$listener" 2>/dev/null || return 1
    sleep 0.01
  done
  [ "$socket" == /dev/log ] || mount --bind "$socket" /dev/log
  set +e
  local level
  for level in Error error warning notice info; do
    "$QUARNET" logger "$level" "100%s done at $level" >"$T/out.$level" 2>"$T/err.$level"
    echo $? >"$T/status.$level"
  done
  wait "$listener"
}

test_logger_writes_system_log_and_standard_error() {
  require_root || return $SKIP
  export T QUARNET
  unshare -m bash -c "$(declare -f listen log_through_private_socket); log_through_private_socket" ||
    fail "logging through the private socket failed"
  expect_eq "status of the refused level" 1 "$(cat status.Error)"
  expect_eq "stderr of the refused level" "Invalid level" "$(cat err.Error)"
  local level
  for level in error warning notice info; do
    expect_eq "status of $level" 0 "$(cat "status.$level")"
    expect_eq "stdout of $level" "" "$(cat "out.$level")"
    expect_eq "stderr of $level" "velmira: 100%s done at $level"$'\nx' "$(cat "err.$level"; printf x)"
  done
  # The timestamp is the time of logging; everything else is fixed.
  expect_eq "messages received" \
    '<11>velmira: 100%s done at error
<12>velmira: 100%s done at warning
<13>velmira: 100%s done at notice
<14>velmira: 100%s done at info' \
    "$(sed -E 's/^(<[0-9]+>)[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} /\1/' received)"
}

run_tests
