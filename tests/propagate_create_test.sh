#!/usr/bin/env bash
# propagate --create: repositories made from staged trees, and the round trip back through an installation.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

umask 022
T0=1600000000
unset SOURCE_DATE_EPOCH

# The staged tree of hard cases in ./stage: names that need escaping, a name of 255 bytes, a deep path,
# empty files, hard links, duplicate contents, set-user-ID and set-group-ID files, links to a directory and
# dangling, an empty directory, a directory of mode 0700. As root, entries get several owners. Every entry
# gets a time of its own.
make_hard_stage() {
  local deep=stage i long path t=$T0
  mkdir -p "stage/with blank" "stage/empty dir"
  printf 'plus\n' >"stage/with blank/plus+sign"
  printf 'line\n' >"stage/with blank/line"$'\n'"feed"
  printf 'tab\n' >stage/$'tab\tname'
  printf 'carriage\n' >stage/$'return\r'
  printf 'summer\n' >stage/été
  long=$(printf 'n%.0s' $(seq 255))
  printf 'long\n' >"stage/$long"
  for i in $(seq 40); do deep=$deep/level$i; done
  mkdir -p "$deep"
  printf 'deep\n' >"$deep/bottom"
  : >stage/empty
  : >"stage/empty too"
  head -c 300000 /dev/zero | tr '\0' h >stage/hard
  ln stage/hard "stage/hard link"
  printf 'same\n' >"stage/duplicate 1"
  printf 'same\n' >"stage/duplicate 2"
  chmod 0640 "stage/duplicate 2"
  printf '#!/bin/sh\n' >stage/setuid
  printf '#!/bin/sh\necho set-group-ID\n' >stage/setgid
  ln -s "with blank" "stage/link to dir"
  ln -s "nowhere/at all" stage/dangling
  mkdir -m 0700 stage/private
  printf 'secret\n' >stage/private/secret
  chmod 0400 stage/private/secret
  mkdir stage/sticky
  if [ "$(id -u)" == 0 ]; then
    chown daemon:adm stage/setuid "stage/with blank" stage/private
    chown root:adm stage/setgid
    chown -h nobody:nogroup stage/dangling
  fi
  # After the owners: a change of owner clears these bits.
  chmod 4755 stage/setuid
  chmod 2755 stage/setgid
  chmod 1777 stage/sticky
  while IFS= read -r -d '' path; do
    touch -h -d @$t "$path"
    t=$((t + 1000))
  done < <(find stage -mindepth 1 -depth -print0)
}

# The snapshot of directory $1 without the installed table's line.
tree_of() { snapshot "$1" | grep -v '^\./files\.txt '; }

# Directory times under $1, one line each.
directory_times() { (cd "$1" && find . -mindepth 1 -type d -printf '%p %T@\n' | sort); }

test_round_trip() {
  require_root || return $SKIP
  make_hard_stage
  expect_run 0 "" "" "$PROPAGATE" --create stage repo
  expect_run 0 "" "" "$PROPAGATE" repo base
  local staged
  staged=$(tree_of stage)
  expect_eq "installed tree" "$staged" "$(tree_of base)"
  expect_eq "directory times" "$(directory_times stage)" "$(directory_times base)"
  cmp -s repo/files.txt base/files.txt || fail "installed table differs from the repository's"
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "installed tree after a second run" "$staged" "$(tree_of base)"
}

# The table's records for a small tree, token by token.
test_exact_table() {
  mkdir -p stage/etc stage/var/log
  printf 'port = 1\n' >"stage/etc/app name.conf"
  printf '#!/bin/sh\n' >stage/tool
  chmod 0750 stage/tool
  ln -s "app name.conf" stage/etc/current
  touch -d @1800000000 "stage/etc/app name.conf"
  touch -h -d @1500000000 stage/etc/current stage/tool stage/var/log stage/var stage/etc
  local user group sum tool
  user=$(id -un) group=$(id -gn)
  sum=$(digest "stage/etc/app name.conf") tool=$(digest stage/tool)
  SOURCE_DATE_EPOCH=1700000000 expect_run 0 "" "" "$PROPAGATE" --create --keep 'etc/*.conf' --keep var -j 3 stage repo
  expect_eq "table" "Velmira repository, made by propagate --create
table 1 - files.txt root root 0644
dir etc $user $group 1500000000 0755 n
file etc/app+20name.conf $user $group 1700000000 0100644 $sum $sum 0 y
symlink etc/current $user $group 1500000000 app+20name.conf
file tool $user $group 1500000000 0100750 $tool $tool 0 n
dir var $user $group 1500000000 0755 y
dir var/log $user $group 1500000000 0755 n
end" "$(cat repo/files.txt)"
  expect_eq "content" "port = 1" "$(cat "repo/$sum")"
  expect_eq "repository" "$(printf '%s\n' "$sum" "$tool" files.txt | LC_ALL=C sort)" "$(LC_ALL=C ls -A repo)"

  expect_run 0 "" "" "$PROPAGATE" --create --owner velmira --group=staff stage other
  expect_eq "overridden names" "table 1 - files.txt velmira staff 0644
dir etc velmira staff 1500000000 0755 n" "$(sed -n 2,3p other/files.txt)"
  [ "$(awk '$1 ~ /^(dir|file|symlink)$/ && ($3 != "velmira" || $4 != "staff")' other/files.txt)" == "" ] ||
    fail "a record kept the tree's names: $(cat other/files.txt)"
}

# The same tree gives the same table; one changed file changes one record and adds one content file.
test_create_again() {
  make_hard_stage
  expect_run 0 "" "" "$PROPAGATE" --create stage repo
  expect_run 0 "" "" "$PROPAGATE" --create -j 1 stage again
  cmp repo/files.txt again/files.txt || fail "a second repository of the same tree has another table"
  cp repo/files.txt first.txt
  local before after
  before=$(ls -A repo | wc -l)
  printf 'changed\n' >"stage/with blank/plus+sign"
  touch -d @1700000000 "stage/with blank/plus+sign"
  expect_run 0 "" "" "$PROPAGATE" --create stage repo
  after=$(ls -A repo | wc -l)
  expect_eq "content files" $((before + 1)) "$after"
  local sum old
  sum=$(digest "stage/with blank/plus+sign")
  old=$(grep '^file with+20blank/plus+2Bsign ' first.txt)
  expect_eq "changed records" "< $old
---
> file with+20blank/plus+2Bsign $(id -un) $(id -gn) 1700000000 0100644 $sum $sum 0 n" \
    "$(diff first.txt repo/files.txt | tail -n +2)"
  [ -f "repo/$sum" ] || fail "no content file for the changed file"
  ls -A repo | grep -q propagate && fail "temporary file left: $(ls -A repo)"
}

test_refusals() {
  mkdir -p stage/sub
  printf 'x\n' >stage/sub/file
  mkfifo stage/sub/pipe
  expect_run 1 "" "Error: stage/sub/pipe: Cannot put a named pipe in a repository"$'\n' \
    "$PROPAGATE" --create stage repo
  [ -e repo ] && fail "a repository was made for a tree that cannot be described"
  rm stage/sub/pipe
  expect_run 1 "" "Error: stage/sub/repo: Cannot make a repository inside the staged tree stage/"$'\n' \
    "$PROPAGATE" --create stage/ stage/sub/repo
  ln -s stage/sub inside
  expect_run 1 "" "Error: inside: Cannot make a repository inside the staged tree stage"$'\n' \
    "$PROPAGATE" --create stage inside
  [ -e stage/sub/repo ] && fail "a repository was made inside the staged tree"
  expect_run 1 "" "Error: Cannot write user name 'build user' in a table: it holds a blank or control byte"$'\n' \
    "$PROPAGATE" --create --owner "build user" stage repo
  expect_run 1 "" "Error: Syntax: propagate --create [options] <stagedir> <repodir>"$'\n' "$PROPAGATE" --create stage
  SOURCE_DATE_EPOCH=yesterday expect_run 1 "" \
    "Error: SOURCE_DATE_EPOCH: Cannot read yesterday as seconds since 1970"$'\n' "$PROPAGATE" --create stage repo
  [ -e repo ] && fail "a repository was made by a refused command"

  # A table is never written when content cannot be read, and what was stored stays for the next run.
  if [ "$(id -u)" != 0 ]; then
    chmod 0 stage/sub/file
    expect_run 1 "" "Error: stage/sub/file: Cannot open: Permission denied"$'\n' "$PROPAGATE" --create stage repo
    [ -e repo/files.txt ] && fail "a table was written after a failure"
  fi
}

test_ids_without_names() {
  require_root || return $SKIP
  mkdir -p stage
  printf 'x\n' >stage/file
  chown 54321:54322 stage/file
  expect_run 1 "" "Error: stage/file: Cannot find a name for user id 54321; give one with --owner"$'\n' \
    "$PROPAGATE" --create stage repo
  expect_run 1 "" "Error: stage/file: Cannot find a name for group id 54322; give one with --group"$'\n' \
    "$PROPAGATE" --create --owner root stage repo
  expect_run 0 "" "" "$PROPAGATE" --create --owner root --group root stage repo
  mknod stage/null c 1 3
  expect_run 1 "" "Error: stage/null: Cannot put a character device in a repository"$'\n' \
    "$PROPAGATE" --create --owner root --group root stage other
  rm stage/null

  # A name with a blank cannot be one token of a record: a user database that has one, in a mount
  # namespace of this test only.
  cp /etc/passwd passwd
  echo 'build user:x:54321:54321::/:/bin/false' >>passwd
  unshare -m true 2>/dev/null || { echo "SKIP [$current_test]: no mount namespaces for the last case"; return 0; }
  expect_run 1 "" "Error: stage/file: Cannot write user name 'build user' in a table: it holds a blank or control byte"$'\n' \
    unshare -m sh -c 'mount --bind passwd /etc/passwd && exec "$@"' _ "$PROPAGATE" --create --group root stage repo
}

# Runs "$@" as an ordinary user when the test runs as root, as it is otherwise. The user must reach
# $PROPAGATE, which may be a script in $WORK.
as_user() {
  if [ "$(id -u)" == 0 ]; then
    chmod o+x "$WORK"
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

# Reading a staged tree needs no root.
test_as_ordinary_user() {
  make_hard_stage
  chmod 0755 stage/private
  chmod 0444 stage/private/secret
  chmod 0644 "stage/duplicate 2"
  chmod 0777 .
  expect_run 0 "" "" as_user "$PROPAGATE" --create stage repo
  expect_run 0 "" "" as_user "$PROPAGATE" --create stage repo
  [ "$(id -u)" == 0 ] || return 0
  expect_eq "owner of the table" "nobody" "$(stat -c %U repo/files.txt)"
  expect_eq "names of the staged owners" "daemon adm" \
    "$(awk '$1 == "file" && $2 == "setuid" { print $3, $4 }' repo/files.txt)"
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "installed tree" "$(tree_of stage)" "$(tree_of base)"
}

# Under fakeroot the owners and modes that it shows are recorded, and an installation gives them back.
test_fakeroot() {
  command -v fakeroot >/dev/null || { echo "SKIP [$current_test]: no fakeroot"; return $SKIP; }
  chmod 0777 .
  cat >stage.sh <<EOT
set -e
umask 022
mkdir -p stage/bin stage/var
printf 'helper\n' >stage/bin/helper
install -o root -g adm -m 4750 stage/bin/helper stage/bin/velmira-helper
rm stage/bin/helper
chown daemon:adm stage/var
chmod 0750 stage/var
touch -d @$T0 stage/bin/velmira-helper stage/bin stage/var
"$PROPAGATE" --create stage repo
EOT
  # fakeroot preloads its library, which AddressSanitizer would refuse to start behind.
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 expect_run 0 "" "" as_user fakeroot bash stage.sh
  local sum
  sum=$(digest stage/bin/velmira-helper)
  expect_eq "table" "dir bin root root $T0 0755 n
file bin/velmira-helper root adm $T0 0104750 $sum $sum 0 n
dir var daemon adm $T0 0750 n" "$(sed -n '3,5p' repo/files.txt)"
  [ "$(id -u)" == 0 ] || return 0
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_attrs base/bin/velmira-helper "regular file 4750 root adm"
  expect_attrs base/var "directory 750 daemon adm"
}

# Signed releases: keys made by minisign, and signatures that minisign checks.
need_minisign() {
  command -v minisign >/dev/null && return 0
  echo "SKIP [$current_test]: minisign is not installed"
  return 1
}

small_stage() {
  mkdir -p stage/etc
  printf 'port = 1\n' >stage/etc/app.conf
  printf '#!/bin/sh\n' >stage/tool
}

# minisign's report of a good signature of repository $1 by public key $2 with the trusted comment $3.
expect_verified() {
  expect_run 0 "Signature and comment signature verified
Trusted comment: $3
" "" minisign -Vm "$1/SHA256SUMS" -p "$2"
  (cd "$1" && sha256sum --strict -c SHA256SUMS) >check.txt 2>&1 || fail "sha256sum -c in $1: $(cat check.txt)"
  expect_eq "files checked in $1" "$(ls "$1" | grep -vc '^SHA256SUMS')" "$(grep -c ': OK$' check.txt)"
}

test_signed_release() {
  need_minisign || return $SKIP
  small_stage
  minisign -G -W -p k.pub -s k.key </dev/null >/dev/null || fail "minisign -G -W failed"
  # A key stored without a passphrase needs no terminal.
  expect_run 0 "" "" setsid -w "$PROPAGATE" --create --sign k.key --product velmira --release-version 3 \
    --expires 1900000000 stage repo </dev/null
  local conf tool
  conf=$(digest stage/etc/app.conf) tool=$(digest stage/tool)
  expect_eq "repository" "$(printf '%s\n' "$conf" "$tool" SHA256SUMS SHA256SUMS.minisig files.txt | LC_ALL=C sort)" \
    "$(LC_ALL=C ls -A repo)"
  expect_verified repo k.pub "propagate-release product=velmira version=3 expires=1900000000"
  expect_run 0 "" "" "$PROPAGATE" --create --sign=k.key --product=velmira --release-version=18446744073709551615 stage repo
  expect_verified repo k.pub "propagate-release product=velmira version=18446744073709551615"
  # Made again without --sign, the repository no longer claims a signature, for this table or any other.
  expect_run 0 "" "" "$PROPAGATE" --create stage repo
  expect_eq "repository" "$(printf '%s\n' "$conf" "$tool" files.txt | LC_ALL=C sort)" "$(LC_ALL=C ls -A repo)"
}

# minisign's encrypted keys: the passphrase from a file, a wrong one refused before anything is written, none
# asked for without a terminal. Each decryption costs over a second of scrypt: few of them.
test_encrypted_key() {
  need_minisign || return $SKIP
  small_stage
  printf 'pass phrase\npass phrase\n' | minisign -G -p e.pub -s e.key >/dev/null 2>&1 || fail "minisign -G failed"
  printf 'wrong\n' >wrong
  expect_run 1 "" "Error: e.key: Wrong passphrase, or a damaged secret key"$'\n' \
    "$PROPAGATE" --create --sign e.key --passphrase-file wrong --product velmira --release-version 3 stage repo
  [ -e repo ] && fail "a refused key left a repository: $(ls -A repo)"
  expect_run 1 "" "Error: e.key: Cannot ask for the passphrase of this encrypted key on /dev/tty; give it with \
--passphrase-file: No such device or address"$'\n' \
    setsid -w "$PROPAGATE" --create --sign e.key --product velmira --release-version 3 stage repo </dev/null
  [ -e repo ] && fail "a key without its passphrase left a repository: $(ls -A repo)"
  printf 'pass phrase\r\nnot this line\n' >right
  expect_run 0 "" "" \
    "$PROPAGATE" --create --sign e.key --passphrase-file right --product velmira --release-version 3 stage repo
  expect_verified repo e.pub "propagate-release product=velmira version=3"

  # On a terminal (a pseudo-terminal of script(1)): the prompt, no echo of what is typed, and after an interrupt
  # the echo is back. The input comes once the prompt stands: what was typed before it is discarded.
  command -v script >/dev/null || { echo "SKIP [$current_test]: no script(1) for the terminal cases"; return 0; }
  # The interrupt reaches the whole foreground group: the trap keeps the wrapping shell (dash too) alive to report.
  local command="trap : INT; $(printf '%q' "$PROPAGATE") --create --sign e.key --product velmira --release-version 4 stage repo; echo status \$?; \
stty -a | grep -o ' -\?echo '"
  (sleep 1; printf 'pass phrase\n') | timeout 60 script -qec "$command" /dev/null >typed.txt 2>&1
  expect_eq "terminal" "Passphrase for e.key: |status 0| echo |" "$(tr -d '\r' <typed.txt | tr '\n' '|')"
  expect_verified repo e.pub "propagate-release product=velmira version=4"
  (sleep 1; printf 'pass\003') | timeout 60 script -qec "$command" /dev/null >typed.txt 2>&1
  expect_eq "interrupted" "Passphrase for e.key: |Error: Interrupted by SIGINT|status 1| echo |" \
    "$(tr -d '\r' <typed.txt | tr '\n' '|')"
  expect_verified repo e.pub "propagate-release product=velmira version=4"
}

test_signing_usage() {
  small_stage
  local syntax="Error: Syntax: propagate --create [options] <stagedir> <repodir>"$'\n' args
  while IFS= read -r args; do
    eval "expect_run 1 \"\" \"\$syntax\" \"\$PROPAGATE\" --create $args stage repo"
  done <<'EOT'
--sign k.key --product velmira
--sign k.key --release-version 3
--product velmira --release-version 3
--product velmira --release-version 3 --expires 1900000000 --passphrase-file pw
--sign k.key --product 'velmira kit' --release-version 3
--sign k.key --product velmira --release-version 3.1
--sign k.key --product velmira --release-version 3 --expires -1
--sign= --product velmira --release-version 3
EOT
  [ -e repo ] && fail "a refused command line made a repository"
  expect_run 1 "" "Error: k.key: Cannot open: No such file or directory"$'\n' \
    "$PROPAGATE" --create --sign k.key --product velmira --release-version 3 stage repo
  [ -e repo ] && fail "a missing key left a repository"
}

run_tests
