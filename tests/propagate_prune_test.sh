#!/usr/bin/env bash
# --prune end to end: an upgrade to a version that drops a file, a link and a directory, with and without
# --prune; the lines of -n and -v; local edits and unknown files kept; a failed removal finished by a rerun;
# runs killed while they prune; several jobs at once.
# As root the whole script runs in a private mount namespace, where a case mounts a read-only directory.
if [ "$(id -u)" == 0 ] && [ -z "${PRIVATE_MOUNTS:-}" ]; then
  PRIVATE_MOUNTS=1 exec unshare -m bash "$0" "$@"
fi
[ -n "${PRIVATE_MOUNTS:-}" ] && mount --make-rprivate /
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

T0=1700000000

# repo1: version 1. repo2: version 2, which drops plugins/old.so, the link plugins/legacy and the directory
# retired/ with everything in it, changes plugins/a.so and keeps the rest.
make_repos() {
  mkdir -p repo1 repo2
  printf 'setting = 1\n' >repo1/app.conf
  printf 'plugin a 1\n' >repo1/a.so
  printf 'plugin old\n' >repo1/old.so
  printf 'tool\n' >repo1/tool
  printf 'data\n' >repo1/x
  printf '#!/bin/sh\n' >repo1/run
  # The records that both versions have.
  local kept
  kept=$(cat <<EOT
dir etc root root $T0 0755 n
file etc/app.conf root root $T0 0100644 app.conf @DIGEST(app.conf) 0 y
dir bin root root $T0 0755 n
file bin/run root root $T0 0100755 run @DIGEST(run) 0 n
dir plugins root root $T0 0755 n
file plugins/a.so root root $T0 0100644 a.so @DIGEST(a.so) 0 n
EOT
)
  write_table repo1 <<EOT
$kept
file plugins/old.so root root $T0 0100644 old.so @DIGEST(old.so) 0 n
symlink plugins/legacy root root $T0 old.so
dir retired root root $T0 0755 n
file retired/tool root root $T0 0100755 tool @DIGEST(tool) 0 n
dir retired/data root root $T0 0750 n
file retired/data/x root root $T0 0100640 x @DIGEST(x) 0 y
EOT
  cp repo1/app.conf repo1/run repo2/
  printf 'plugin a 2\n' >repo2/a.so
  write_table repo2 <<EOT
$kept
EOT
}

# What an upgrade with --prune removes from a version 1 installation, deepest first.
REMOVALS="remove retired/data/x
remove retired/data
remove retired/tool
remove plugins/legacy
remove plugins/old.so
remove retired"

# The remove and keep lines of standard output $1.
prune_lines() { grep -E '^(remove|keep) ' <<<"$1"; }

# Installs version 1 into base and checks that it went well.
install_v1() {
  make_repos
  expect_run 0 "" "" "$PROPAGATE" repo1 base
}

# The tree of a fresh installation of repo2, for comparison with an upgraded one.
fresh_v2_snapshot() {
  "$PROPAGATE" repo2 fresh >/dev/null || fail "fresh installation of repo2"
  snapshot fresh
}

test_upgrade_without_prune_removes_nothing() {
  require_root || return $SKIP
  install_v1
  local before
  before=$(snapshot base | grep -v -e '^./plugins/a.so ' -e '^./files.txt ')
  expect_run 0 "" "" "$PROPAGATE" repo2 base
  cmp -s repo2/files.txt base/files.txt || fail "table of version 2 not installed"
  expect_eq "tree without --prune" "$before" "$(snapshot base | grep -v -e '^./plugins/a.so ' -e '^./files.txt ')"
  expect_eq "changed plugin" "plugin a 2" "$(cat base/plugins/a.so)"
  # The installed table no longer lists the dropped paths: a later --prune does not know them.
  expect_run 0 "" "" "$PROPAGATE" --prune repo2 base
  expect_eq "tree after a later --prune" "$before" "$(snapshot base | grep -v -e '^./plugins/a.so ' -e '^./files.txt ')"
}

test_upgrade_with_prune() {
  require_root || return $SKIP
  install_v1
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "status" "0:" "$status:$err"
  expect_eq "removals" "$REMOVALS" "$(prune_lines "$out")"
  # The removals come after every record and before the table is installed.
  expect_eq "end of the output" "$REMOVALS"$'\n'"table files.txt" "$(printf %s "$out" | tail -n 7)"
  cmp -s repo2/files.txt base/files.txt || fail "table of version 2 not installed"
  expect_eq "tree after the upgrade" "$(fresh_v2_snapshot)" "$(snapshot base)"
  # Directory times are set after the removals changed them.
  expect_mtime base/plugins $T0
  # Once done, a second run finds nothing more to remove and changes nothing.
  local after
  after=$(snapshot base)
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "second run" "0::" "$status:$(prune_lines "$out"):$err"
  expect_eq "tree after the second run" "$after" "$(snapshot base)"
  # Without -v, a pruning run prints nothing.
  install_v1
  expect_run 0 "" "" "$PROPAGATE" --prune repo2 base
  expect_eq "tree after a quiet upgrade" "$(snapshot fresh)" "$(snapshot base)"
}

test_dry_run_reports_and_changes_nothing() {
  require_root || return $SKIP
  install_v1
  local before
  before=$(snapshot base)
  run_capture "$PROPAGATE" -n --prune repo2 base
  expect_eq "status" "0:" "$status:$err"
  expect_eq "removals of the dry run" "$REMOVALS" "$(prune_lines "$out")"
  expect_eq "tree after the dry run" "$before" "$(snapshot base)"
  cmp -s repo1/files.txt base/files.txt || fail "a dry run replaced the table"
  # Without --prune, a dry run reports no removal.
  run_capture "$PROPAGATE" -n repo2 base
  expect_eq "dry run without --prune" "0::" "$status:$(prune_lines "$out"):$err"
  # The dry run said what the real run then does.
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "removals of the real run" "$REMOVALS" "$(prune_lines "$out")"
}

# A link that the upgrade moves: the dry run judges the paths through it as the run will have left them.
test_dry_run_follows_the_links_it_would_move() {
  require_root || return $SKIP
  mkdir -p old new
  printf 'f\n' >old/f
  cp old/f new/f
  write_table old <<EOT
dir v1 root root $T0 0755 n
file v1/f root root $T0 0100644 f @DIGEST(f) 0 n
symlink cur root root $T0 v1
EOT
  write_table new <<EOT
dir v2 root root $T0 0755 n
file v2/f root root $T0 0100644 f @DIGEST(f) 0 n
symlink cur root root $T0 v2
file cur/f root root $T0 0100644 f @DIGEST(f) 0 n
EOT
  expect_run 0 "" "" "$PROPAGATE" old base
  run_capture "$PROPAGATE" -n --prune new base
  expect_eq "removals of the dry run" $'remove v1/f\nremove v1' "$(prune_lines "$out")"
  run_capture "$PROPAGATE" -v --prune new base
  expect_eq "removals of the run" $'remove v1/f\nremove v1' "$(prune_lines "$out")"
}

test_local_changes_and_unknown_files_are_kept() {
  require_root || return $SKIP
  install_v1
  echo "edited" >>base/retired/data/x
  echo "mine" >base/retired/notes
  rm base/plugins/legacy
  ln -s a.so base/plugins/legacy
  local expected="keep retired/data/x
remove retired/tool
remove plugins/old.so"
  run_capture "$PROPAGATE" -n --prune repo2 base
  expect_eq "dry run" "0:$expected:" "$status:$(prune_lines "$out"):$err"
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "run" "0:$expected:" "$status:$(prune_lines "$out"):$err"
  expect_eq "kept edit" "data"$'\n'"edited" "$(cat base/retired/data/x)"
  expect_eq "unknown file" "mine" "$(cat base/retired/notes)"
  expect_eq "changed link" "a.so" "$(readlink base/plugins/legacy)"
  [ -e base/retired/tool ] || [ -e base/plugins/old.so ] && fail "an unchanged dropped file was kept"
  expect_eq "what is left of retired" "retired retired/data retired/data/x retired/notes" \
    "$(cd base && find retired | sort | xargs)"
}

test_old_file_recorded_as_directory_stays() {
  require_root || return $SKIP
  install_v1
  # Version 2 lists retired/tool again, now as a directory; the file that stands there is no dropped path.
  sed -i '/^end$/d' repo2/files.txt
  printf 'dir retired root root %s 0755 n\ndir retired/tool root root %s 0755 n\nend\n' $T0 $T0 >>repo2/files.txt
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "status" "0:" "$status:$err"
  expect_eq "removals" "remove retired/data/x
remove retired/data
remove plugins/legacy
remove plugins/old.so" "$(prune_lines "$out")"
  expect_eq "file recorded as a directory" "tool" "$(cat base/retired/tool)"
}

test_link_in_a_parent_is_not_followed() {
  require_root || return $SKIP
  install_v1
  # retired/ moved elsewhere and replaced by a link: nothing behind the link is removed, nor the link.
  mkdir elsewhere
  mv base/retired elsewhere/
  ln -s ../elsewhere/retired base/retired
  local outside
  outside=$(snapshot elsewhere)
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "status" "0:" "$status:$err"
  expect_eq "removals" "remove plugins/legacy
remove plugins/old.so" "$(prune_lines "$out")"
  expect_eq "behind the link" "$outside" "$(snapshot elsewhere)"
  expect_eq "link" "../elsewhere/retired" "$(readlink base/retired)"
}

# A pruning run that fails at a removal: $1 "read-only" (retired/ is a read-only bind mount, so the
# first removal fails) or "mount point" (retired/data is a mount point, which cannot be removed once
# emptied). The message, what was removed before, the previous table; then the rerun finishes.
failed_removal_case() {
  require_root || return $SKIP
  [ -n "${PRIVATE_MOUNTS:-}" ] || return $SKIP
  trap 'umount -l "$T/base/retired/data" 2>/dev/null; umount -l "$T/base/retired" 2>/dev/null' EXIT
  make_repos
  if [ "$1" == "mount point" ]; then
    mkdir -p base/retired/data
    mount -t tmpfs tmpfs base/retired/data || { echo "SKIP [$current_test]: no tmpfs"; return $SKIP; }
  fi
  expect_run 0 "" "" "$PROPAGATE" repo1 base
  if [ "$1" == "read-only" ]; then
    mount --bind base/retired base/retired && mount -o remount,bind,ro base/retired ||
      { echo "SKIP [$current_test]: no read-only bind mount"; return $SKIP; }
  fi
  local message removed
  case $1 in
    read-only)
      message="unlink(base/retired/data/x): Read-only file system"
      removed="" ;;
    "mount point")
      message="rmdir(base/retired/data): Device or resource busy"
      removed="remove retired/data/x" ;;
  esac
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "status" "1" "$status"
  expect_eq "error" "Error: $message"$'\n' "$err"
  expect_eq "removals before the failure" "$removed" "$(prune_lines "$out")"
  cmp -s repo1/files.txt base/files.txt || fail "a failed run installed its table"
  [ -d base/retired/data ] && [ -f base/retired/tool ] && [ -L base/plugins/legacy ] && [ -f base/plugins/old.so ] ||
    fail "paths after the failing one were removed"
  umount base/retired/data 2>/dev/null || umount base/retired
  run_capture "$PROPAGATE" --prune -v repo2 base
  expect_eq "rerun" "0:" "$status:$err"
  expect_eq "removals of the rerun" "$(grep -vxF -e "$removed" <<<"$REMOVALS")" "$(prune_lines "$out")"
  expect_eq "tree after the rerun" "$(fresh_v2_snapshot)" "$(snapshot base)"
}
test_failed_unlink_is_finished_by_a_rerun() { failed_removal_case "read-only"; }
test_failed_rmdir_is_finished_by_a_rerun() { failed_removal_case "mount point"; }

# Version 1 with many files in many directories, version 2 without half of them and without whole
# directories: a pruning run that takes long enough to be killed among its removals.
make_large_repos() {
  local files=$1
  mkdir -p big1 big2
  perl -e 'my ($files) = @ARGV; srand(7);
    for my $i (1 .. $files) {
      open(my $f, ">", "big1/f$i") or die "big1/f$i: $!";
      print $f pack("C*", map { int(rand(256)) } 1 .. (($i * 37) % 3000));
      close($f) or die "big1/f$i: $!";
    }' "$files"
  # Files in 40 directories, each with a subdirectory and a link; version 2 keeps the even directories
  # whole and every third file of the odd ones, which stay.
  records() {
    local version=$1
    (cd big1 && md5sum f[0-9]*) | awk -v t=$T0 -v version="$version" '
      BEGIN {
        for (d = 1; d <= 40; d++) {
          if (version == 2 && d % 2 == 1 && d % 4 != 1) continue
          printf "dir d%d root root %d 0755 n\ndir d%d/sub root root %d 0755 n\n", d, t, d, t
          printf "symlink d%d/link root root %d sub\n", d, t
        }
      }
      {
        n = substr($2, 2); d = n % 40 + 1
        if (version == 2 && d % 2 == 1 && (d % 4 != 1 || n % 3 != 0)) next
        printf "file d%d/sub/%s root root %d 0100644 %s %s 0 %s\n", d, $2, t, $2, toupper($1), (n % 10 == 0 ? "y" : "n")
      }'
  }
  records 1 | write_table big1
  records 2 | write_table big2
  ln big1/f[0-9]* big2/
}

# snapshot for large trees: the same facts (times of directories and of the table left out), with the
# contents summed in batches. The temporary files that a killed copy leaves behind are left out too.
quick_snapshot() {
  (
    cd "$1" || exit 1
    find . \( -type d -printf '%p %y %#m %u %g\n' \) -o \( -type l -printf '%p %y %u %g -> %l\n' \) \
      -o \( -path ./files.txt -printf '%p %y %#m %u %g %s\n' \) -o \( -type f -printf '%p %y %#m %u %g %s %T@\n' \)
    find . -type f -exec md5sum {} + | awk '{ print $2, $1 }'
  ) | grep -v -F -e .propagate- -e .fingerprints | sort
}

# On a tmpfs the flush before each table costs nothing, so that many rounds fit in the test's time.
on_tmpfs() {
  [ -n "${PRIVATE_MOUNTS:-}" ] || return 0
  mkdir -p disk && mount -t tmpfs -o size=262144k tmpfs disk || { fail "cannot mount a tmpfs"; return; }
  trap 'umount -l "$T/disk"' EXIT
  cd disk || fail "cannot enter the tmpfs"
}

# Every name that table $1 records, as find prints it under the base directory.
recorded_paths() { awk '$1 == "file" || $1 == "dir" || $1 == "symlink" { print "./" $2 }' "$1" | sort; }

test_killed_pruning_runs_recover() {
  require_root || return $SKIP
  local points=${CRASH_POINTS:-30} files=${CRASH_FILES:-1200} point pid reference missing removals
  on_tmpfs
  make_large_repos "$files"
  # The end state of an uninterrupted run, and how long its pruning upgrade takes.
  local start duration_ms
  "$PROPAGATE" big1 reference || fail "installation of version 1"
  start=$(date +%s%N)
  "$PROPAGATE" --prune big2 reference || fail "uninterrupted upgrade"
  duration_ms=$((($(date +%s%N) - start) / 1000000 + 1))
  reference=$(quick_snapshot reference)
  removals=$(comm -23 <(recorded_paths big1/files.txt) <(recorded_paths big2/files.txt) | wc -l)
  local kept_by_both
  kept_by_both=$(comm -12 <(recorded_paths big1/files.txt) <(recorded_paths big2/files.txt))

  for point in $(seq 1 "$points"); do
    rm -rf base
    "$PROPAGATE" big1 base || fail "installation of version 1 (round $point)"
    if [ $((point % 2)) == 1 ] && command -v strace >/dev/null; then
      # Killed just before its Nth removal, N spread over all of them.
      local nth=$(((point * 7919) % removals + 1))
      strace -f -o /dev/null -e trace=unlinkat -e inject=unlinkat:signal=SIGKILL:when=$nth \
        "$PROPAGATE" --prune big2 base >/dev/null 2>&1
    else
      # Killed at a random moment of the whole run.
      "$PROPAGATE" --prune -j $((point % 3 + 1)) big2 base >/dev/null 2>&1 &
      pid=$!
      sleep "$(awk -v r=$RANDOM -v d=$duration_ms 'BEGIN { printf "%.3f", r / 32768 * d / 1000 }')"
      kill -KILL $pid 2>/dev/null
      wait $pid 2>/dev/null
    fi
    missing=$(comm -23 <(echo "$kept_by_both") <(cd base && find . | sort))
    expect_eq "paths of both tables still there after kill $point" "" "$missing"
    run_capture "$PROPAGATE" --prune big2 base
    expect_eq "rerun after kill $point" "0:" "$status:$err"
    expect_eq "tree after kill $point and a rerun" "$reference" "$(quick_snapshot base)"
  done
}

test_jobs_give_the_same_result() {
  require_root || return $SKIP
  local jobs first=""
  on_tmpfs
  make_large_repos 600
  for jobs in 1 2; do
    rm -rf base
    "$PROPAGATE" big1 base || fail "installation of version 1"
    echo "local" >>base/d3/sub/f2
    run_capture "$PROPAGATE" --prune -v -j $jobs big2 base
    expect_eq "status with -j $jobs" "0:" "$status:$err"
    local lines
    lines=$(prune_lines "$out")
    [ -n "$first" ] || first=$lines
    expect_eq "removals with -j $jobs" "$first" "$lines"
    expect_eq "keep line with -j $jobs" "keep d3/sub/f2" "$(grep '^keep ' <<<"$lines")"
    expect_eq "tree with -j $jobs" "$(cd base && find . ! -path ./d3 ! -path ./d3/sub ! -path ./d3/sub/f2 ! -path ./files.txt.fingerprints | sort)" \
      "$( (recorded_paths big2/files.txt; echo .; echo ./files.txt) | sort)"
  done
}

run_tests
