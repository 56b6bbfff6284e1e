#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ and runs each one briefly from its seed corpus, so that the
# targets keep building and the code they reach keeps surviving random input. Long runs are manual:
# see fuzz/CMakeLists.txt. FUZZ_SMOKE_SECONDS sets the time per target (20 by default).
. "$(dirname "$0")/lib.sh"

SECONDS_PER_TARGET=${FUZZ_SMOKE_SECONDS:-20}
BUILD="$WORK/build"

if ! command -v clang++ >/dev/null; then
  echo "SKIP: clang++ is not installed"
  rm -rf "$WORK"
  exit "$SKIP"
fi
# The libFuzzer runtime comes in a package of its own, apart from the compiler.
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$WORK/probe.cc"
if ! clang++ -fsanitize=fuzzer,address,undefined "$WORK/probe.cc" -o "$WORK/probe" >"$WORK/probe.log" 2>&1; then
  echo "SKIP: clang++ cannot link a libFuzzer target:"
  cat "$WORK/probe.log"
  rm -rf "$WORK"
  exit "$SKIP"
fi

# One build for all cases; a failure here fails the test rather than skipping it.
if ! CXX=clang++ cmake -S "$SOURCE_DIR" -B "$BUILD" -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF >"$WORK/build.log" 2>&1 ||
  ! cmake --build "$BUILD" -j2 --target fuzzers >>"$WORK/build.log" 2>&1; then
  cat "$WORK/build.log" >&2
  echo "FAIL: the fuzz targets do not build; log in $WORK/build.log" >&2
  exit 1
fi

# run_target NAME MAX_LEN: fuzzes from a copy of the seed corpus, so the sources stay as committed.
# MAX_LEN bounds the inputs: a few table lines, a token, several MD5 blocks are enough to reach every
# branch, and longer inputs only slow the run down.
run_target() {
  local name=$1 max_len=$2
  cp -r "$SOURCE_DIR/fuzz/corpus/$name" corpus
  mkdir scratch
  TMPDIR=$PWD/scratch run_capture "$BUILD/fuzz/$name" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
    -max_len="$max_len" -rss_limit_mb=2048 -artifact_prefix="$PWD/" corpus
  if [ "$status" != 0 ]; then
    fail "$name ended with status $status"
    printf '%s\n' "$err" | tail -40 >&2
  fi
  # An undefined-behaviour report that does not stop the run would still be a fault.
  if grep -qE 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|invariant broken' <<<"$err"; then
    fail "$name printed a sanitizer or invariant report"
    grep -E -A20 'runtime error:|ERROR:|invariant broken' <<<"$err" | head -60 >&2
  fi
  grep -q '^Done [0-9]* runs' <<<"$err" || fail "$name did not finish its run"
  grep '^Done [0-9]* runs' <<<"$err"
  [ -n "$(ls -A scratch)" ] && fail "$name left files in its scratch directory: $(ls -A scratch)"
  # Inputs that once failed must keep passing.
  local regressions="$SOURCE_DIR/fuzz/regressions/$name"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    run_capture "$BUILD/fuzz/$name" -timeout=10 "$regressions"/*
    [ "$status" == 0 ] || fail "$name fails on a recorded regression input: $(tail -5 <<<"$err")"
  fi
}

test_table_parser() { run_target table_parser_fuzzer 1024; }
test_table_file() { run_target table_file_fuzzer 1024; }
test_unescape() { run_target unescape_fuzzer 256; }
test_md5() { run_target md5_fuzzer 4096; }

run_tests
