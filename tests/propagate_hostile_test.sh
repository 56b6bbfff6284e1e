#!/usr/bin/env bash
# A hostile base directory: symbolic links planted at the paths of files, directories, links and the
# table, pointing outside the base at root's files. Nothing outside the base may change.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

# Every attribute of everything under $1, directory times included.
full_snapshot() {
  (cd "$1" && find . -printf '%p %y %#m %u %g %T@ %s %l\n' | sort && find . -type f -exec md5sum {} + | sort)
}

test_planted_links_are_never_followed() {
  require_root || return $SKIP
  mkdir -p outside/dir repo base
  printf 'secret\n' >outside/secret
  printf 'kept secret\n' >outside/kept
  printf 'table secret\n' >outside/table
  chmod 0600 outside/secret outside/kept outside/table
  chmod 0700 outside/dir
  touch -d @1600000000 outside/secret outside/kept outside/table outside/dir
  local before
  before=$(full_snapshot outside)

  printf 'new\n' >repo/new
  write_table repo <<EOT
file f bin bin 1700000000 0104777 new @DIGEST(new) 0 n
file k bin bin 1700000000 0100666 new @DIGEST(new) 0 y
dir d bin bin 1700000000 0777 n
dir e bin bin 1700000000 0777 y
symlink l bin bin 0 target
EOT
  # The old table names k with the digest of what the planted link points to, so k counts as unchanged.
  printf 'table 1 - files.txt root root 0644\nfile k root root 0 0100644 new %s 0 y\nend\n' \
    "$(digest outside/kept)" >outside/table
  touch -d @1600000000 outside/table
  before=$(full_snapshot outside)
  ln -s ../outside/secret base/f
  ln -s "$PWD/outside/kept" base/k
  ln -s ../outside/dir base/d
  ln -s ../outside/dir base/e
  ln -s ../outside/secret base/l
  ln -s ../outside/table base/files.txt

  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "outside the base" "$before" "$(full_snapshot outside)"
  expect_attrs base/f "regular file 4777 bin bin"
  expect_attrs base/k "regular file 666 bin bin"
  expect_eq "k content" "new" "$(cat base/k)"
  expect_eq "d is still the planted link" "symbolic link" "$(stat -c %F base/d)"
  expect_eq "l" "target" "$(readlink base/l)"
  expect_attrs base/files.txt "regular file 644 root root"
  cmp -s repo/files.txt base/files.txt || fail "installed table differs"

  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "outside the base after a second run" "$before" "$(full_snapshot outside)"
}

test_fifo_or_device_at_a_kept_file_or_table() {
  require_root || return $SKIP
  mkdir -p repo base
  printf 'conf\n' >repo/conf
  write_table repo <<EOT
file p root root 0 0100644 conf @DIGEST(conf) 0 y
EOT
  cp repo/files.txt base/files.txt
  mkfifo base/p
  expect_run 1 "" $'Error: base/p: Cannot mmap: No such device\n' timeout 20 "$PROPAGATE" repo base
  # A link to a device is refused without opening the device.
  rm base/p && ln -s /dev/null base/p
  expect_run 1 "" $'Error: base/p: Cannot mmap: No such device\n' timeout 20 "$PROPAGATE" repo base
  # At the table's path the same is simply no old table.
  rm base/p base/files.txt && ln -s /dev/null base/files.txt
  expect_run 0 "" "" timeout 20 "$PROPAGATE" repo base
  expect_attrs base/files.txt "regular file 644 root root"
}

# A user who may write in a directory of the installation puts a hard link to root's file at a kept file's
# path: the run must not hand root's file to the record's owner and mode.
test_hard_link_at_a_kept_file() {
  require_root || return $SKIP
  mkdir -p repo base
  printf 'conf\n' >repo/conf
  write_table repo <<EOT
dir var bin bin 1700000000 0777 n
file var/k bin bin 1700000000 0100666 conf @DIGEST(conf) 0 y
EOT
  expect_run 0 "" "" "$PROPAGATE" repo base
  local table
  table=$(cat base/files.txt)
  printf 'secret\n' >secret
  chmod 0600 secret
  rm base/var/k && ln secret base/var/k
  local refused=$'Error: base/var/k has 2 hard links: refusing to change the owner or mode of a file that other names share\n'
  expect_run 1 $'attrs var\n' "$refused" "$PROPAGATE" -n repo base
  expect_run 1 "" "$refused" "$PROPAGATE" repo base
  expect_attrs secret "regular file 600 root root"
  expect_eq "previous table" "$table" "$(cat base/files.txt)"
}

run_tests
