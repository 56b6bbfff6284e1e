#!/usr/bin/env bash
# Repositories fetched over http, https and file:// from a real nginx, directly or through a proxy that
# breaks transfers: a remote run does what a run from a local directory does, fetches only what it copies,
# resumes after being killed, and each fault either heals by retrying or ends in one line that leaves the
# installation as it was.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"
. "$(dirname "$0")/mirror_support.sh"

# Every request goes straight to 127.0.0.1, whatever proxy the machine's environment names.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

# Serves ./www for the rest of the case; the servers are stopped when the case's shell exits.
serve() {
  mkdir -p server
  trap 'fault_proxy_stop; mirror_stop' EXIT
  mirror_start server www || {
    fail "nginx did not start"
    return 1
  }
}

# Also puts the fault proxy in front of the nginx of serve().
serve_with_faults() {
  serve || return 1
  fault_proxy_start server "${MIRROR_HTTP##*:}" || {
    fail "the fault proxy did not start"
    return 1
  }
}

# How many requests nginx has logged so far: pass it to paths_since.
log_mark() {
  mirror_settle
  wc -l <"$MIRROR_LOG"
}

# The paths nginx was asked for after log mark $1, sorted.
paths_since() {
  mirror_settle
  tail -n +$(($1 + 1)) "$MIRROR_LOG" | awk '$2 != "/.settle" {print $2}' | sort
}

# How many requests for path $1 both servers got: the proxy logs what it was asked, nginx what reached it.
requests_for() {
  mirror_settle
  cat "$MIRROR_LOG" "${FAULT_LOG:-/dev/null}" 2>/dev/null | grep -c "^GET $1\( \|$\)"
}

# timed_run COMMAND...: run_capture, bounded to 90 seconds, with the time it took in $elapsed (seconds).
timed_run() {
  local start
  start=$(date +%s%N)
  run_capture timeout 90 "$@"
  elapsed=$((($(date +%s%N) - start) / 1000000000))
}

# expect_error_line WHAT STATUS START END: the run (of run_capture) ended with STATUS and one line on stderr
# that starts with START and ends with END: curl's words, in between, may change with its version.
expect_error_line() {
  expect_eq "$1: status" "$2" "$status"
  if [[ $err != "$3"*"$4"$'\n' || $err == *$'\n'*$'\n' ]]; then
    fail "$1: stderr: expected one line [$3...$4], got [$err]"
  fi
}

# The snapshot of base directory $1 without the download area, which a failed run leaves for the next.
installation_of() { snapshot "$1" | grep -v '^\./\.propagate-download'; }

expect_no_download_area() {
  [ ! -e "$1/.propagate-download" ] || fail "$1/.propagate-download left after a successful run"
}

# A repository ./www/$1 made by --create from ./stage.
create_repo() {
  "$PROPAGATE" --create stage "www/$1" >/dev/null || fail "--create of www/$1"
}

test_remote_runs_match_local_runs() {
  require_root || return $SKIP
  mkdir www
  cp -a "$SOURCE_DIR/examples/repo-2" "$SOURCE_DIR/examples/repo-3" www/
  serve || return
  # What the same runs from the local directories print and leave.
  local first_lines rerun_lines dry_lines upgrade_lines first_tree upgrade_tree
  run_capture "$PROPAGATE" -v www/repo-2 local && first_lines=$out && first_tree=$(snapshot local)
  run_capture "$PROPAGATE" -v www/repo-2 local && rerun_lines=$out
  run_capture "$PROPAGATE" -n www/repo-3 local && dry_lines=$out
  run_capture "$PROPAGATE" -v www/repo-3 local && upgrade_lines=$out && upgrade_tree=$(snapshot local)
  local scheme url mark base
  local -a options
  for scheme in http https file; do
    base=base-$scheme
    options=()
    case $scheme in
      http) url=$MIRROR_HTTP ;;
      https)
        url=$MIRROR_HTTPS
        options=(--cacert "$MIRROR_CA")
        ;;
      file) url=file://$T/www ;;
    esac
    mark=$(log_mark)
    expect_run 0 "$first_lines" "" "$PROPAGATE" -v "${options[@]}" "$url/repo-2/" $base
    expect_eq "$scheme: first tree" "$first_tree" "$(snapshot $base)"
    cmp -s www/repo-2/files.txt $base/files.txt || fail "$scheme: installed table differs from repo-2's"
    expect_no_download_area $base
    expect_eq "$scheme: objects fetched twice" "" "$(paths_since "$mark" | uniq -d)"
    # A rerun finds every file right: the table is all it fetches.
    mark=$(log_mark)
    expect_run 0 "$rerun_lines" "" "$PROPAGATE" -v "${options[@]}" "$url/repo-2" $base
    [ $scheme == file ] || expect_eq "$scheme: requests of a rerun" "/repo-2/files.txt" "$(paths_since "$mark")"
    mark=$(log_mark)
    expect_run 0 "$dry_lines" "" "$PROPAGATE" -n "${options[@]}" "$url/repo-3" $base
    [ $scheme == file ] || expect_eq "$scheme: requests of a dry run" "/repo-3/files.txt" "$(paths_since "$mark")"
    expect_eq "$scheme: tree after a dry run" "$first_tree" "$(snapshot $base)"
    # The upgrade fetches the two contents that changed, nothing for etc/app.conf (the same) or the rest.
    mark=$(log_mark)
    expect_run 0 "$upgrade_lines" "" "$PROPAGATE" -v "${options[@]}" "$url/repo-3/" $base
    [ $scheme == file ] || expect_eq "$scheme: requests of an upgrade" \
      "/repo-3/4049400E232490D58F1E26D9AB973A03 /repo-3/C592902B8D939F4FB0A94D9F99B1464F /repo-3/files.txt" \
      "$(paths_since "$mark" | xargs)"
    expect_eq "$scheme: upgraded tree" "$upgrade_tree" "$(snapshot $base)"
    cmp -s www/repo-3/files.txt $base/files.txt || fail "$scheme: installed table differs from repo-3's"
    expect_no_download_area $base
  done
  # A certificate that nothing vouches for ends the run at once: no retry, nothing made.
  timed_run "$PROPAGATE" "$MIRROR_HTTPS/repo-2/" untrusted
  expect_error_line "untrusted certificate" 1 "Error: $MIRROR_HTTPS/repo-2/files.txt: " ""
  [[ $err == *certificate* ]] || fail "no word of the certificate in [$err]"
  [ "$elapsed" -lt 3 ] || fail "an untrusted certificate was retried: the run took $elapsed s"
  [ -e untrusted/files.txt ] && fail "a table was installed from an untrusted server"
}

test_killed_download_resumes() {
  require_root || return $SKIP
  mkdir -p stage www
  head -c 1000 /dev/urandom >stage/a1
  head -c 1000 /dev/urandom >stage/a2
  local name
  for name in b1 b2 b3; do head -c 300000 /dev/urandom >stage/$name; done
  create_repo repo
  serve || return
  "$PROPAGATE" www/repo local >/dev/null || fail "local run"
  # Through /slow/ the large contents take seconds: the run is killed once one content has come whole and
  # another has begun.
  "$PROPAGATE" "$MIRROR_HTTP/slow/repo/" base >/dev/null 2>&1 &
  local pid=$! area=base/.propagate-download tries
  for tries in $(seq 1 200); do
    kill -0 $pid 2>/dev/null || break
    grep -q '^GET /slow/repo/[0-9A-F]\{32\} 200 ' "$MIRROR_LOG" && [ -n "$(find $area -name '*.part' -size +0 2>/dev/null)" ] &&
      break
    sleep 0.1
  done
  kill -KILL $pid
  wait $pid 2>/dev/null
  expect_attrs $area "directory 700 root root"
  local complete partial size
  complete=$(ls $area 2>/dev/null | grep -v '\.part$')
  partial=$(find $area -name '*.part' -size +0 -printf '%f\n' 2>/dev/null)
  [ -n "$partial" ] || fail "no partial download in $area when the run was killed"
  local mark
  mark=$(log_mark)
  expect_run 0 "" "" "$PROPAGATE" "$MIRROR_HTTP/repo" base
  local fetched
  mirror_settle
  fetched=$(tail -n +$((mark + 1)) "$MIRROR_LOG")
  for name in $complete; do
    [[ $fetched == *" /repo/$name "* ]] && fail "$name was fetched again though complete in $area"
  done
  for name in $partial; do
    name=${name%.part}
    size=$(stat -c %s www/repo/$name)
    # What the killed run had kept of it is asked for no more.
    [[ $fetched =~ "GET /repo/$name 206 "([0-9]+)" \"bytes="([0-9]+)"-\"" ]] ||
      fail "$name was not resumed with a range: [$fetched]"
    expect_eq "bytes resumed and fetched before of $name" "$size" "$((BASH_REMATCH[1] + BASH_REMATCH[2]))"
  done
  for name in $(cd www/repo && ls | grep -E '^[0-9A-F]{32}$'); do
    size=$(stat -c %s www/repo/$name)
    [ "$(grep -c "^GET \(/slow\)\?/repo/$name 200 $size " "$MIRROR_LOG")" -le 1 ] || fail "$name fetched twice in full"
  done
  expect_eq "tree" "$(snapshot local)" "$(snapshot base)"
  expect_no_download_area base
}

test_faults() {
  require_root || return $SKIP
  mkdir -p stage www
  printf 'small\n' >stage/small
  head -c 60000 /dev/urandom >stage/data
  create_repo v1
  # The second release changes one content: the fault meets that object and nothing else.
  head -c 60000 /dev/urandom >stage/data
  create_repo repo
  "$PROPAGATE" www/repo expected >/dev/null || fail "local run"
  serve_with_faults || return
  local object corrupted
  object=$(digest stage/data)
  # The proxy's corruption flips the lowest bit of the first byte.
  corrupted=$(perl -0777 -pe 'substr($_, 0, 1) ^= "\x01"' stage/data | md5sum | cut -c1-32 | tr a-f A-F)
  local url want_status start end fetched requests before table
  while IFS='~' read -r url want_status start end fetched requests; do
    rm -rf base
    "$PROPAGATE" www/v1 base >/dev/null || fail "installing v1"
    before=$(installation_of base)
    table=$(cat base/files.txt)
    timed_run "$PROPAGATE" --speed-time 2 "$url/" base
    if [ "$want_status" == 0 ]; then
      expect_eq "$url: status" 0 "$status"
      expect_eq "$url: stderr" "" "$err"
      expect_eq "$url: tree" "$(snapshot expected)" "$(snapshot base)"
      expect_no_download_area base
    else
      # Without an END the whole line is ours, and exact.
      if [ -z "$end" ]; then
        expect_eq "$url: status" "$want_status" "$status"
        expect_eq "$url: stderr" "$start"$'\n' "$err"
      else
        expect_error_line "$url" "$want_status" "$start" "$end"
      fi
      expect_eq "$url: tree" "$before" "$(installation_of base)"
      expect_eq "$url: table" "$table" "$(cat base/files.txt)"
      # What was fetched is kept for the next run; a table that could not be fetched changed nothing at all.
      if [ "$fetched" == files.txt ]; then
        [ -e base/.propagate-download ] && fail "$url: a download area was made without a table"
      else
        [ -d base/.propagate-download ] || fail "$url: the download area was not kept"
      fi
    fi
    expect_eq "$url: requests for $fetched" "$requests" "$(requests_for "/${url#http://*/}/$fetched")"
    # A stalled attempt ends within about 3 seconds under --speed-time 2; four of them and 3.5 seconds of
    # pauses make the slowest row.
    [ "$elapsed" -le 30 ] || fail "$url: the run took $elapsed s"
  done <<EOT
$FAULT_URL/truncate/repo~0~~~$object~2
$FAULT_URL/corrupt/repo~0~~~$object~2
$FAULT_URL/503once/repo~0~~~$object~2
$FAULT_URL/429once/repo~0~~~$object~2
$MIRROR_HTTP/slow/repo~0~~~$object~1
$FAULT_URL/truncate-always/repo~1~Error: $FAULT_URL/truncate-always/repo/$object: ~ (after 4 attempts)~$object~4
$FAULT_URL/corrupt-always/repo~1~Error: $FAULT_URL/corrupt-always/repo/$object: The content's control sum is $corrupted, the table gives $object~~$object~2
$FAULT_URL/stall/repo~1~Error: $FAULT_URL/stall/repo/$object: ~ (after 4 attempts)~$object~4
$FAULT_URL/reset/repo~1~Error: $FAULT_URL/reset/repo/$object: ~ (after 4 attempts)~$object~4
$FAULT_URL/404/repo~1~Error: $FAULT_URL/404/repo/$object: HTTP 404~~$object~1
$MIRROR_HTTP/drop/repo~1~Error: $MIRROR_HTTP/drop/repo/files.txt: ~ (after 4 attempts)~files.txt~4
EOT
  # Nothing listens on the proxy's port once it is gone.
  local refused=$FAULT_URL
  fault_proxy_stop
  timed_run "$PROPAGATE" "$refused/repo" base
  expect_error_line "connection refused" 1 "Error: $refused/repo/files.txt: " " (after 4 attempts)"
}

test_proxy_from_environment() {
  require_root || return $SKIP
  mkdir www
  cp -a "$SOURCE_DIR/examples/repo-2" www/
  serve_with_faults || return
  "$PROPAGATE" www/repo-2 local >/dev/null || fail "local run"
  http_proxy=$FAULT_URL expect_run 0 "" "" "$PROPAGATE" "$MIRROR_HTTP/repo-2/" base
  expect_eq "tree" "$(snapshot local)" "$(snapshot base)"
  grep -qx "GET $MIRROR_HTTP/repo-2/files.txt" "$FAULT_LOG" || fail "the table was not fetched through the proxy"
  grep -qx "GET $MIRROR_HTTP/repo-2/E037956AA9E43DE71C0E2A70D8D2D703" "$FAULT_LOG" ||
    fail "bin/velmira's content was not fetched through the proxy"
  local proxied
  proxied=$(wc -l <"$FAULT_LOG")
  no_proxy=127.0.0.1 http_proxy=$FAULT_URL expect_run 0 "" "" "$PROPAGATE" "$MIRROR_HTTP/repo-2/" base
  expect_eq "requests through the proxy under no_proxy" "$proxied" "$(wc -l <"$FAULT_LOG")"
}

test_redirect_to_another_protocol_is_refused() {
  require_root || return $SKIP
  mkdir www
  serve || return
  local where
  for where in redirect-ftp redirect-file; do
    timed_run "$PROPAGATE" "$MIRROR_HTTP/$where/repo" base
    expect_error_line "$where" 1 "Error: $MIRROR_HTTP/$where/repo/files.txt: " ""
    expect_eq "$where: requests" 1 "$(requests_for "/$where/repo/files.txt")"
    [ -e base/files.txt ] && fail "$where: a table was installed"
  done
}

test_signed_repository() {
  require_root || return $SKIP
  command -v minisign >/dev/null || {
    echo "SKIP [$current_test]: no minisign"
    return $SKIP
  }
  minisign -G -W -p k.pub -s k.key >/dev/null || fail "minisign -G"
  mkdir -p stage www
  printf 'v1\n' >stage/version
  printf 'data\n' >stage/data
  local release
  for release in 1 2; do
    "$PROPAGATE" --create --sign k.key --product velmira --release-version $release stage www/v$release >/dev/null ||
      fail "--create --sign of v$release"
    printf 'v2\n' >stage/version
  done
  serve || return
  local mark
  mark=$(log_mark)
  expect_run 0 "" "" "$PROPAGATE" --trusted-key k.pub "$MIRROR_HTTP/v1" base
  expect_eq "requests" "$(cd www/v1 && ls | sed 's|^|/v1/|' | sort | xargs)" "$(paths_since "$mark" | xargs)"
  # A dry run fetches the table and what proves it, no content.
  mark=$(log_mark)
  expect_run 0 "copy version"$'\n'"table files.txt"$'\n' "" "$PROPAGATE" -n --trusted-key k.pub "$MIRROR_HTTP/v2" base
  expect_eq "requests of a dry run" "/v2/SHA256SUMS /v2/SHA256SUMS.minisig /v2/files.txt" "$(paths_since "$mark" | xargs)"
  # A mirror that serves other bytes under the name of a content is refused before anything changes.
  local object before
  object=$(digest stage/version)
  printf 'v3\n' >www/v2/$object
  before=$(installation_of base)
  run_capture "$PROPAGATE" --trusted-key k.pub "$MIRROR_HTTP/v2/" base
  expect_error_line "wrong content" 1 "Error: $MIRROR_HTTP/v2/$object: The content's " ""
  # Its MD5 or its SHA-256, whichever is checked first, gives it away.
  [[ $err == *"The content's control sum is "* || $err == *"The content's SHA-256 is "* ]] ||
    fail "stderr: expected the wrong content of $object, got [$err]"
  expect_eq "tree" "$before" "$(installation_of base)"
  cmp -s www/v1/files.txt base/files.txt || fail "the table of v1 was replaced"
}

run_tests
