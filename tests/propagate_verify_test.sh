#!/usr/bin/env bash
# propagate --verify: what it reports of an installation, its exit statuses, and that it changes nothing.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

EXAMPLES=$SOURCE_DIR/examples

# Every attribute of every path under $1, access and change times included, so that a verify that
# touches anything at all shows; the installed table's access time is left out, as reading it is the
# loader's business.
full_listing() {
  find "$1" \( -path "$1/files.txt" -printf '%p %y %m %U %G %s %T@ %C@\n' \) \
    -o -printf '%p %y %m %U %G %s %T@ %A@ %C@ %l\n' | sort
}

# Reads lines "path: ..." and prints them in the order of their paths in the table $1, as verify does.
in_table_order() {
  awk 'NR == FNR { line[$1] = $0; next }
    ($1 == "file" || $1 == "dir" || $1 == "symlink") && ($2 ":") in line { print line[$2 ":"] }' - "$1"
}

# The content file in the example repository of the file record with path $1.
example_content() {
  echo "$EXAMPLES/repo/$(awk -v path="$1" '$1 == "file" && $2 == path { print $7 }' "$EXAMPLES/repo/files.txt")"
}

test_installation_verifies_quietly_and_untouched() {
  require_root || return $SKIP
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" base
  # find reads the directories and links, which sets their access times once; only then is the listing
  # one that a verify must leave as it is.
  local before
  full_listing base >/dev/null
  before=$(full_listing base)
  expect_run 0 "" "" "$PROPAGATE" --verify base
  expect_run 0 "" "" "$PROPAGATE" --verify -j 1 base/
  expect_eq "tree after verify" "$before" "$(full_listing base)"
}

test_local_edit_mode_and_content_damage() {
  require_root || return $SKIP
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" base
  printf 'port = 9 # local\n' >>base/etc/app.conf
  chmod 0644 base/bin/velmira
  # Overwritten in place, on the same inode, with its time put back: only the content tells.
  printf '#!/bin/sh\necho tampered\n' >base/bin/velmira-helper
  touch -d @1700000000 base/bin/velmira-helper
  local damaged
  damaged=$(digest base/bin/velmira-helper)
  local lines
  lines=$(in_table_order base/files.txt <<EOT
etc/app.conf: content changed locally (kept)
bin/velmira: mode 0100644, table 0100755
bin/velmira-helper: content $damaged, table C8CC92E057A9BB4A142B8AFFD0C9D1AF
EOT
  )$'\n'
  expect_eq "lines found in the table" 3 "$(printf '%s' "$lines" | wc -l)"
  expect_run 2 "$lines" "" "$PROPAGATE" --verify base
  expect_run 2 "$lines" "" "$PROPAGATE" --verify -j 1 --progress base

  # A run puts back everything but the kept edit, which is no damage.
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" base
  expect_run 0 "etc/app.conf: content changed locally (kept)"$'\n' "" "$PROPAGATE" --verify base
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" base
  expect_run 0 "etc/app.conf: content changed locally (kept)"$'\n' "" "$PROPAGATE" --verify base
}

test_every_kind_of_difference() {
  require_root || return $SKIP
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" base
  rm "base/share/read me.txt"
  ln -sfn elsewhere base/share/README
  chown -h daemon:adm base/share/README
  touch -h -d @$((T0 + 1)) base/share/README
  chown daemon base/share/version.txt
  touch -d @1700000001 base/share/version.txt
  chmod 0700 base/etc
  chgrp adm base/bin
  # var keeps an existing directory: its attributes are the administrator's.
  chown root:root base/var
  chmod 0777 base/var
  # A kept file with its own content and time, but the run's mode.
  printf 'log line\n' >base/var/velmira.log
  chmod 0666 base/var/velmira.log
  rm base/bin/velmira
  mkfifo base/bin/velmira
  # Only the attributes changed on purpose: removals and new links leave their directories' times alone.
  touch -h -d @1700000000 base/bin base/share
  local lines
  lines=$(in_table_order base/files.txt <<EOT
etc: mode 0700, table 0755
bin: group adm, table root
bin/velmira: type fifo, table file
share/version.txt: owner daemon, table root; time 1700000001, table 1700000000
share/read+20me.txt: missing
var/velmira.log: content changed locally (kept); mode 0100666, table 0100640
share/README: target elsewhere, table read+20me.txt; owner daemon, table root; group adm, table root; time 1700000001, table 1700000000
EOT
  )$'\n'
  expect_eq "lines found in the table" 7 "$(printf '%s' "$lines" | wc -l)"
  expect_run 2 "$lines" "" "$PROPAGATE" --verify base
}

test_moved_directory_and_linked_configuration_are_kept() {
  require_root || return $SKIP
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" base
  # The data directory moved to another disk, a link left in its place.
  mv base/var moved-var
  ln -s ../moved-var base/var
  # The configuration replaced by a link to a file kept elsewhere.
  printf 'port = 7\n' >local.conf
  ln -sf ../../local.conf base/etc/app.conf
  touch -h -d @1700000000 base/etc
  expect_run 0 "etc/app.conf: content changed locally (kept)"$'\n' "" "$PROPAGATE" --verify base
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" base
  expect_eq "link kept" "../../local.conf" "$(readlink base/etc/app.conf)"
  expect_run 0 "etc/app.conf: content changed locally (kept)"$'\n' "" "$PROPAGATE" --verify base
  # A link to the installed content is replaced by the next run: until then it differs.
  cp "$(example_content etc/app.conf)" local.conf
  expect_run 2 "etc/app.conf: type symlink, table file"$'\n' "" "$PROPAGATE" --verify base
}

test_table_name_and_errors() {
  mkdir base
  expect_run 1 "" "Error: base/files.txt: Cannot open: No such file or directory"$'\n' "$PROPAGATE" --verify base
  expect_run 1 "" "Error: nothing/files.txt: Cannot open: No such file or directory"$'\n' \
    "$PROPAGATE" --verify nothing
  printf 'table 1 - files.txt root root 0644\ndir d root root 1 0755 n\nfile x\nend\n' >base/files.txt
  expect_run 1 "" "Error: Parse error in line 3: Invalid token count (2 ne 10)"$'\n' "$PROPAGATE" --verify base
  printf 'just text\n' >base/files.txt
  expect_run 1 "" "Error: base/files.txt: No table record"$'\n' "$PROPAGATE" --verify base
  : >base/files.txt
  expect_run 1 "" "Error: base/files.txt: Cannot mmap: Invalid argument"$'\n' "$PROPAGATE" --verify base
  expect_run 1 "" "Error: Syntax: propagate --verify [--table NAME] <basedir>"$'\n' "$PROPAGATE" --verify
  expect_run 1 "" "Error: Syntax: propagate --verify [--table NAME] <basedir>"$'\n' "$PROPAGATE" --verify -n base

  # Another table name, and a path below an entry that is a file.
  local owner group
  owner=$(id -un) group=$(id -gn)
  mkdir base/d
  touch -d @1700000000 base/d
  chmod 0755 base/d
  printf 'table 1 - other.txt %s %s 0644\ndir d %s %s 1700000000 0755 n\nfile other.txt/x %s %s 1 0644 s %s 0 n\nend\n' \
    "$owner" "$group" "$owner" "$group" "$owner" "$group" D41D8CD98F00B204E9800998ECF8427E >base/other.txt
  expect_run 2 "other.txt/x: missing"$'\n' "" "$PROPAGATE" --verify --table other.txt base
  expect_run 2 "other.txt/x: missing"$'\n' "" "$PROPAGATE" --verify --table=other.txt base
}

test_waits_for_no_run() {
  command -v flock >/dev/null || return $SKIP
  mkdir base
  printf 'table 1 - files.txt root root 0644\nend\n' >base/files.txt
  # A run holds its base directory exclusively; verifies share it.
  expect_run 1 "" "Error: Cannot lock base: another run of propagate is using it"$'\n' \
    flock -x base "$PROPAGATE" --verify base
  expect_run 0 "" "" flock -s base "$PROPAGATE" --verify base
}

run_tests
