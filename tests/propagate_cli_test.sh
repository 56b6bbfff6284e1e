#!/usr/bin/env bash
# propagate's command line, table loading and parse errors, as a user meets them.
. "$(dirname "$0")/lib.sh"

SYNTAX=$'Error: Syntax: propagate [-i] <repodir> <basedir>\n'

# A repository whose table has one directory record; $1 is the directory.
make_repo() {
  mkdir -p "$1"
  printf 'table 1 - files.txt root root 0644\ndir d root root 1700000000 0755 n\nend\n' >"$1/files.txt"
}

test_syntax_errors() {
  expect_run 1 "" "$SYNTAX" "$PROPAGATE"
  expect_run 1 "" "$SYNTAX" "$PROPAGATE" repo
  expect_run 1 "" "$SYNTAX" "$PROPAGATE" -x repo base
  expect_run 1 "" "$SYNTAX" "$PROPAGATE" -ix repo base
  expect_run 1 "" "$SYNTAX" "$PROPAGATE" --i repo base
  # An unset variable in a script must not make the root directory the base.
  expect_run 1 "" $'Error: The <basedir> operand is empty\n' "$PROPAGATE" repo ""
  [ -e base ] && fail "a syntax error created the base directory"
  [ -z "$(ls -A)" ] || fail "a syntax error touched the working directory: $(ls -A)"
}

test_missing_table_after_base_created() {
  umask 022
  expect_run 1 "" $'Error: repo/files.txt: Cannot open: No such file or directory\n' "$PROPAGATE" repo base
  expect_eq "base mode" "drwxr-xr-x" "$(stat -c %A base)"
  # A base directory that cannot be made ends the run before the repository is read, a dry run as well.
  expect_run 1 "" $'Error: mkdir(deep/base/): No such file or directory\n' "$PROPAGATE" nowhere deep/base
  expect_run 1 "" $'Error: mkdir(deep/base/): No such file or directory\n' "$PROPAGATE" -n nowhere deep/base
  [ -e deep ] && fail "created a missing parent"
}

test_empty_table_is_refused() {
  mkdir repo && : >repo/files.txt
  expect_run 1 "" $'Error: repo/files.txt: Cannot mmap: Invalid argument\n' "$PROPAGATE" repo base
}

test_operand_forms() {
  require_root || return $SKIP
  make_repo repo
  expect_run 0 "" "" "$PROPAGATE" repo base
  [ -d base/d ] || fail "dir record not applied"
  expect_run 0 "" "" "$PROPAGATE" -i repo/ base2/
  [ -f base2/files.txt ] || fail "table not installed with -i"
  expect_run 0 "" "" "$PROPAGATE" repo base3 more more
  [ -d base3/d ] || fail "four operands: base not used"
  # "-i" is an option before the operands; of four or more operands the first two count, of three none.
  expect_run 0 "" "" "$PROPAGATE" -i repo base4 more more
  [ -d base4/d ] || fail "-i with four operands: base not used"
  [ -d repo/d ] && fail "four operands with -i: repo was taken as the base"
  expect_run 1 "" "$SYNTAX" "$PROPAGATE" -i repo base more
  # Options after the operands count: this is a dry run, not a run.
  expect_run 0 $'mkdir d\ntable files.txt\n' "" "$PROPAGATE" repo base5 -n -v
  [ -e base5 ] && fail "options after the operands were ignored"
}

test_parse_errors_stop_with_line_numbers() {
  require_root || return $SKIP
  mkdir repo
  printf '\r\nfree text\r\n\nfile x root root 0 0644 s d 0 n\ntable 1 - files.txt root root 0644\r\n\r\ndir ok root root 0 0755 n\nlink bad\n' >repo/files.txt
  expect_run 1 "" $'Error: Parse error in line 8: Invalid token\n' "$PROPAGATE" repo base
  [ -d base/ok ] || fail "the record before the error was not applied"
  [ -e base/files.txt ] && fail "a failed run installed its table"
  printf 'table 2 - files.txt root root 0644\n' >repo/files.txt
  expect_run 1 "" $'Error: Unsupported table version (2 ne 1), please upgrade\n' "$PROPAGATE" repo base
  printf 'table 1 - files.txt root root 0644\nfile a root root 0 0644 s d 0 x\n' >repo/files.txt
  expect_run 1 "" $'Error: Parser error in line 2: Corrupted table (x ne \'y\' and ne \'n\')\n' "$PROPAGATE" repo base
}

test_lines_after_end_are_never_read() {
  require_root || return $SKIP
  mkdir repo
  printf 'table 1 - files.txt root root 0644\ndir a root root 0 0755 n\nend\ndir b root root 0 0755 n\nnonsense\n' >repo/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  [ -d base/a ] || fail "record before end not applied"
  [ -e base/b ] && fail "record after end applied"
  cmp -s repo/files.txt base/files.txt || fail "installed table differs from the repository's"
}

test_table_without_end_or_header() {
  require_root || return $SKIP
  mkdir repo
  printf 'table 1 - files.txt root root 0644\ndir a root root 0 0755 n' >repo/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  [ -d base/a ] && [ -f base/files.txt ] || fail "table without end record not fully processed"
  printf '\n\n   \nfile a root root 0 0644 s d 0 n\n' >repo/files.txt
  expect_run 1 "" $'Error: Repository table corrupt\n' "$PROPAGATE" repo base2
}

run_tests
