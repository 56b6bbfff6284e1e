#!/usr/bin/env bash
# propagate --progress as a person sees it: run on a pseudo-terminal by script(1), whose output is what
# the terminal received; a small renderer turns that into the lines left on the screen.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

ESC=$'\033'
# One drawing of the status line, as the terminal receives it.
STATUS_RE="$ESC\\[K[0-9]+/[0-9]+ records, [0-9.]+ (B|KiB|MiB|GiB), [0-9.]+ (B|KiB|MiB|GiB|TiB)/s"

need_script() {
  command -v script >/dev/null && return 0
  echo "SKIP [$current_test]: script (util-linux) is not installed"
  return 1
}

# on_terminal OUTPUT COMMAND...: runs COMMAND with standard input, output and error on a new
# pseudo-terminal; what the terminal received goes to file OUTPUT, the command's exit status to $status.
# Redirections inside the command are written as one word, as in: on_terminal out sh -c '... 2>err'.
on_terminal() {
  local output=$1
  shift
  SHELL=/bin/sh script -qec "$(printf '%q ' "$@")" /dev/null </dev/null >"$output" 2>"$output.script-err"
  status=$?
}

# The lines that the terminal output in file $1 leaves on the screen: a carriage return goes back to the
# start of the line, "ESC [ K" erases to its end, a line feed starts the next line. Trailing empty lines
# are dropped.
screen_of() {
  LC_ALL=C awk -v esc="$ESC" '
    {
      sub(/\r$/, "")
      line = ""; column = 0
      for (i = 1; i <= length($0); ) {
        c = substr($0, i, 1)
        if (c == "\r") { column = 0; i++ }
        else if (substr($0, i, 3) == esc "[K") { line = substr(line, 1, column); i += 3 }
        else { line = substr(line, 1, column) c substr(line, column + 2); column++; i++ }
      }
      print line
    }' "$1" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}

# The status lines drawn in the terminal output in file $1, one per line, without their escape sequence.
drawings_of() {
  LC_ALL=C grep -aoE "$STATUS_RE" "$1" | cut -c4-
}

# A repository of $2 files in $3 directories under $1, one of them large so that copying takes a while,
# and a link, owned by whoever runs the test. One md5sum for all contents keeps it quick.
make_repo() {
  local repo=$1 files=$2 dirs=$3 d f
  mkdir -p "$repo"
  for ((d = 0; d < dirs; d++)); do
    for ((f = 0; f < files / dirs; f++)); do
      printf 'content %d %d\n' "$d" "$f" >"$repo/c$d-$f"
    done
  done
  head -c 24000000 /dev/urandom >"$repo/big"
  (cd "$repo" && md5sum -- c* big) | LC_ALL=C sort -k2,2V |
    awk -v user="$(id -un)" -v group="$(id -gn)" '
      BEGIN { print "table 1 - files.txt " user " " group " 0644" }
      {
        name = $2; sum = toupper($1)
        if (name == "big") { path = "big" } else {
          split(substr(name, 2), at, "-"); path = "d" at[1] "/f" at[2]
          if (!(at[1] in made)) { made[at[1]] = 1; print "dir d" at[1] " " user " " group " 1700000000 0755 n" }
        }
        print "file " path " " user " " group " 1700000000 0100644 " name " " sum " 0 n"
      }
      END { print "symlink latest " user " " group " 1700000000 big"; print "end" }' >"$repo/files.txt"
}

test_status_line_is_drawn_in_place_and_erased() {
  need_script || return $SKIP
  make_repo repo 600 6
  local started ended records
  # The table record is one of the records too.
  records=$(grep -cE '^(table|dir|file|symlink) ' repo/files.txt)
  started=$(date +%s%N)
  on_terminal terminal.out "$PROPAGATE" --progress repo base
  ended=$(date +%s%N)
  expect_eq "status" 0 "$status"
  expect_eq "screen at the end" "" "$(screen_of terminal.out)"
  drawings_of terminal.out >drawings.txt
  [ -s drawings.txt ] || fail "no status line drawn: $(od -c terminal.out | head -n 5)"
  # Updated in place: no line feed at all, every drawing starts at the line's start.
  expect_eq "line feeds on the terminal" 0 "$(tr -cd '\n' <terminal.out | wc -c)"
  expect_eq "drawings that do not start with a carriage return" 0 \
    "$(LC_ALL=C grep -aoE "[^"$'\r'"]$STATUS_RE" terminal.out | wc -l)"
  # Records done of all: the whole never changes, the count never falls.
  expect_eq "totals" "$records" "$(cut -d' ' -f1 drawings.txt | cut -d/ -f2 | sort -u)"
  cut -d' ' -f1 drawings.txt | cut -d/ -f1 | sort -c -n || fail "record counts fall: $(cat drawings.txt)"
  # At most ten drawings a second (how many more than one a run shows depends on the machine's speed).
  local tenths=$(((ended - started) / 100000000)) drawings
  drawings=$(wc -l <drawings.txt)
  [ "$drawings" -le $((tenths + 1)) ] || fail "$drawings drawings in $tenths tenths of a second"
  # The last drawing is erased and nothing follows it.
  [[ $(tail -c 4 terminal.out | od -An -c | tr -d ' ') == '\r033[K' ]] ||
    fail "the output does not end in an erase: $(tail -c 60 terminal.out | od -c)"
  cmp -s repo/files.txt base/files.txt || fail "table not installed"
  cmp -s repo/big base/big || fail "big not copied"
}

test_printed_lines_stay_and_the_status_line_goes() {
  need_script || return $SKIP
  make_repo repo 300 3
  # The same lines as without --progress, on stdout, with nothing of the status line between them.
  run_capture "$PROPAGATE" -n repo plain
  local planned=$out
  [ -n "$planned" ] || fail "-n printed nothing"
  on_terminal dry.out "$PROPAGATE" -n --progress repo base
  expect_eq "status of -n --progress" 0 "$status"
  expect_eq "screen of -n --progress" "${planned%$'\n'}" "$(screen_of dry.out)"
  [ -e base ] && fail "-n --progress made the base directory"
  on_terminal verbose.out "$PROPAGATE" -v --progress repo base
  expect_eq "status of -v --progress" 0 "$status"
  expect_eq "screen of -v --progress" "${planned%$'\n'}" "$(screen_of verbose.out)"
  LC_ALL=C grep -qaE "$STATUS_RE" verbose.out || fail "-v --progress drew no status line"

  # Lines redirected to a file: all of them there, the status line alone on the terminal.
  on_terminal redirected.out sh -c '"$0" -v --progress repo redirected >lines.txt' "$PROPAGATE"
  expect_eq "status of -v --progress >lines.txt" 0 "$status"
  printf '%s' "$planned" >planned.txt
  cmp -s planned.txt lines.txt || fail "lines of -v --progress >lines.txt differ: $(diff planned.txt lines.txt | head)"
  expect_eq "screen of -v --progress >lines.txt" "" "$(screen_of redirected.out)"
  LC_ALL=C grep -qaE "$STATUS_RE" redirected.out || fail "-v --progress >lines.txt drew no status line"

  # --verify: the line of each difference stays, the exit status is that of --verify.
  chmod 0600 base/d1/f7
  run_capture "$PROPAGATE" --verify base
  expect_eq "status of --verify" 2 "$status"
  local differences=$out
  [ -n "$differences" ] || fail "--verify found nothing"
  on_terminal verify.out "$PROPAGATE" --verify --progress base
  expect_eq "status of --verify --progress" 2 "$status"
  expect_eq "screen of --verify --progress" "${differences%$'\n'}" "$(screen_of verify.out)"
  LC_ALL=C grep -qaE "$STATUS_RE" verify.out || fail "--verify --progress drew no status line"

  # --create: nothing stays on the screen.
  mkdir -p stage/etc
  echo conf >stage/etc/app.conf
  on_terminal create.out "$PROPAGATE" --create --progress stage made
  expect_eq "status of --create --progress" 0 "$status"
  expect_eq "screen of --create --progress" "" "$(screen_of create.out)"
  LC_ALL=C grep -qaE "$STATUS_RE" create.out || fail "--create --progress drew no status line"
  [ -f made/files.txt ] || fail "--create --progress made no table"
}

test_error_line_stands_alone() {
  need_script || return $SKIP
  make_repo repo 300 3
  rm repo/c2-50
  run_capture "$PROPAGATE" repo plain
  expect_eq "status without --progress" 1 "$status"
  local message=$err
  [[ $message == Error:* ]] || fail "no error without --progress: [$message]"
  on_terminal terminal.out "$PROPAGATE" --progress repo base
  expect_eq "status" 1 "$status"
  expect_eq "screen" "${message%$'\n'}" "$(screen_of terminal.out)"
}

test_nothing_when_standard_error_is_not_a_terminal() {
  need_script || return $SKIP
  make_repo repo 300 3
  # Standard output on the terminal, standard error in a file: neither gets anything of the status line.
  on_terminal terminal.out sh -c '"$0" --progress repo base 2>err.txt' "$PROPAGATE"
  expect_eq "status" 0 "$status"
  expect_eq "terminal" "" "$(cat -A terminal.out)"
  expect_eq "standard error" "" "$(cat -A err.txt)"
  # With -v, the lines go to the terminal as they are.
  on_terminal verbose.out sh -c '"$0" -v --progress repo verbose 2>err.txt' "$PROPAGATE"
  expect_eq "status of -v" 0 "$status"
  expect_eq "standard error of -v" "" "$(cat -A err.txt)"
  LC_ALL=C grep -q "$ESC" verbose.out && fail "escape sequences with -v: $(head -c 200 verbose.out | od -c)"
  # Without a terminal anywhere.
  expect_run 0 "" "" "$PROPAGATE" --progress repo other
  expect_run 0 "" "" "$PROPAGATE" --verify --progress other
  cmp -s repo/files.txt other/files.txt || fail "table not installed"
}

run_tests
