# Shared helpers for the end-to-end tests. A test script sources this file, defines test_* functions
# and ends with run_tests. $PROPAGATE and $QUARNET name the built programs.
set -u

SKIP=77
WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e-XXXXXX")

# PROPAGATE_JOBS=N runs every propagate command of a script with "-j N" in front of its arguments.
if [ -n "${PROPAGATE_JOBS:-}" ] && [ -n "${PROPAGATE:-}" ]; then
  printf '#!/bin/sh\nexec "%s" -j %s "$@"\n' "$PROPAGATE" "$PROPAGATE_JOBS" >"$WORK/propagate-jobs"
  chmod +x "$WORK/propagate-jobs"
  PROPAGATE=$WORK/propagate-jobs
fi
current_test=setup

# Records a failure of the current case; the case goes on so that one run shows every difference.
fail() {
  echo "FAIL [$current_test]: $*" >&2
  echo "$current_test" >>"$WORK/.failures"
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  [ "$2" == "$3" ] || fail "$1: expected [$2], got [$3]"
}

# run_capture COMMAND...: runs it; its status in $status, standard output in $out, standard error in $err.
run_capture() {
  "$@" >"$WORK/.out" 2>"$WORK/.err"
  status=$?
  out=$(cat "$WORK/.out"; printf x)
  out=${out%x}
  err=$(cat "$WORK/.err"; printf x)
  err=${err%x}
}

# expect_run STATUS STDOUT STDERR COMMAND...: exact status and streams (write line ends as $'\n').
expect_run() {
  local want_status=$1 want_out=$2 want_err=$3
  shift 3
  run_capture "$@"
  expect_eq "status of $*" "$want_status" "$status"
  expect_eq "stdout of $*" "$want_out" "$out"
  expect_eq "stderr of $*" "$want_err" "$err"
}

# Inside a case: `require_root || return $SKIP`.
require_root() {
  [ "$(id -u)" == 0 ] && return 0
  echo "SKIP [$current_test]: needs root"
  return 1
}

# complete_words FILE WORD...: the completion in FILE, sourced into a shell as bash-completion loads it,
# asked for the command line WORD... (the command first; the last word is the one being completed).
# Prints the candidates, one per line.
complete_words() {
  local file=$1
  shift
  bash -c '
    source "$1" || exit 1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    spec=$(complete -p "$1") || exit 1
    func=${spec#*-F }
    func=${func%% *}
    "$func" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  ' complete_words "$file" "$@"
}

# Runs every test_* function in definition order, each in a subshell inside a fresh directory $T.
# A case that returns $SKIP counts as skipped. TEST_FILTER (an extended regular expression) picks cases.
# Exits 0 when all passed, 77 when all were skipped, 1 otherwise; the tree is kept after a failure.
run_tests() {
  local name ran=0 skipped=0
  for name in $(declare -F | awk '{print $3}' | grep '^test_' | grep -E -- "${TEST_FILTER:-.}"); do
    current_test=$name
    T="$WORK/$name"
    mkdir -p "$T"
    ( cd "$T" && "$name" )
    # A case records its failures through fail(); its own status only tells a skip.
    if [ $? == "$SKIP" ]; then
      skipped=$((skipped + 1))
    else
      ran=$((ran + 1))
    fi
  done
  local failed=0
  [ -f "$WORK/.failures" ] && failed=$(sort -u "$WORK/.failures" | wc -l)
  echo "$((ran - failed)) passed, $failed failed, $skipped skipped"
  if [ "$failed" != 0 ]; then
    echo "Test data has been left in $WORK" >&2
    exit 1
  fi
  rm -rf "$WORK"
  [ "$ran" == 0 ] && [ "$skipped" != 0 ] && exit "$SKIP"
  exit 0
}
