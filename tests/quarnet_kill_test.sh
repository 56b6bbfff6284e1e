#!/usr/bin/env bash
# quarnet kill end to end, against processes that each case starts and reaps itself. The shell reaps a
# background child as soon as it ends, so an ended target never lingers as a zombie answering the probe.
. "$(dirname "$0")/lib.sh"

now_us() { date +%s%6N; }

# Starts a process that ignores SIGTERM, in $target once it does.
start_term_ignoring_process() {
  (trap '' TERM; : >ready; exec sleep 30) &
  target=$!
  until [ -e ready ]; do sleep 0.01; done
  rm ready
}

test_process_ending_on_term_is_not_waited_for() {
  sleep 30 &
  local pid=$! start
  start=$(now_us)
  expect_run 0 "" "" "$QUARNET" kill 10 "$pid"
  local took=$(($(now_us) - start))
  [ "$took" -lt 2000000 ] || fail "kill took ${took}us for a process that ends on SIGTERM"
  wait "$pid"
  expect_eq "exit status of the target" 143 $?
}

test_process_ignoring_term_is_killed_after_grace() {
  bash -c 'trap "echo term >>got-term" TERM; : >ready; while :; do sleep 0.05; done' &
  local pid=$!
  until [ -e ready ]; do sleep 0.01; done
  expect_run 0 "" "" "$QUARNET" kill 1 "$pid"
  wait "$pid"
  expect_eq "exit status of the target" 137 $?
  expect_eq "SIGTERM seen during the grace period" term "$(cat got-term 2>/dev/null)"
}

test_no_grace_period_kills_at_once() {
  local seconds start took
  # 429496730 tenths wrap round to 4 polls in 32 bits.
  for seconds in 0 -3 none 429496730; do
    start_term_ignoring_process
    start=$(now_us)
    expect_run 0 "" "" "$QUARNET" kill "$seconds" "$target"
    took=$(($(now_us) - start))
    [ "$took" -lt 2000000 ] || fail "kill $seconds took ${took}us"
    wait "$target"
    expect_eq "exit status of the target for seconds $seconds" 137 $?
  done
}

test_pid_that_does_not_exist() {
  # No process id reaches pid_max.
  expect_run 0 "" "" "$QUARNET" kill 1 "$(cat /proc/sys/kernel/pid_max)"
}

test_pid_that_is_not_one_process_is_refused() {
  require_root || return $SKIP
  local pid
  # A signal to a group or to every process would reach the whole namespace; the namespace and the session
  # keep a fault from reaching the test runner, and the sibling shows whether anything was sent.
  for pid in 0 -1 -12 "" " " abc 2147483648 4294967297 99999999999999999999; do
    expect_run 0 $'Invalid pid\nstatus 1\nsibling alive\n' "" \
      unshare -pf --mount-proc setsid -w bash -c '
        sleep 30 &
        sibling=$!
        "$1" kill 0 "$2" 2>&1
        echo "status $?"
        kill -0 "$sibling" 2>/dev/null && echo "sibling alive"
        exec 2>/dev/null
        kill -KILL "$sibling"' _ "$QUARNET" "$pid"
  done
}

run_tests
