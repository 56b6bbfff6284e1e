#!/usr/bin/env bash
# Installations and upgrades of real trees, each run twice where the second run must change nothing.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

T0=1700000000
T1=1710000000

# Version 1 of a small product in ./repo.
make_product_v1() {
  mkdir -p repo
  printf 'port = 1\n' >repo/app.conf
  printf '#!/bin/sh\necho v1\n' >repo/tool
  printf 'hello v1\n' >repo/readme
  printf 'helper v1\n' >repo/helper
  write_table repo <<EOT
dir etc root root $T0 0755 n
dir bin root staff $T0 02775 n
dir var daemon daemon $T0 0750 y
file etc/app+20name.conf root root $T0 0100644 app.conf @DIGEST(app.conf) 0 y
file bin/tool bin staff $T0 0100755 tool @DIGEST(tool) 7 n
file bin/helper root root $T0 0104755 helper @DIGEST(helper) 0 n
file readme nobody nogroup $T0 0100444 readme @DIGEST(readme) 0 n
symlink etc/current root root $T0 app+20name.conf
EOT
}

test_first_installation() {
  require_root || return $SKIP
  make_product_v1
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "config" "port = 1" "$(cat "base/etc/app name.conf")"
  expect_attrs "base/etc/app name.conf" "regular file 644 root root"
  expect_mtime "base/etc/app name.conf" $T0
  expect_attrs base/bin "directory 2775 root staff"
  expect_mtime base/var $T0
  expect_attrs base/bin/tool "regular file 755 bin staff"
  # The owner is set after the mode, and the set-user-ID bit survives it.
  expect_attrs base/bin/helper "regular file 4755 root root"
  expect_attrs base/readme "regular file 444 nobody nogroup"
  expect_attrs base/var "directory 750 daemon daemon"
  expect_eq "link" "app name.conf" "$(readlink base/etc/current)"
  expect_attrs base/files.txt "regular file 644 root root"
  cmp -s repo/files.txt base/files.txt || fail "installed table differs"
  ls -a base base/etc base/bin | grep -q propagate && fail "temporary file left: $(ls -a base base/etc base/bin)"
  local first second
  first=$(snapshot base)
  expect_run 0 "" "" "$PROPAGATE" repo base
  second=$(snapshot base)
  expect_eq "second run" "$first" "$second"
}

test_upgrade_keeps_local_edits() {
  require_root || return $SKIP
  make_product_v1
  expect_run 0 "" "" "$PROPAGATE" repo base
  # The administrator edits the configuration and loosens its mode and owner.
  printf 'port = 2 # local\n' >"base/etc/app name.conf"
  touch -d @$T1 "base/etc/app name.conf"
  chmod 0600 "base/etc/app name.conf"
  chown daemon:bin "base/etc/app name.conf"
  # Version 2 changes every file.
  printf 'port = 1\nnew = yes\n' >repo/app.conf
  printf '#!/bin/sh\necho v2\n' >repo/tool
  sed -i "s/ $T0 / $T1 /" repo/files.txt
  sed -i "s/^file bin.tool .*/file bin\/tool bin staff $T1 0100755 tool $(digest repo/tool) 7 y/" repo/files.txt
  sed -i "s/^file etc.app.*/file etc\/app+20name.conf root root $T1 0100644 app.conf $(digest repo/app.conf) 0 y/" repo/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "edited config kept" "port = 2 # local" "$(cat "base/etc/app name.conf")"
  expect_mtime "base/etc/app name.conf" $T1
  expect_attrs "base/etc/app name.conf" "regular file 644 root root"
  # bin/tool was unchanged locally, so it is upgraded even though it now keeps local changes.
  expect_eq "unchanged file upgraded" "echo v2" "$(tail -n 1 base/bin/tool)"
  expect_mtime base/bin/tool $T1
  local first
  first=$(snapshot base)
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "second run" "$first" "$(snapshot base)"
}

# Makes the fingerprint file vouch for base/readme as it is now, with the control sum $1.
forge_fingerprint() {
  { head -n 1 base/files.txt.fingerprints
    stat -c "%d %i %s %.9Y %.9Z $1 - readme" base/readme | sed 's/\./ /; s/\./ /'
    echo "end 1"; } >forged && mv forged base/files.txt.fingerprints
}

# Each row changes the installation one way, right after a complete run, then a run must print the line
# given: a file stays in place only when its content is known to be its record's, and nothing but the
# fingerprint that the last run recorded, unchanged, vouches for it without reading it.
test_only_content_not_known_to_be_right_is_copied() {
  require_root || return $SKIP
  make_product_v1
  local edit="printf 'hello v2\n' >base/readme && touch -d @$T0 base/readme"
  local change expected options inode
  while IFS='~' read -r change expected; do
    rm -rf base
    # The second run, a few clock ticks later, records the fingerprints that the first could not yet trust.
    "$PROPAGATE" repo base && sleep 0.03 && "$PROPAGATE" repo base || fail "installation before: $change"
    grep -q ' readme$' base/files.txt.fingerprints || fail "no fingerprint of readme before: $change"
    eval "$change"
    inode=$(stat -c %i base/readme)
    expect_run 0 "${expected:+$expected$'\n'}table files.txt"$'\n' "" "$PROPAGATE" -v repo base
    expect_eq "content after: $change" "hello v1" "$(cat base/readme)"
    expect_mtime base/readme $T0
    expect_attrs base/readme "regular file 444 nobody nogroup"
    [ -z "$expected" ] && [ "$inode" != "$(stat -c %i base/readme)" ] && fail "readme replaced after: $change"
  done <<EOT
true~
touch -d @$T1 base/readme~attrs readme
chmod 0644 base/readme~attrs readme
$edit~copy readme
cp -p base/readme t && mv t base/readme~
cp -a base b && rm -r base && mv b base && $edit~copy readme
printf x | dd of=base/files.txt.fingerprints bs=1 seek=60 conv=notrunc status=none && $edit~copy readme
truncate -s -8 base/files.txt.fingerprints && $edit~copy readme
EOT
  # A fingerprint spares the reading: even a forged one is believed, and only --checksum reads past it.
  eval "$edit"
  forge_fingerprint "$(digest repo/readme)"
  expect_run 0 "table files.txt"$'\n' "" "$PROPAGATE" -v repo base
  expect_eq "content under a forged fingerprint" "hello v2" "$(cat base/readme)"
  expect_run 0 "copy readme"$'\ntable files.txt\n' "" "$PROPAGATE" -v -c repo base
  expect_eq "content after --checksum" "hello v1" "$(cat base/readme)"
  # A local edit of a file that keeps them stays one, run after run, fingerprint or not.
  printf 'port = 9\n' >"base/etc/app name.conf"
  expect_run 0 "keep etc/app+20name.conf"$'\ntable files.txt\n' "" "$PROPAGATE" -v repo base
  expect_run 0 "keep etc/app+20name.conf"$'\ntable files.txt\n' "" "$PROPAGATE" -v repo base
  expect_eq "kept edit" "port = 9" "$(cat "base/etc/app name.conf")"
}

# An upgrade that fails after it installed a file that keeps local changes leaves the new content under
# the old table: going back must install the old content, not keep the new one as a local edit.
test_going_back_after_a_failed_upgrade() {
  require_root || return $SKIP
  local jobs
  for jobs in 1 4; do
    rm -rf repo base repo2
    make_product_v1
    expect_run 0 "" "" "$PROPAGATE" repo base
    cp -a repo repo2
    printf 'port = 2\n' >repo2/app.conf
    sed -i "s/^file etc.app.*/file etc\/app+20name.conf root root $T0 0100644 app.conf $(digest repo2/app.conf) 0 y/" repo2/files.txt
    sed -i "/^end/i file zz nosuchuser root $T0 0100644 readme $(digest repo/readme) 0 n" repo2/files.txt
    expect_run 1 "" $'Error: User nosuchuser not found, please reinstall Velmira\n' "$PROPAGATE" -j $jobs repo2 base
    expect_eq "the failed upgrade's content (-j $jobs)" "port = 2" "$(cat "base/etc/app name.conf")"
    # etc lost its time to the failed run's copy.
    expect_run 0 $'attrs etc\ncopy etc/app+20name.conf\ntable files.txt\n' "" "$PROPAGATE" -v -j $jobs repo base
    expect_eq "content after going back (-j $jobs)" "port = 1" "$(cat "base/etc/app name.conf")"
    [ -e base/files.txt.installing ] && fail "the record of what was being installed outlived the run"
    # A real edit made afterwards is still kept.
    printf 'port = 2\n' >"base/etc/app name.conf"
    expect_run 0 "keep etc/app+20name.conf"$'\ntable files.txt\n' "" "$PROPAGATE" -v -j $jobs repo base
  done
}

test_old_table_missing_empty_or_malformed() {
  require_root || return $SKIP
  mkdir repo base
  printf 'new\n' >repo/conf
  write_table repo <<EOT
file conf root root $T0 0100644 conf @DIGEST(conf) 0 y
file plain root root $T0 0100644 conf @DIGEST(conf) 0 n
EOT
  printf 'existing\n' >base/conf
  expect_run 1 "" $'Error: Cannot find conf in old table, possible corruption\n' "$PROPAGATE" repo base
  expect_eq "untouched" "existing" "$(cat base/conf)"
  : >base/files.txt
  expect_run 1 "" $'Error: Cannot find conf in old table, possible corruption\n' "$PROPAGATE" repo base
  printf 'table 1 - files.txt root root 0644\n\nfile conf root root 0 0644 conf X 0 q\n' >base/files.txt
  expect_run 1 "" $'Error: Parser error in line 3: Corrupted table (q ne \'y\' and ne \'n\')\n' "$PROPAGATE" repo base
  # A file that keeps local changes but does not exist yet is simply installed.
  rm base/conf base/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "installed" "new" "$(cat base/conf)"
}

test_empty_files_have_a_control_sum() {
  require_root || return $SKIP
  mkdir repo
  : >repo/log
  write_table repo <<EOT
file log root root $T0 0100640 log @DIGEST(log) 0 y
EOT
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_run 0 "" "" "$PROPAGATE" repo base
  echo "local line" >base/log
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "kept" "local line" "$(cat base/log)"
}

test_dropped_records_are_left_alone() {
  require_root || return $SKIP
  make_product_v1
  expect_run 0 "" "" "$PROPAGATE" repo base
  sed -i '/readme/d; /etc.current/d' repo/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  [ -f base/readme ] && [ -L base/etc/current ] || fail "a dropped record's path was removed"
}

test_directories_keep_existing_or_sync() {
  require_root || return $SKIP
  make_product_v1
  expect_run 0 "" "" "$PROPAGATE" repo base
  chmod 0700 base/var base/etc
  chown bin:bin base/var base/etc
  touch -d @$T1 base/var base/etc
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_attrs base/var "directory 700 bin bin"
  expect_mtime base/var $T1
  expect_attrs base/etc "directory 755 root root"
}

test_symbolic_links() {
  require_root || return $SKIP
  mkdir -p repo base/blocked
  printf 'x\n' >base/file
  ln -s right base/right
  chown -h daemon:daemon base/right
  local inode
  inode=$(stat -c %i base/right)
  write_table repo <<EOT
symlink right root root $T0 right
symlink file bin bin $T1 ../elsewhere
EOT
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "link kept" "$inode" "$(stat -c %i base/right)"
  expect_eq "owner set" "root root" "$(stat -c '%U %G' base/right)"
  expect_eq "file replaced" "../elsewhere" "$(readlink base/file)"
  expect_eq "link owner" "bin bin" "$(stat -c '%U %G' base/file)"
  # Links get their record's time, on the link itself, and --verify compares it.
  expect_eq "link times" "$T0 $T1" "$(stat -c %Y base/right base/file | xargs)"
  expect_run 0 "" "" "$PROPAGATE" --verify base
  touch -h -d @$T1 base/right
  expect_run 2 "right: time $T1, table $T0"$'\n' "" "$PROPAGATE" --verify base
  expect_run 0 "attrs right"$'\ntable files.txt\n' "" "$PROPAGATE" -v repo base
  expect_eq "link time set again" "$T0" "$(stat -c %Y base/right)"
}

test_link_redirected_between_files_below_it() {
  # A file goes through the old link, the link record points it elsewhere, and the next file below the
  # link must land where the link now leads.
  mkdir -p repo base/v1 base/v2
  ln -s v1 base/current
  printf 'a\n' >repo/a
  printf 'b\n' >repo/b
  write_table repo <<EOT
file current/a root root 0 0644 a @DIGEST(a) 0 n
symlink current root root 0 v2
file current/b root root 0 0644 b @DIGEST(b) 0 n
EOT
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "through the old link" "a" "$(cat base/v1/a)"
  expect_eq "through the new link" "b" "$(cat base/v2/b)"
  [ ! -e base/v1/b ] || fail "b landed behind the old link"
}

test_file_replaces_link_between_files_below_it() {
  # A file record replaces a link that the file before it went through: the file after it has no
  # directory to go to, whichever worker copies it, and nothing lands behind the old link.
  printf 'a\n' >a
  local round
  for round in 1 2 3 4; do
    rm -rf repo base
    mkdir -p repo base/d
    ln -s d base/l
    cp a repo/a
    write_table repo <<EOT
file l/a root root 0 0644 a @DIGEST(a) 0 n
file l root root 0 0644 a @DIGEST(a) 0 n
file l/b root root 0 0644 a @DIGEST(a) 0 n
EOT
    expect_run 1 "" $'Error: fopen(base/l/b): Not a directory\n' "$PROPAGATE" repo base
    [ ! -e base/d/b ] || fail "round $round: l/b landed behind the replaced link"
    expect_eq "round $round: the link's old directory" "a" "$(cat base/d/a)"
  done
}

test_unknown_user_and_group() {
  require_root || return $SKIP
  mkdir repo
  printf 'x\n' >repo/x
  write_table repo <<EOT
dir d root root 0 0755 n
file f no-such-user no-such-group 0 0100644 x @DIGEST(x) 0 n
EOT
  expect_run 1 "" $'Error: Group no-such-group not found, please reinstall Velmira\n' "$PROPAGATE" repo base
  [ -d base/d ] || fail "records before the failure not applied"
  [ -e base/files.txt ] && fail "table installed after a failure"
  sed -i 's/no-such-group/root/' repo/files.txt
  expect_run 1 "" $'Error: User no-such-user not found, please reinstall Velmira\n' "$PROPAGATE" repo base
}

test_directory_source() {
  require_root || return $SKIP
  mkdir -p repo/srcdir
  write_table repo <<EOT
file f root root 0 0100644 srcdir X 0 n
EOT
  mkdir -p base && printf 'old\n' >base/f
  expect_run 1 "" $'Error: fread(repo/srcdir): Is a directory\n' "$PROPAGATE" repo base
  expect_eq "destination intact" "old" "$(cat base/f)"
  [ "$(ls -a base)" == "$(printf '.\n..\nf')" ] || fail "left behind: $(ls -a base)"
}

test_installed_table_name_owner_and_mode() {
  require_root || return $SKIP
  mkdir -p repo
  printf 'table 1 - etc/installed+20table daemon staff 0640\ndir etc root root 0 0755 n\nend\n' >repo/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_attrs "base/etc/installed table" "regular file 640 daemon staff"
  cmp -s repo/files.txt "base/etc/installed table" || fail "installed table differs"
  [ -e base/files.txt ] && fail "table installed under the wrong name"
}

test_mode_without_file_type_bits() {
  require_root || return $SKIP
  mkdir repo
  printf 'x\n' >repo/x
  write_table repo <<EOT
file f root root $T0 0644 x @DIGEST(x) 0 n
EOT
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_attrs base/f "regular file 644 root root"
}

run_tests
