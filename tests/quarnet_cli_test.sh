#!/usr/bin/env bash
# quarnet end to end: the usage, and dos2unix on files too big or too binary for a unit test.
. "$(dirname "$0")/lib.sh"

USAGE='Kestrin compatibility utility
Part of the Velmira installation kit.
Usage: quarnet command [parameters]
Valid commands: mtime symlink dos2unix locase randsleep logger kill
'

test_usage_without_a_known_command_word() {
  expect_run 1 "$USAGE" "" "$QUARNET"
  expect_run 1 "$USAGE" "" "$QUARNET" MTIME file
  expect_run 1 "$USAGE" "" "$QUARNET" -h
  expect_run 1 "$USAGE" "" "$QUARNET" --HELP
  expect_run 1 "$USAGE" "" "$QUARNET" --versio
  expect_run 1 "" $'Syntax: mtime <path>\n' "$QUARNET" mtime
}

test_help_and_version() {
  run_capture "$QUARNET" --help
  expect_eq "status of --help" 0 "$status"
  expect_eq "stderr of --help" "" "$err"
  # The usage's first three lines, then every command with the syntax line it prints itself.
  expect_eq "--help begins with the usage" "$(head -n 3 <<<"$USAGE")" "$(head -n 3 <<<"$out")"
  local words=${USAGE##*Valid commands: } word syntax
  for word in $words; do
    run_capture "$QUARNET" "$word"
    syntax=${err#Syntax: }
    syntax=${syntax%$'\n'}
    "$QUARNET" --help | grep -qxF "  quarnet $syntax" || fail "--help lacks [quarnet $syntax]"
  done
  [ "$(awk '{ print length }' <<<"$out" | sort -n | tail -n 1)" -lt 80 ] || fail "--help has lines of 80 or more"

  local version
  version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$SOURCE_DIR/CMakeLists.txt")
  expect_run 0 "quarnet (Velmira installation kit) $version"$'\n' "" "$QUARNET" --version
  # Output that cannot be written is a failure that scripts see.
  for word in --help --version; do
    expect_run 1 "" $'fflush(stdout): No space left on device\n' sh -c "exec \"\$0\" $word >/dev/full" "$QUARNET"
  done
}

test_dos2unix_large_file_of_every_byte_value() {
  # Random bytes hold every value, carriage returns among them; the CR LF runs make sure of pairs too.
  head -c 6000000 /dev/urandom >src
  printf 'line\r\n%.0s' $(seq 20000) >>src
  tr -d '\r' <src >expected
  expect_run 0 "" "" "$QUARNET" dos2unix src dst
  cmp -s expected dst || fail "dst differs from src without carriage returns"
}

test_dos2unix_onto_itself_keeps_the_file() {
  printf 'a\r\nb\r\n' >file
  ln -s file link
  expect_run 1 "" $'link and file are the same file\n' "$QUARNET" dos2unix link file
  expect_eq "file content" "$(printf 'a\r\nb\r\n' | od -c)" "$(od -c <file)"
}

run_tests
