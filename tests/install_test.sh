#!/usr/bin/env bash
# `cmake --install` of a fresh build: the programs, the manual pages and the bash completion land where
# users and their tools look for them, and nothing else is installed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_lib.sh"

test_install_puts_programs_pages_and_completion_in_place() {
  fresh_build || return 1
  cmake --install "$BUILD" --prefix "$T/prefix" >install.log 2>&1 || fail "install failed: $(cat install.log)"
  expect_eq "installed files" "$(expected_install)" "$(tree_files "$T/prefix")"
  local file
  for file in bin/propagate bin/quarnet; do
    expect_eq "mode of $file" "755" "$(stat -c %a "$T/prefix/$file" 2>&1)"
  done
  local pair
  for pair in share/man/man1/propagate.1:man/propagate.1 share/man/man1/quarnet.1:man/quarnet.1 \
    share/man/man5/files.txt.5:man/files.txt.5 share/bash-completion/completions/quarnet:completion/quarnet \
    share/bash-completion/completions/propagate:completion/propagate; do
    file=${pair%%:*}
    expect_eq "mode of $file" "644" "$(stat -c %a "$T/prefix/$file" 2>&1)"
    cmp -s "$T/prefix/$file" "$SOURCE_DIR/${pair#*:}" || fail "$file differs from ${pair#*:}"
  done
  # The installed programs are the ones just built and start on their own.
  run_capture "$T/prefix/bin/propagate"
  expect_eq "propagate without operands" "1 Error: Syntax: propagate [-i] <repodir> <basedir>"$'\n' "$status $err"
  run_capture "$T/prefix/bin/quarnet"
  expect_eq "quarnet without a command" 1 "$status"
  [[ $out == *"Valid commands: "* ]] || fail "quarnet prints no usage: [$out]"
}

test_installed_pages_are_found_by_man() {
  command -v man >/dev/null || { echo "SKIP [$current_test]: man is not installed"; return $SKIP; }
  fresh_build || return 1
  cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null 2>&1 || fail "install failed"
  local page
  # What a user types once the prefix is on the manual path.
  for page in "1 propagate" "1 quarnet" "5 files.txt"; do
    set -- $page
    expect_eq "man -w $page" "$T/prefix/share/man/man$1/$2.$1" \
      "$(man --manpath="$T/prefix/share/man" -w "$1" "$2" 2>&1)"
    MANWIDTH=80 man --manpath="$T/prefix/share/man" "$1" "$2" >page.txt 2>page.err </dev/null
    grep -q '^NAME' page.txt || fail "man $page shows no NAME section: $(head -c 300 page.txt)"
  done
}

# bash-completion finds a command's completion by the command's name; each file registers its own command.
test_each_completion_registers_its_command() {
  fresh_build || return 1
  cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null 2>&1 || fail "install failed"
  local command
  for command in propagate quarnet; do
    expect_eq "completion for $command" "complete -F _$command $command" \
      "$(bash -c 'source "$1" && complete -p "$2"' _ "$T/prefix/share/bash-completion/completions/$command" \
        "$command" 2>&1)"
  done
}

test_completion_offers_command_words() {
  fresh_build || return 1
  cmake --install "$BUILD" --prefix "$T/prefix" >/dev/null 2>&1 || fail "install failed"
  local file=$T/prefix/share/bash-completion/completions/quarnet
  expect_eq "quarnet lo" $'locase\nlogger' "$(complete_words "$file" quarnet lo)"
  expect_eq "quarnet d" "dos2unix" "$(complete_words "$file" quarnet d)"
  expect_eq "quarnet x" "" "$(complete_words "$file" quarnet x)"
  # Every command word that quarnet knows, in its own order, and nothing else.
  run_capture "$QUARNET"
  local words=${out##*Valid commands: }
  words=${words%$'\n'}
  expect_eq "all command words" "$(tr ' ' '\n' <<<"$words")" "$(complete_words "$file" quarnet "")"
  expect_eq "logger levels" $'error\nwarning\nnotice\ninfo' "$(complete_words "$file" quarnet logger "")"
  expect_eq "logger level n" "notice" "$(complete_words "$file" quarnet logger n)"
  expect_eq "logger text" "" "$(complete_words "$file" quarnet logger info "")"
  # Paths for the commands that take them, names with blanks included.
  mkdir "dir with blank" && touch "dir with blank/app.conf"
  expect_eq "dos2unix source" "dir with blank" "$(complete_words "$file" quarnet dos2unix "dir")"
  expect_eq "dos2unix destination" "dir with blank/app.conf" \
    "$(complete_words "$file" quarnet dos2unix x "dir with blank/a")"
  expect_eq "mtime path" "dir with blank" "$(complete_words "$file" quarnet mtime "di")"
  expect_eq "locase text" "" "$(complete_words "$file" quarnet locase "di")"
  # kill: the pid is the second parameter.
  sleep 30 &
  local pid=$!
  complete_words "$file" quarnet kill 5 "$pid" | grep -qx "$pid" || fail "kill offers no pid $pid"
  expect_eq "kill seconds" "" "$(complete_words "$file" quarnet kill "")"
  kill "$pid"
  wait "$pid" 2>/dev/null
}

run_tests
