#!/usr/bin/env bash
# The example repositories and the walkthrough in examples/README.md: valid tables whose control sums
# match their contents, the walkthrough's install, local edit, upgrade and recovery, its checks before and
# after an upgrade and its upgrade that drops files, each with the output it shows, and the repositories
# made again from their staged trees, exactly as committed.
. "$(dirname "$0")/lib.sh"

EXAMPLES=$SOURCE_DIR/examples
# The content of etc/app.conf in version 1.1.0, as the walkthrough names it.
APP_CONF_2=$EXAMPLES/repo-2/4A1D586E2872C78B808071E35D225DA6
KEEP=(--keep etc/app.conf --keep var --keep 'var/*.log')

digest() { md5sum <"$1" | cut -c1-32 | tr a-f A-F; }

# Everything of the tree under $1 that a run could change, one line per entry: type and mode, owner,
# size, modification time, inode, name, link target, and the content of every file.
tree_state() {
  (cd "$1" && find . ! -name '*.fingerprints' -printf '%M %u:%g %s %T@ %i %p %l\n' | LC_ALL=C sort -k7 &&
    find . -type f ! -name '*.fingerprints' -exec md5sum {} + | LC_ALL=C sort -k2)
}

test_example_tables_record_the_contents() {
  local repo kind name source sum rest count
  for repo in "$EXAMPLES/repo" "$EXAMPLES/repo-2" "$EXAMPLES/repo-3"; do
    count=0
    while read -r kind name _ _ _ _ source sum rest; do
      [ "$kind" == file ] || continue
      count=$((count + 1))
      [ -f "$repo/$source" ] || { fail "$repo: no content $source for $name"; continue; }
      expect_eq "control sum of $name in $(basename "$repo")" "$(digest "$repo/$source")" "$sum"
    done < <(sed -n '/^table /,/^end$/p' "$repo/files.txt")
    [ "$count" -ge 5 ] || fail "$repo/files.txt lists only $count files"
    # Every content file of the repository is installed by some record.
    for source in $(cd "$repo" && ls); do
      [ "$source" == files.txt ] && continue
      grep -q "^file .* $source [0-9A-F]\{32\} " "$repo/files.txt" || fail "$repo/$source is not in the table"
    done
  done
}

test_walkthrough() {
  require_root || return $SKIP
  local base=$T/velmira-demo
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" "$base"
  expect_eq "tree" "drwxr-xr-x root:root bin
-rwxr-xr-x root:root bin/velmira
-rwsr-x--- root:adm bin/velmira-helper
drwxr-xr-x root:root etc
-rw-r--r-- root:root etc/app.conf
-rw-r--r-- root:root files.txt
-rw------- root:root files.txt.fingerprints
drwxr-xr-x root:root share
lrwxrwxrwx root:root share/README
-rw-r--r-- root:root share/read me.txt
-rw-r--r-- root:root share/version.txt
drwxr-x--- daemon:adm var
-rw-r----- daemon:adm var/velmira.log" "$(find "$base" -mindepth 1 -printf '%M %u:%g %P\n' | LC_ALL=C sort -k3)"
  expect_eq "link" "read me.txt" "$(readlink "$base/share/README")"
  expect_eq "product" "Velmira example 1.0.0" "$("$base/bin/velmira")"

  # A local edit of the configuration is kept, a change of a file that does not keep them is undone.
  sed -i 's/^log_level = notice/log_level = debug/' "$base/etc/app.conf"
  echo 9.9.9 >"$base/share/version.txt"
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" "$base"
  expect_eq "edit kept" "log_level = debug" "$(grep log_level "$base/etc/app.conf")"
  expect_eq "version restored" "1.0.0" "$(cat "$base/share/version.txt")"

  # The upgrade keeps the edit and brings everything else to the new version.
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" "$base"
  expect_eq "upgraded product" "Velmira example 1.1.0" "$("$base/bin/velmira")"
  expect_eq "edit kept on upgrade" "log_level = debug" "$(grep log_level "$base/etc/app.conf")"
  expect_eq "new file" "Velmira 1.1.0" "$(head -n 1 "$base/share/NEWS.txt")"
  expect_eq "mode of the helper after the upgrade" "-rwsr-x--- root:adm" \
    "$(stat -c '%A %U:%G' "$base/bin/velmira-helper")"
  expect_eq "new setting" "# New in 1.1.0: seconds before an idle connection is closed.
idle_timeout = 300" "$(diff "$base/etc/app.conf" "$APP_CONF_2" | sed -n 's/^> //p' | tail -n 2)"
  tail -n 2 "$APP_CONF_2" >>"$base/etc/app.conf"
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" "$base"
  expect_eq "merged config kept" "idle_timeout = 300" "$(tail -n 1 "$base/etc/app.conf")"

  # An unedited configuration is upgraded.
  local fresh=$T/fresh
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" "$fresh"
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" "$fresh"
  cmp -s "$APP_CONF_2" "$fresh/etc/app.conf" || fail "unedited configuration not upgraded"

  # The errors the walkthrough shows, and its recovery.
  expect_run 1 "" "Error: $EXAMPLES/rep/files.txt: Cannot open: No such file or directory"$'\n' \
    "$PROPAGATE" "$EXAMPLES/rep" "$base"
  rm "$base/files.txt"
  expect_run 1 "" "Error: Cannot find etc/app.conf in old table, possible corruption"$'\n' \
    "$PROPAGATE" "$EXAMPLES/repo-2" "$base"
  [ -e "$base/files.txt" ] && fail "a table was installed by the failed run"
  cp "$EXAMPLES/repo-2/files.txt" "$base/files.txt"
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" "$base"
  expect_eq "edit kept after recovery" "log_level = debug" "$(grep log_level "$base/etc/app.conf")"
}

# Section 7: --verify before and after an upgrade, and -n and -v on it, with the lines the walkthrough shows.
test_walkthrough_before_and_after_an_upgrade() {
  require_root || return $SKIP
  local base=$T/velmira-check
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo" "$base"
  expect_run 0 "" "" "$PROPAGATE" --verify "$base"

  # Each written in place, so that no directory's time moves: exactly three paths differ.
  echo 'max_connections = 64' >>"$base/etc/app.conf"
  chmod 0755 "$base/bin/velmira-helper"
  printf '#!/bin/sh\necho "Velmira example 1.0.0, patched"\n' >"$base/bin/velmira"
  expect_run 2 "bin/velmira: content 352950D46BE03FAED2CB880BE5F55536, table E037956AA9E43DE71C0E2A70D8D2D703; time $(stat -c %Y "$base/bin/velmira"), table 1700000000
bin/velmira-helper: mode 0100755, table 0104750
etc/app.conf: content changed locally (kept)
" "" "$PROPAGATE" --verify "$base"

  local actions="copy bin/velmira
attrs bin/velmira-helper
keep etc/app.conf
copy share/NEWS.txt
copy share/version.txt
table files.txt
"
  tree_state "$base" >before
  expect_run 0 "$actions" "" "$PROPAGATE" -n "$EXAMPLES/repo-2" "$base"
  tree_state "$base" >after
  cmp -s before after || fail "the dry run changed the tree: $(diff before after)"
  expect_eq "program after the dry run" "Velmira example 1.0.0, patched" "$("$base/bin/velmira")"

  expect_run 0 "$actions" "" "$PROPAGATE" -v "$EXAMPLES/repo-2" "$base"
  expect_eq "program after the upgrade" "Velmira example 1.1.0" "$("$base/bin/velmira")"
  expect_eq "helper after the upgrade" "-rwsr-x--- root:adm" "$(stat -c '%A %U:%G' "$base/bin/velmira-helper")"
  expect_eq "kept edit" "max_connections = 64" "$(tail -n 1 "$base/etc/app.conf")"
  expect_run 0 "etc/app.conf: content changed locally (kept)"$'\n' "" "$PROPAGATE" --verify "$base"
}

# Section 8: the upgrade to repo-3, which drops the helper, var and the log, without and with --prune.
test_walkthrough_upgrade_that_drops_files() {
  require_root || return $SKIP
  local base=$T/velmira-demo
  # Where section 6 ends: 1.1.0 installed, the configuration file edited.
  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" "$base"
  sed -i 's/^log_level = notice/log_level = debug/' "$base/etc/app.conf"

  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-3" "$base"
  expect_eq "product" "Velmira example 1.2.0" "$("$base/bin/velmira")"
  expect_eq "left without --prune" "$base/bin:
velmira
velmira-helper

$base/var:
velmira.log" "$(ls "$base/bin" "$base/var")"
  expect_eq "helper left as it was" "-rwsr-x--- root:adm" "$(stat -c '%A %U:%G' "$base/bin/velmira-helper")"
  cmp -s "$EXAMPLES/repo-3/files.txt" "$base/files.txt" || fail "the table of 1.2.0 was not installed"

  expect_run 0 "" "" "$PROPAGATE" "$EXAMPLES/repo-2" "$base"
  tree_state "$base" >before
  expect_run 0 "keep etc/app.conf
copy share/NEWS.txt
copy share/version.txt
remove var/velmira.log
remove bin/velmira-helper
remove var
table files.txt
" "" "$PROPAGATE" -n --prune "$EXAMPLES/repo-3" "$base"
  tree_state "$base" >after
  cmp -s before after || fail "the dry run changed the tree: $(diff before after)"

  # The product wrote to its log: the log is kept, and so is var, which still holds it.
  echo 'velmira started' >>"$base/var/velmira.log"
  local kept="keep etc/app.conf
keep var/velmira.log
remove bin/velmira-helper"
  run_capture "$PROPAGATE" -n --prune "$EXAMPLES/repo-3" "$base"
  expect_eq "status of the dry run" 0 "$status"
  expect_eq "removals of the dry run" "$kept" "$(grep -e '^remove' -e '^keep' <<<"$out")"
  run_capture "$PROPAGATE" --prune -v "$EXAMPLES/repo-3" "$base"
  expect_eq "status of the upgrade" 0 "$status"
  expect_eq "removals of the upgrade" "$kept" "$(grep -e '^remove' -e '^keep' <<<"$out")"
  expect_eq "left by --prune" "$base/bin:
velmira

$base/var:
velmira.log" "$(ls -A "$base/bin" "$base/var")"
  expect_eq "log" "velmira started" "$(cat "$base/var/velmira.log")"
  expect_eq "edit kept" "log_level = debug" "$(grep log_level "$base/etc/app.conf")"
  cmp -s "$EXAMPLES/repo-3/files.txt" "$base/files.txt" || fail "the table of 1.2.0 was not installed"

  # The same command again: nothing is left to remove or copy, and the tree stays as it is, inodes
  # included, but for the table, which every run writes anew, and the base directory's time.
  local again='NF > 2 { if ($6 == "." || $6 == "./files.txt") { $4 = ""; $5 = "" } } { print }'
  tree_state "$base" | awk "$again" >before
  expect_run 0 "" "" "$PROPAGATE" --prune "$EXAMPLES/repo-3" "$base"
  tree_state "$base" | awk "$again" >after
  cmp -s before after || fail "a second run changed the tree: $(diff before after)"

  rm -r "$base/var"
  expect_run 0 "etc/app.conf: content changed locally (kept)"$'\n' "" "$PROPAGATE" --verify "$base"
}

# Section 9: the staged tree of each version, and --create making exactly the committed repository of it.
test_walkthrough_make_repository() {
  require_root || return $SKIP
  expect_run 0 "" "" "$EXAMPLES/make-stage.sh" 1.1.0 stage
  expect_eq "staged tree" "drwxr-xr-x root:root bin
-rwxr-xr-x root:root bin/velmira
-rwsr-x--- root:adm bin/velmira-helper
drwxr-xr-x root:root etc
-rw-r--r-- root:root etc/app.conf
drwxr-xr-x root:root share
-rw-r--r-- root:root share/NEWS.txt
lrwxrwxrwx root:root share/README
-rw-r--r-- root:root share/read me.txt
-rw-r--r-- root:root share/version.txt
drwxr-x--- daemon:adm var
-rw-r----- daemon:adm var/velmira.log" "$(find stage -mindepth 1 -printf '%M %u:%g %P\n' | LC_ALL=C sort -k3)"
  expect_run 0 "" "" "$PROPAGATE" --create "${KEEP[@]}" stage repo
  expect_eq "repository" "$(cd "$EXAMPLES/repo-2" && LC_ALL=C ls)" "$(LC_ALL=C ls repo)"
  diff -r "$EXAMPLES/repo-2" repo >/dev/null || fail "repo-2 made again differs: $(diff -r "$EXAMPLES/repo-2" repo)"
  # Again into the same directory: the same table.
  expect_run 0 "" "" "$PROPAGATE" --create "${KEEP[@]}" stage repo
  cmp -s "$EXAMPLES/repo-2/files.txt" repo/files.txt || fail "a second --create gave another table"

  expect_run 0 "" "" "$EXAMPLES/make-stage.sh" 1.0.0 stage-1
  expect_run 0 "" "" "$PROPAGATE" --create "${KEEP[@]}" stage-1 repo-1
  diff -r "$EXAMPLES/repo" repo-1 >/dev/null || fail "repo made again differs: $(diff -r "$EXAMPLES/repo" repo-1)"

  expect_run 0 "" "" "$EXAMPLES/make-stage.sh" 1.2.0 stage-3
  expect_run 0 "" "" "$PROPAGATE" --create "${KEEP[@]}" stage-3 repo-3
  diff -r "$EXAMPLES/repo-3" repo-3 >/dev/null || fail "repo-3 made again differs: $(diff -r "$EXAMPLES/repo-3" repo-3)"
}

# The same under fakeroot, which needs no root: the walkthrough's command, run as an ordinary user when
# the tests run as root.
test_walkthrough_make_repository_under_fakeroot() {
  command -v fakeroot >/dev/null || { echo "SKIP [$current_test]: no fakeroot"; return $SKIP; }
  local as_user=()
  if [ "$(id -u)" == 0 ]; then
    chmod 0777 .
    chmod o+x "$WORK"  # $PROPAGATE may be a script there (PROPAGATE_JOBS)
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  fi
  local version repo
  for version in 1.0.0 1.1.0 1.2.0; do
    case $version in
      1.0.0) repo=$EXAMPLES/repo ;;
      1.1.0) repo=$EXAMPLES/repo-2 ;;
      1.2.0) repo=$EXAMPLES/repo-3 ;;
    esac
    # fakeroot preloads its library, which AddressSanitizer would refuse to start behind.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 expect_run 0 "" "" "${as_user[@]}" fakeroot sh -c "\"\$1\" $version stage-$version &&
      \"\$2\" --create --keep etc/app.conf --keep var --keep 'var/*.log' stage-$version repo-$version" \
      _ "$EXAMPLES/make-stage.sh" "$PROPAGATE"
    diff -r "$repo" repo-$version >/dev/null || fail "$version made under fakeroot differs: $(diff -r "$repo" repo-$version)"
  done
}

run_tests
