#!/usr/bin/env bash
# What a run reports and leaves: -n decides and changes nothing, -v does the same and prints the same lines,
# directory times hold, one run at a time, zero bytes refused, files appear with their attributes, and
# several jobs leave what one leaves.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

T0=1700000000
T1=1710000000

# Every entry under $1 with its modification time, directories included: what "changes nothing" is checked
# against. Access times are left out: reading a file to hash it moves them. With $2 "trees", links' times
# are left out too, for comparing two trees made apart (no run sets the time of a link or of the table).
full_snapshot() {
  if [ "${2:-}" == trees ]; then
    (cd "$1" && find . -mindepth 1 -name '*.fingerprints' -prune -o \( -type l -printf '%p %y %u %g %l\n' \) -o \
      \( -path ./files.txt -printf '%p %y %#m %u %g %s\n' \) -o -printf '%p %y %#m %u %g %s %T@\n' | sort)
  else
    (cd "$1" && find . -mindepth 1 ! -name '*.fingerprints' -printf '%p %y %#m %u %g %s %T@ %i %l\n' | sort)
  fi
  (cd "$1" && find . -type f ! -name '*.fingerprints' -exec md5sum {} + | sort)
}

make_product() {
  mkdir -p repo
  printf 'port = 1\n' >repo/app.conf
  printf '#!/bin/sh\necho v1\n' >repo/tool
  printf 'plugin\n' >repo/plugin
  write_table repo <<EOT
dir etc root root $T0 0755 n
dir etc/deep root root $T0 0700 n
dir bin root staff $T0 02775 n
dir var daemon daemon $T0 0750 y
file etc/app+20name.conf root root $T0 0100644 app.conf @DIGEST(app.conf) 0 y
file etc/deep/plugin root root $T0 0100600 plugin @DIGEST(plugin) 0 n
file bin/tool bin staff $T0 0104755 tool @DIGEST(tool) 0 n
file var/tool daemon daemon $T1 0100640 tool @DIGEST(tool) 0 n
symlink etc/current root root $T0 app+20name.conf
EOT
}

FIRST_INSTALL='mkdir etc
mkdir etc/deep
mkdir bin
mkdir var
copy etc/app+20name.conf
copy etc/deep/plugin
copy bin/tool
copy var/tool
link etc/current
table files.txt
'

test_dry_run_changes_nothing_and_verbose_prints_its_lines() {
  require_root || return $SKIP
  make_product
  expect_run 0 "$FIRST_INSTALL" "" "$PROPAGATE" -n repo base
  [ -e base ] && fail "a dry run created the base directory"
  expect_run 0 "$FIRST_INSTALL" "" "$PROPAGATE" -v repo base
  # Directories hold their table times once the run is over, the kept existing one aside.
  expect_mtime base/etc $T0
  expect_mtime base/etc/deep $T0
  expect_mtime base/bin $T0
  expect_attrs base/bin/tool "regular file 4755 bin staff"
  # A second run finds every file right: nothing is copied again.
  expect_run 0 "table files.txt
" "" "$PROPAGATE" -v repo base
  expect_mtime base/etc $T0
  # Local changes of every kind, then an upgrade: -n lists it, changes nothing, and -v prints the same.
  printf 'port = 2\n' >"base/etc/app name.conf"
  chmod 0600 "base/etc/app name.conf"
  chown daemon base/etc/deep
  ln -sfn elsewhere base/etc/current
  touch -d @$T1 base/bin
  printf 'plugin v2\n' >repo/plugin
  sed -i "s/ plugin [0-9A-F]\{32\} / plugin $(digest repo/plugin) /" repo/files.txt
  local before lines
  before=$(full_snapshot base)
  run_capture "$PROPAGATE" --dry-run repo base
  expect_eq "status of -n" 0 "$status"
  # etc: replacing the link moved its time.
  expect_eq "lines of -n" "attrs etc
attrs etc/deep
attrs bin
keep etc/app+20name.conf
copy etc/deep/plugin
link etc/current
table files.txt
" "$out"
  lines=$out
  expect_eq "tree after -n" "$before" "$(full_snapshot base)"
  expect_run 0 "$lines" "" "$PROPAGATE" --verbose repo base
  expect_attrs "base/etc/app name.conf" "regular file 644 root root"
  expect_eq "kept content" "port = 2" "$(cat "base/etc/app name.conf")"
  expect_attrs base/etc/deep "directory 700 root root"
  expect_eq "link" "app+20name.conf" "$(readlink base/etc/current | sed 's/ /+20/')"
  expect_mtime base/bin $T0
  # And a third run, from the tree the second left, changes only what every run does.
  local after
  after=$(snapshot base)
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "third run" "$after" "$(snapshot base)"
}

# A file whose directory an earlier record turns into another link: the dry run looks where the run will.
test_dry_run_looks_through_the_links_it_would_make() {
  require_root || return $SKIP
  mkdir -p repo base/lib.v1 base/lib.v2
  printf 'x\n' >repo/x
  cp -p repo/x base/lib.v1/x
  ln -s lib.v1 base/lib
  write_table repo <<EOT
dir lib.v1 root root $T0 0755 n
dir lib.v2 root root $T0 0755 n
symlink lib root root $T0 lib.v2
file lib/x root root $T0 0100644 x @DIGEST(x) 0 n
EOT
  touch -d @$T0 base/lib.v1/x base/lib.v1 base/lib.v2
  local lines=$'link lib\ncopy lib/x\ntable files.txt\n'
  expect_run 0 "$lines" "" "$PROPAGATE" -n repo base
  expect_run 0 "$lines" "" "$PROPAGATE" -v repo base
}

test_dry_run_fails_where_the_run_would() {
  require_root || return $SKIP
  make_product
  local table
  table=$(cat repo/files.txt)
  check_both() {  # $1: what the table becomes; both forms give the same error and status
    local message=$2
    printf '%s\n' "$1" >repo/files.txt
    rm -rf base-n base-run
    cp -a base base-n 2>/dev/null || mkdir base-n
    cp -a base-n base-run
    local before dry
    before=$(full_snapshot base-n)
    # The lines of the records before the failing one, as one worker prints them.
    run_capture "$PROPAGATE" -n -j 1 repo base-n
    dry=$out
    run_capture "$PROPAGATE" -n repo base-n
    expect_eq "status of -n" 1 "$status"
    expect_eq "error of -n" "Error: ${message//@BASE@/base-n}"$'\n' "$err"
    [[ $out == "$dry"* ]] || fail "lines of -n: expected [$dry] first, got [$out]"
    expect_eq "tree after a failing -n" "$before" "$(full_snapshot base-n)"
    # -v prints them too; with several workers also what records started before the failure did.
    run_capture "$PROPAGATE" -v repo base-run
    expect_eq "status of -v" 1 "$status"
    expect_eq "error of -v" "Error: ${message//@BASE@/base-run}"$'\n' "$err"
    [[ $out == "$dry"* ]] || fail "lines of -v: expected [$dry] first, got [$out]"
  }
  mkdir base
  check_both "${table/file bin\/tool bin staff/file bin/tool nosuchuser staff}" \
    "User nosuchuser not found, please reinstall Velmira"
  check_both "${table/dir bin root staff/dir bin root nosuchgroup}" "Group nosuchgroup not found, please reinstall Velmira"
  check_both "${table/ 0104755 tool / 0104755 missing }" "fopen(repo/missing): No such file or directory"
  check_both "${table/dir etc root/dier etc root}" "Parse error in line 2: Invalid token"
  # What the disk and the earlier records tell: a parent that no record makes, a directory where a link
  # belongs, a file where a directory belongs (left alone, so the file below it fails).
  check_both "${table/dir etc\/deep root root $T0 0700 n/}" "fopen(@BASE@/etc/deep/plugin): No such file or directory"
  mkdir -p base/etc/current
  check_both "$table" "Cannot create symlink @BASE@/etc/current: File exists"
  rm -r base/etc && mkdir base/etc && printf 'a file\n' >base/etc/deep
  check_both "$table" "fopen(@BASE@/etc/deep/plugin): Not a directory"
  expect_attrs base-run/etc/deep "regular file 644 root root"
  rm -r base/etc
  # A kept file that exists, differs from the record and has no old table to say whether it was edited.
  mkdir -p base/etc && printf 'edited\n' >"base/etc/app name.conf"
  check_both "$table" "Cannot find etc/app name.conf in old table, possible corruption"
}

test_directory_times_are_set_after_the_files() {
  require_root || return $SKIP
  make_product
  mkdir -p base/var
  touch -d @$T1 base/var
  expect_run 0 "" "" "$PROPAGATE" -j 1 repo base
  for dir in etc etc/deep bin; do
    expect_mtime base/$dir $T0
  done
  # A directory that its record keeps as it was is left alone, times included (a file was copied into it).
  [ "$(stat -c %Y base/var)" != $T0 ] || fail "the kept directory got the table's time"
}

test_one_run_at_a_time() {
  require_root || return $SKIP
  command -v flock >/dev/null || return $SKIP
  make_product
  expect_run 0 "" "" "$PROPAGATE" repo base
  local before
  before=$(full_snapshot base)
  flock -F -x base sleep 30 &
  local holder=$!
  sleep 0.5
  expect_run 1 "" $'Error: Cannot lock base/: another run of propagate is using it\n' "$PROPAGATE" repo base
  expect_run 1 "" $'Error: Cannot lock base/: another run of propagate is using it\n' "$PROPAGATE" -n repo base
  expect_eq "tree after a locked-out run" "$before" "$(full_snapshot base)"
  kill $holder
  wait $holder 2>/dev/null
  # Forms that only read share the lock with each other, and not with a run.
  flock -F -s base sleep 30 &
  holder=$!
  sleep 0.5
  run_capture "$PROPAGATE" -n repo base
  expect_eq "dry run beside a reader" 0 "$status"
  expect_run 1 "" $'Error: Cannot lock base/: another run of propagate is using it\n' "$PROPAGATE" repo base
  kill $holder
  wait $holder 2>/dev/null
  # A killed holder leaves no lock behind.
  expect_run 0 "" "" "$PROPAGATE" repo base
}

test_zero_bytes_in_a_record_stop_the_run() {
  require_root || return $SKIP
  mkdir -p repo base/etc
  printf 'root:x:0:0\n' >base/etc/passwd
  printf 'evil\n' >repo/evil
  local passwd_before
  passwd_before=$(full_snapshot base)
  local d
  d=$(digest repo/evil)
  for record in "file etc/passwd+00.bak root root $T0 0100644 evil $d 0 n" \
    "symlink etc/link root root $T0 passwd+00x" \
    "dir etc/sub+00 root root $T0 0755 n"; do
    printf 'table 1 - files.txt root root 0644\ndir etc root root %s 0755 n\n%s\nend\n' $T0 "$record" >repo/files.txt
    expect_run 1 "" $'Error: Parse error in line 3: Zero byte in a field\n' "$PROPAGATE" repo base
    expect_eq "passwd" "root:x:0:0" "$(cat base/etc/passwd)"
    [ -e base/files.txt ] && fail "a table was installed"
  done
  # A raw zero byte in a field that is not escaped: the source here.
  printf 'table 1 - files.txt root root 0644\nfile etc/x root root 0 0100644 ev\0il %s 0 n\nend\n' "$d" >repo/files.txt
  expect_run 1 "" $'Error: Parse error in line 2: Zero byte in a field\n' "$PROPAGATE" repo base
  # An old table that holds such a record still loads: the record matches no name.
  printf 'table 1 - files.txt root root 0644\nfile etc/passwd+00 root root 0 0100644 evil %s 0 y\nend\n' "$d" >base/files.txt
  printf 'table 1 - files.txt root root 0644\nfile etc/x root root 0 0100644 evil %s 0 n\nend\n' "$d" >repo/files.txt
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "passwd" "root:x:0:0" "$(cat base/etc/passwd)"
}

test_a_copy_gets_its_attributes_before_its_name() {
  require_root || return $SKIP
  command -v strace >/dev/null || return $SKIP
  make_product
  # LeakSanitizer, in a sanitizer build, cannot work under ptrace.
  traced -f -qq -e trace=fchown,fchmod,utimensat,renameat,renameat2,rename,chmod,fchmodat,lchown,chown \
    -o trace.txt "$PROPAGATE" -j 1 repo base || fail "the traced run failed"
  # For bin/tool: owner, then mode, then times on the open file, then the rename; nothing on the path after.
  local calls
  calls=$(grep -v 'resumed\|exited' trace.txt | sed 's/^[0-9]* *//' | awk -F'(' '
    /"tool"/ { print $1 "(tool)"; next } { print $1 }' | grep -B3 'renameat2\?(tool)' | tr '\n' ' ')
  expect_eq "calls before the renames of bin/tool and var/tool" \
    "fchown fchmod utimensat renameat(tool) fchown fchmod utimensat renameat(tool) " "$calls"
  grep -E '^[0-9]* *(chmod|fchmodat|lchown|chown|utimensat)\(AT_FDCWD, "base/bin/tool"' trace.txt &&
    fail "attributes set on the path after the rename"
  expect_attrs base/bin/tool "regular file 4755 bin staff"
}

test_several_jobs_leave_what_one_leaves() {
  require_root || return $SKIP
  mkdir -p repo
  local i records=""
  for i in $(seq 1 300); do
    printf 'content %s\n' $((i % 37)) >repo/f$i
  done
  {
    echo "dir a root root $T0 0755 n"
    for i in $(seq 1 300); do
      echo "dir a/d$((i % 10)) root root $T0 0755 n"
      echo "file a/d$((i % 10))/f$i root root $((T0 + i)) 0100644 f$i @DIGEST(f$i) 0 $([ $((i % 3)) == 0 ] && echo y || echo n)"
      [ $((i % 50)) == 0 ] && echo "file a/d$((i % 10))/f$i root root $((T0 + i)) 0100600 f$i @DIGEST(f$i) 0 n"
      [ $((i % 7)) == 0 ] && echo "symlink a/d$((i % 10))/l$i root root $T0 f$i"
    done
  } | write_table repo
  local one many
  run_capture "$PROPAGATE" -v -j 1 repo one
  expect_eq "status -j 1" 0 "$status"
  one=$out
  run_capture "$PROPAGATE" -v -j 4 repo many
  expect_eq "status -j 4" 0 "$status"
  expect_eq "lines of -j 4" "$one" "$out"
  expect_eq "trees" "$(full_snapshot one trees)" "$(full_snapshot many trees)"
  run_capture "$PROPAGATE" -v -j 1 repo one
  one=$out
  run_capture "$PROPAGATE" -v -j 4 repo many
  expect_eq "second run, lines" "$one" "$out"
  expect_eq "second run, tree" "$(full_snapshot one trees)" "$(full_snapshot many trees)"
  # A failure: the earliest failing record in table order is reported, and no table installed.
  sed -i 's/^file a\/d5\/f5 root/file a\/d5\/f5 nosuchuser/; s/^file a\/d9\/f99 root/file a\/d9\/f99 nosuchuser2/' repo/files.txt
  rm -rf many
  expect_run 1 "" $'Error: User nosuchuser not found, please reinstall Velmira\n' "$PROPAGATE" -j 4 repo many
  [ -e many/files.txt ] && fail "a failed parallel run installed its table"
}

# Records that reach one file under two spellings, through a link, leave what a one-thread run leaves; a
# record through a link that an earlier record replaced meets what a one-thread run meets.
test_spellings_through_links_at_several_jobs() {
  require_root || return $SKIP
  mkdir -p repo
  printf 'first\n' >repo/a
  printf 'second\n' >repo/b
  {
    echo "dir d root root $T0 0755 n"
    echo "symlink L root root $T0 d"
    for i in $(seq 1 50); do echo "file d/x$i root root $T0 0100644 a @DIGEST(a) 0 n"; done
    for i in $(seq 1 50); do echo "file L/x$i root root $T0 0100644 b @DIGEST(b) 0 n"; done
  } | write_table repo
  local jobs
  for jobs in 1 4; do
    expect_run 0 "" "" "$PROPAGATE" -j $jobs repo base$jobs
    expect_eq "contents at -j $jobs" "50 second" "$(cat base$jobs/d/x* | sort | uniq -c | xargs)"
  done
  write_table repo <<EOT
dir T root root $T0 0755 n
symlink l root root $T0 T
symlink x root root $T0 l
file x/f0 root root $T0 0100644 a @DIGEST(a) 0 n
file l root root $T0 0100644 b @DIGEST(b) 0 n
file x/f1 root root $T0 0100644 a @DIGEST(a) 0 n
EOT
  for jobs in 1 4; do
    expect_run 1 "" "Error: fopen(link$jobs/x/f1): Not a directory"$'\n' "$PROPAGATE" -j $jobs repo link$jobs
    expect_eq "what reached T at -j $jobs" "f0" "$(ls link$jobs/T)"
  done
}

test_file_records_overlap_on_several_workers() {
  require_root || return $SKIP
  command -v strace >/dev/null || return $SKIP
  [ "${PROPAGATE_JOBS:-}" == 1 ] && return $SKIP
  mkdir -p repo
  head -c 50000000 /dev/zero >repo/big1
  head -c 50000000 /dev/zero | tr '\0' x >repo/big2
  write_table repo <<EOT
file big1 root root $T0 0100644 big1 @DIGEST(big1) 0 n
file big2 root root $T0 0100644 big2 @DIGEST(big2) 0 n
EOT
  traced -f -qq -e trace=openat,renameat -o trace.txt "$PROPAGATE" -j 2 repo base || fail "the traced run failed"
  # The second file's source is opened before the first file is renamed into place: both were in progress.
  local open2 rename1
  open2=$(grep -n '"repo/big2"' trace.txt | head -n 1 | cut -d: -f1)
  rename1=$(grep -n 'renameat(.*"big1"' trace.txt | head -n 1 | cut -d: -f1)
  [ -n "$open2" ] && [ -n "$rename1" ] && [ "$open2" -lt "$rename1" ] ||
    fail "the two files were copied one after the other: $(grep -n 'big' trace.txt)"
  cmp -s repo/big2 base/big2 || fail "big2 differs"
}

test_dry_run_follows_its_own_earlier_records() {
  require_root || return $SKIP
  mkdir -p repo
  printf 'a\n' >repo/a
  write_table repo <<EOT
dir d root root $T0 0755 n
dir d root root $T0 0755 n
symlink l root root $T0 t
symlink l root root $T0 t
dir etc root root $T0 0755 n
file etc/a root root $T0 0100644 a @DIGEST(a) 0 n
EOT
  sed -i 's/^table 1 - files.txt root root 0644$/table 1 - etc\/files.txt root root 0644/' repo/files.txt
  local lines=$'mkdir d\nlink l\nmkdir etc\ncopy etc/a\ntable etc/files.txt\n'
  expect_run 0 "$lines" "" "$PROPAGATE" -n repo base
  expect_run 0 "$lines" "" "$PROPAGATE" -v repo base
  # The table's own directory keeps its time too, although the table was renamed into it last.
  expect_mtime base/etc $T0
  expect_run 0 "" "" "$PROPAGATE" --verify --table etc/files.txt base
  # An unknown owner of the table itself is known before anything is done.
  sed -i 's/^table 1 - etc\/files.txt root root 0644$/table 1 - etc\/files.txt nosuchuser root 0644/' repo/files.txt
  run_capture "$PROPAGATE" -n repo base
  expect_eq "status of -n" 1 "$status"
  expect_eq "error of -n" $'Error: User nosuchuser not found, please reinstall Velmira\n' "$err"
}

test_a_run_without_threads_to_spare_still_works() {
  require_root || return $SKIP
  command -v setpriv >/dev/null || return $SKIP
  make_product
  chmod 755 "$WORK" "$T" && chmod -R a+rX repo
  # A process limit that leaves no thread to start: the records run on the main thread instead.
  local real=$PROPAGATE
  [ -n "${PROPAGATE_JOBS:-}" ] && real=$(sed -n 's/^exec "\([^"]*\)".*/\1/p' "$PROPAGATE")
  chmod a+rx "$WORK/propagate-jobs" 2>/dev/null
  # LeakSanitizer, in a sanitizer build, needs a thread of its own.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" run_capture setpriv --reuid=nobody --regid=nogroup \
    --clear-groups bash -c 'ulimit -u 1; exec "$0" -n -j 4 repo base' "$real"
  expect_eq "status" 0 "$status"
  expect_eq "lines" "$FIRST_INSTALL" "$out"
  expect_eq "errors" "" "$err"
}

run_tests
