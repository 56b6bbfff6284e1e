#!/usr/bin/env bash
# bash completion for propagate, as bash-completion loads it: sourced into a shell and asked for the
# candidates of a command line, word by word as bash splits it.
. "$(dirname "$0")/lib.sh"

COMPLETION=$SOURCE_DIR/completion/propagate

# expect_completion "EXPECTED CANDIDATES" WORD...: the candidates, blank-separated in their order.
expect_completion() {
  local want=$1
  shift
  expect_eq "completion of [$*]" "$want" "$(complete_words "$COMPLETION" "$@" | tr '\n' ' ' | sed 's/ $//')"
}

test_options_follow_the_form_chosen_so_far() {
  expect_completion "-i -n --dry-run -v --verbose -c --checksum --progress --prune -j --jobs --trusted-key --allow-downgrade --cacert --speed-time \
--verify --table --create --owner --group --keep --sign --product --release-version --expires --passphrase-file --help \
--version" propagate -
  expect_completion "--dry-run --verbose --checksum --progress --prune --jobs --trusted-key --allow-downgrade --cacert --speed-time --verify --table \
--create --owner --group --keep --sign --product --release-version --expires --passphrase-file --help --version" propagate --
  expect_completion "--verbose --verify --version" propagate --ver
  # After an option, --help and --version no longer make sense, and neither do the other forms' options.
  expect_completion "--dry-run --verbose --checksum --progress --prune --jobs --trusted-key --allow-downgrade --cacert --speed-time" propagate -i --
  expect_completion "--trusted-key" propagate --trusted-key a.pub --tr
  expect_completion "--table --progress --jobs" propagate --verify --
  expect_completion "--verify --progress --jobs" propagate --table files.txt --
  expect_completion "--owner --group --keep --progress --jobs --sign --product --release-version --expires \
--passphrase-file" propagate --create --
  expect_completion "--keep" propagate --create --keep 'etc/*' --ke
  expect_completion "--create --group --keep --progress --jobs --sign --product --release-version --expires \
--passphrase-file" propagate --owner=root --
  expect_completion "--release-version" propagate --sign k.key --product=velmira --re
  expect_completion "--checksum --cacert" propagate -nv --c
  expect_completion "" propagate -nv --cr
  expect_completion "--prune" propagate -n -j 4 --pru
  # After --help or --version nothing more belongs on the line.
  expect_completion "" propagate --help ""
  expect_completion "" propagate --version -
}

test_option_values() {
  local users
  users=$(compgen -u -- r | tr '\n' ' ' | sed 's/ $//')
  [[ " $users " == *" root "* ]] || fail "no user root among [$users]"
  expect_completion "$users" propagate --create --owner r
  expect_completion "$users" propagate --create --owner = r
  expect_completion "$(compgen -u | tr '\n' ' ' | sed 's/ $//')" propagate --owner =
  expect_completion "$(compgen -P --owner= -u -- r | tr '\n' ' ' | sed 's/ $//')" propagate --owner=r
  local groups
  groups=$(compgen -g -- ro | tr '\n' ' ' | sed 's/ $//')
  [[ " $groups " == *" root "* ]] || fail "no group root among [$groups]"
  expect_completion "$groups" propagate --create --group ro
  expect_completion "$(compgen -P --group= -g -- ro | tr '\n' ' ' | sed 's/ $//')" propagate --group=ro
  # Numbers and patterns are the user's to type.
  expect_completion "" propagate -j ""
  expect_completion "" propagate --jobs ""
  expect_completion "" propagate -nj ""
  expect_completion "" propagate --create --keep ""
  expect_completion "" propagate --create --product ""
  expect_completion "" propagate --create --release-version ""
  expect_completion "" propagate --create --expires=""
  touch table.old
  expect_completion "table.old" propagate --verify --table table.
  expect_completion "table.old" propagate --create --sign table.
  expect_completion "--passphrase-file=table.old" propagate --create --passphrase-file=table.
}

test_operands_are_directories() {
  mkdir repo "base dir" -- -odd
  touch repo.txt
  expect_completion "repo" propagate re
  expect_completion "base dir" propagate -n repo b
  expect_completion "base dir" propagate --progress --jobs=4 repo b
  # The value of an option is no operand.
  expect_completion "base dir" propagate --create --owner root --group root --keep x repo b
  expect_completion "base dir" propagate --create --sign k --product v --release-version 1 --expires 2 \
--passphrase-file p repo b
  expect_completion "base dir" propagate -j 2 repo b
  expect_completion "base dir" propagate --owner = root repo b
  # Two operands for a run or --create, one for --verify; then nothing.
  expect_completion "" propagate repo "base dir" ""
  expect_completion "" propagate --verify repo ""
  expect_completion "" propagate --create repo "base dir" ""
  # The first operand ends the options; "--" ends them too.
  expect_completion "" propagate repo --p
  expect_completion "-odd" propagate -- -
  expect_completion "-odd" propagate -n -- -o
}

test_every_option_of_propagate_help_is_offered() {
  [ -x "$PROPAGATE" ] || { fail "no propagate at [$PROPAGATE]"; return 1; }
  local from_help offered
  from_help=$("$PROPAGATE" --help | grep -E '^ +-' | grep -oE '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | LC_ALL=C sort -u)
  offered=$(complete_words "$COMPLETION" propagate - | LC_ALL=C sort -u)
  [ -n "$from_help" ] || fail "no options in propagate --help"
  expect_eq "options of propagate --help" "$from_help" "$offered"
}

run_tests
