#!/usr/bin/env bash
# quarnet under faults: a full disk, no system log, a kernel or filter that refuses signals through a
# process file descriptor, and processes that end on their own. Every process signalled is started here.
. "$(dirname "$0")/lib.sh"

now_us() { date +%s%6N; }

# Inside a case: `require_strace || return $SKIP`; strace must also be allowed to trace here.
require_strace() {
  command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null && return 0
  echo "SKIP [$current_test]: strace is not installed or may not trace"
  return 1
}

# traced ERROR COMMAND...: runs COMMAND with every pidfd_send_signal failing with ERROR. LeakSanitizer
# cannot work under ptrace, so a sanitizer build checks for leaks in the other cases only.
traced() {
  local error=$1
  shift
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    strace -f -o /dev/null -e inject=pidfd_send_signal:error="$error" "$@"
}

test_logger_without_any_system_log() {
  require_root || return $SKIP
  export QUARNET
  # An empty tmpfs over /dev leaves no /dev/log to connect to; /dev/null is carried over for the shell.
  : >null
  run_capture unshare -m bash -c '
    set -e
    mount --bind /dev/null null
    mount -t tmpfs -o size=64k,mode=755 tmpfs /dev
    : >/dev/null
    mount --bind null /dev/null
    [ ! -e /dev/log ]
    set +e
    "$QUARNET" logger warning "disk 95% full, %s kept"'
  expect_eq status 0 "$status"
  expect_eq stdout "" "$out"
  expect_eq stderr $'velmira: disk 95% full, %s kept\n' "$err"
}

test_dos2unix_onto_a_full_disk() {
  require_root || return $SKIP
  export QUARNET
  # Larger than the 64 KiB file system, with carriage returns, so the copy fails on the way.
  printf 'line of text\r\n%.0s' $(seq 10000) >src
  tr -d '\r' <src >converted
  mkdir full
  run_capture unshare -m bash -c '
    mount -t tmpfs -o size=64k tmpfs full || exit 99
    "$QUARNET" dos2unix src full/dst
    status=$?
    cp full/dst dst.copy
    exit $status'
  expect_eq status 1 "$status"
  expect_eq stdout "" "$out"
  expect_eq stderr $'fclose(full/dst): No space left on device\n' "$err"
  # What did reach the disk is the start of the converted text, without a gap in it.
  local size
  size=$(stat -c %s dst.copy)
  [ "$size" -gt 0 ] || fail "nothing was written before the disk filled"
  cmp -s <(head -c "$size" converted) dst.copy || fail "dst is not the start of the converted text"
}

test_dos2unix_onto_itself_leaves_the_file_untouched() {
  printf 'a\r\nb\r\n' >file
  touch -d @1000000000 file
  ln -s file link
  ln file hard
  local dst
  for dst in file ./file link hard; do
    expect_run 1 "" "file and $dst are the same file"$'\n' "$QUARNET" dos2unix file "$dst"
    expect_eq "content after $dst" "$(printf 'a\r\nb\r\n' | od -c)" "$(od -c <file)"
    expect_eq "modification time after $dst" 1000000000 "$(stat -c %Y file)"
  done
}

test_dos2unix_between_devices() {
  expect_run 0 "" "" "$QUARNET" dos2unix /dev/null /dev/null
  printf 'x\r\n' >src
  expect_run 0 "" "" "$QUARNET" dos2unix src /dev/null
}

test_process_ending_by_itself_during_grace_period() {
  sh -c 'trap "" TERM; : >ready; sleep 0.3' &
  local pid=$! start took
  until [ -e ready ]; do sleep 0.01; done
  start=$(now_us)
  expect_run 0 "" "" "$QUARNET" kill 5 "$pid"
  took=$(($(now_us) - start))
  [ "$took" -lt 2000000 ] || fail "kill took ${took}us for a process that ended after 0.3s"
  wait "$pid"
  expect_eq "exit status of the target (137: killed)" 0 $?
}

test_signals_arrive_when_pidfd_signals_fail() {
  require_strace || return $SKIP
  local error pid start took
  for error in ENOSYS EPERM; do
    sleep 30 &
    pid=$!
    start=$(now_us)
    expect_run 0 "" "" traced "$error" "$QUARNET" kill 5 "$pid"
    took=$(($(now_us) - start))
    [ "$took" -lt 3000000 ] || fail "kill with $error took ${took}us for a process that ends on SIGTERM"
    kill -0 "$pid" 2>/dev/null && { fail "the target outlived kill with $error"; kill -KILL "$pid"; }
    wait "$pid"
    expect_eq "exit status of the target with $error" 143 $?
  done
}

test_process_that_may_not_be_signalled_is_left_alone() {
  require_root || return $SKIP
  local inject pid
  # A real permission problem is not mistaken for a refused pidfd_send_signal.
  for inject in none EPERM; do
    if [ "$inject" != none ]; then
      require_strace || return $SKIP
    fi
    sleep 30 &
    pid=$!
    if [ "$inject" == none ]; then
      expect_run 0 "" "" setpriv --reuid=65534 --regid=65534 --clear-groups "$QUARNET" kill 0 "$pid"
    else
      expect_run 0 "" "" traced EPERM setpriv --reuid=65534 --regid=65534 --clear-groups "$QUARNET" kill 0 "$pid"
    fi
    kill -0 "$pid" 2>/dev/null || fail "the target was signalled (injected: $inject)"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
  done
}

run_tests
