# A real web server and a proxy that breaks transfers on purpose, for tests and benchmarks that fetch
# repositories over the network. Both listen on 127.0.0.1 only, on free ports, and are stopped by pid:
# whoever starts them stops them on every path (a trap in the caller's cleanup). Usable under set -eu.

MIRROR_SUPPORT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# mirror_start WORKDIR DOCROOT: nginx serving DOCROOT at / over http and https (http2), with the locations
# that tests use to slow down, drop and redirect. Sets MIRROR_HTTP, MIRROR_HTTPS, MIRROR_CA, MIRROR_LOG and
# MIRROR_PID. MIRROR_EXTRA_CONFIG, if set, is added to both servers.
mirror_start() {
  local workdir docroot
  workdir=$(cd "$1" && pwd) || return 1
  docroot=$(cd "$2" && pwd) || return 1
  mkdir -p "$workdir/tmp"
  # An ed25519 certificate is the quickest to make; curl and nginx here both take it.
  openssl req -x509 -newkey ed25519 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$workdir/key.pem" -out "$workdir/cert.pem" >/dev/null 2>&1 || {
    echo "mirror_start: openssl could not make a certificate" >&2
    return 1
  }
  local attempt port tls_port
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 20000))
    tls_port=$((40000 + RANDOM % 20000))
    mirror_write_config "$workdir" "$docroot" "$port" "$tls_port"
    : >"$workdir/nginx.stderr"
    "$(command -v nginx || echo /usr/sbin/nginx)" -p "$workdir/" -c nginx.conf -e stderr >"$workdir/nginx.stderr" 2>&1 &
    MIRROR_PID=$!
    if mirror_wait_until_up "$port"; then
      # Counts of requests start from an empty log, whatever the probe left in it.
      : >"$workdir/access.log"
      MIRROR_HTTP=http://127.0.0.1:$port
      MIRROR_HTTPS=https://127.0.0.1:$tls_port
      MIRROR_CA=$workdir/cert.pem
      MIRROR_LOG=$workdir/access.log
      return 0
    fi
    mirror_stop
    # Another program took one of the ports between our pick and nginx's bind: pick again.
    grep -q 'Address already in use' "$workdir/nginx.stderr" || break
  done
  echo "mirror_start: nginx did not start:" >&2
  cat "$workdir/nginx.stderr" >&2
  return 1
}

# mirror_write_config WORKDIR DOCROOT PORT TLS_PORT: WORKDIR/nginx.conf for mirror_start.
mirror_write_config() {
  local workdir=$1 docroot=$2 port=$3 tls_port=$4
  local locations="
    root $docroot;
    location /slow/ { alias $docroot/; limit_rate 64k; }
    location /drop/ { return 444; }
    location /redirect-ftp/ { return 302 ftp://127.0.0.1/; }
    location /redirect-file/ { return 302 file:///etc/passwd; }
    ${MIRROR_EXTRA_CONFIG:-}"
  cat >"$workdir/nginx.conf" <<EOT
daemon off;
master_process off;
pid nginx.pid;
error_log error.log;
events { worker_connections 1024; }
http {
  log_format mirror '\$request_method \$uri \$status \$body_bytes_sent "\$http_range"';
  access_log access.log mirror;
  client_body_temp_path tmp/body;
  proxy_temp_path tmp/proxy;
  fastcgi_temp_path tmp/fastcgi;
  uwsgi_temp_path tmp/uwsgi;
  scgi_temp_path tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    $locations
  }
  server {
    listen 127.0.0.1:$tls_port ssl http2;
    ssl_certificate cert.pem;
    ssl_certificate_key key.pem;
    $locations
  }
}
EOT
}

# mirror_wait_until_up PORT: succeeds once nginx (MIRROR_PID) accepts connections on PORT, fails if it
# exits or takes longer than 5 seconds. nginx binds every port before it serves any, so one is enough.
mirror_wait_until_up() {
  local tries
  for tries in $(seq 1 50); do
    kill -0 "$MIRROR_PID" 2>/dev/null || return 1
    # bash's own connection: the curl command line need not be installed.
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# stop_by_pid PID: SIGTERM, up to 5 seconds for it to end, then SIGKILL. No error if it is already gone.
stop_by_pid() {
  local pid=$1 tries
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for tries in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  # Reaps it when it is this shell's child; returns at once otherwise.
  wait "$pid" 2>/dev/null || true
}

# mirror_stop: stops the nginx of mirror_start.
# mirror_settle: returns once nginx has logged every request that it answered so far. nginx writes a line
# after its answer, and a client may be done before that; one process serves the requests in turn, so once
# the line of a probe sent now is there, so are those of the requests answered before it. The probe's lines
# ("GET /.settle") are for readers of the log to leave out.
mirror_settle() {
  local probe tries=0
  exec {probe}<>"/dev/tcp/127.0.0.1/${MIRROR_HTTP##*:}" || return 1
  printf 'GET /.settle HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&"$probe"
  cat <&"$probe" >/dev/null
  exec {probe}>&-
  while ! grep -q '^GET /\.settle ' "$MIRROR_LOG" && ((tries++ < 50)); do
    sleep 0.1
  done
}

mirror_stop() {
  stop_by_pid "${MIRROR_PID:-}"
  MIRROR_PID=
}

# fault_proxy_start WORKDIR UPSTREAM_PORT: tests/fault_proxy.pl in front of the server on 127.0.0.1 at
# UPSTREAM_PORT, on a free port. Sets FAULT_URL, FAULT_PID and FAULT_LOG (one line per request it got).
fault_proxy_start() {
  local workdir
  workdir=$(cd "$1" && pwd) || return 1
  rm -f "$workdir/fault_proxy.port"
  perl "$MIRROR_SUPPORT_DIR/fault_proxy.pl" "$workdir" "$2" 2>>"$workdir/fault_proxy.stderr" &
  FAULT_PID=$!
  FAULT_LOG=$workdir/fault_proxy.log
  local tries
  # The proxy binds port 0 and writes the port the kernel gave it once it listens.
  for tries in $(seq 1 50); do
    if [ -s "$workdir/fault_proxy.port" ]; then
      FAULT_URL=http://127.0.0.1:$(cat "$workdir/fault_proxy.port")
      return 0
    fi
    kill -0 "$FAULT_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "fault_proxy_start: the proxy did not start:" >&2
  cat "$workdir/fault_proxy.stderr" >&2
  fault_proxy_stop
  return 1
}

# fault_proxy_stop: stops the proxy of fault_proxy_start.
fault_proxy_stop() {
  stop_by_pid "${FAULT_PID:-}"
  FAULT_PID=
}
