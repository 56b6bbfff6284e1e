#!/usr/bin/env bash
# The manual pages: clean roff that mandoc and man render without a warning, and text that stays true to
# the programs (every message they can print, the command words, the example repository's table).
. "$(dirname "$0")/lib.sh"

PAGES=("$SOURCE_DIR"/man/propagate.1 "$SOURCE_DIR"/man/quarnet.1 "$SOURCE_DIR"/man/files.txt.5)

need_mandoc() {
  command -v mandoc >/dev/null && return 0
  echo "SKIP [$current_test]: mandoc is not installed"
  return 1
}

# The page $1 as plain text, each paragraph on one line, so that a message is never broken.
page_text() {
  mandoc -T ascii -O width=1000 "$1" | col -b
}

# The text of a printf-style format as an extended regular expression: every conversion matches any text.
format_regex() {
  sed -e 's/[][\.*^$(){}|+?]/\\&/g' -e 's/%[-#0-9.]*[a-z]*[a-zA-Z]/.*/g' <<<"$1"
}

# Fails unless the text in file $2 holds the printf-style format $1 (conversions stand for any text).
expect_documented() {
  grep -Eq -- "$(format_regex "$1")" "$2" || fail "$(basename "$3") does not document the message [$1]"
}

test_pages_pass_mandoc_lint() {
  need_mandoc || return $SKIP
  local page
  for page in "${PAGES[@]}"; do
    expect_eq "mandoc -T lint $(basename "$page")" "" "$(mandoc -T lint -W all "$page" 2>&1)"
  done
  # Every page in the directory is one of those checked here and installed.
  expect_eq "pages" "files.txt.5 propagate.1 quarnet.1" \
    "$(cd "$SOURCE_DIR/man" && ls -- *.[1-9] | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
}

test_pages_render_with_man() {
  command -v man >/dev/null || { echo "SKIP [$current_test]: man is not installed"; return $SKIP; }
  local page name
  for page in "${PAGES[@]}"; do
    name=$(basename "$page")
    MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$name.txt" 2>"$name.err" </dev/null
    expect_eq "status of man -l $name" 0 $?
    expect_eq "warnings of man -l $name" "" "$(cat "$name.err")"
    grep -q '^NAME' "$name.txt" || fail "$name renders without a NAME section"
    grep -q '^SEE ALSO' "$name.txt" || fail "$name renders without a SEE ALSO section"
  done
}

# Every message that propagate can end a run with is explained in propagate(1).
test_propagate_messages_are_documented() {
  need_mandoc || return $SKIP
  page_text "$SOURCE_DIR/man/propagate.1" >page.txt
  # The format strings handed to Fail and FailErrno (which adds ": %s"), with the PRIu64 pieces joined in.
  perl -0777 -ne '
    while (/\bFail(Errno)?\(\s*(?:[^,"()]+,\s*)?((?:"(?:[^"\\]|\\.)*"\s*(?:PRI[a-zA-Z0-9]+\s*)?)+)/g) {
      my ($errno, $f) = ($1, $2);
      $f =~ s/"\s*PRI[a-zA-Z0-9]+\s*"?/u/g;
      $f =~ s/(?<!\\)"\s*"//g;
      $f =~ s/^"|"\s*$//g;
      $f =~ s/\\(["\\])/$1/g;
      $f .= ": %s" if $errno;
      print "$f\n";
    }' $(find "$SOURCE_DIR"/propagate -name "*.cc" ! -name "*_test.cc" ! -name "test_support.cc") |
    LC_ALL=C sort -u >messages.txt
  [ -s messages.txt ] || fail "no messages found in the sources"
  local message count=0
  while IFS= read -r message; do
    case $message in
      "%s") continue ;;              # the syntax line, checked below as the program prints it
      "readlink(%s): %s") continue ;; # only ever caught: a path without a link counts as an absent link
    esac
    expect_documented "$message" page.txt propagate.1
    count=$((count + 1))
  done <messages.txt
  [ "$count" -ge 15 ] || fail "only $count messages found in the sources: $(cat messages.txt)"
  run_capture "$PROPAGATE"
  err=${err%$'\n'}
  grep -qF -- "${err#Error: }" page.txt || fail "propagate.1 does not show the syntax line [$err]"
}

# Every message of quarnet, the usage and the syntax line of every command are in quarnet(1).
test_quarnet_messages_are_documented() {
  need_mandoc || return $SKIP
  page_text "$SOURCE_DIR/man/quarnet.1" >page.txt
  perl -ne '
    while (/\b(?:fprintf\(\s*stderr,\s*"((?:[^"\\]|\\.)*)"|fputs\(\s*"((?:[^"\\]|\\.)*)",\s*stderr)/g) {
      my $f = defined $1 ? $1 : $2;
      $f =~ s/\\n$//;
      $f =~ s/\\"/"/g;
      print "$f\n";
    }' "$SOURCE_DIR"/quarnet/*.cc | grep -v '_test' | LC_ALL=C sort -u >messages.txt
  local message count=0
  while IFS= read -r message; do
    [[ $message == "Syntax: %s %s" ]] && continue  # checked below, command by command
    expect_documented "$message" page.txt quarnet.1
    count=$((count + 1))
  done <messages.txt
  [ "$count" -ge 10 ] || fail "only $count messages found in the sources: $(cat messages.txt)"

  run_capture "$QUARNET"
  local line
  while IFS= read -r line; do
    grep -qxF -- "$line" <(sed 's/^ *//' page.txt) || fail "quarnet.1 does not show the usage line [$line]"
  done <<<"${out%$'\n'}"
  local words=${out##*Valid commands: } word
  for word in ${words%$'\n'}; do
    run_capture "$QUARNET" "$word"
    expect_eq "status of quarnet $word" 1 "$status"
    grep -qxF -- "${err%$'\n'}" <(sed 's/^ *//' page.txt) ||
      fail "quarnet.1 does not show the syntax line [${err%$'\n'}]"
    grep -Eq "^ *quarnet $word( |$)" page.txt || fail "quarnet.1 has no synopsis for $word"
  done
}

# The example table in files.txt(5) is the example repository's, record for record.
test_format_page_example_is_the_example_repository() {
  local table
  table=$(sed -n '/^\.SH EXAMPLES/,/^\.SH/{/^\.EX/,/^\.EE/p}' "$SOURCE_DIR/man/files.txt.5" |
    sed -e '/^\.E[XE]$/d' -e 's/\\-/-/g' -e 's/\\e/\\/g')
  expect_eq "example table" "$(cat "$SOURCE_DIR/examples/repo/files.txt")" "$table"
}

run_tests
