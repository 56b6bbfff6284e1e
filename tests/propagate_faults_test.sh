#!/usr/bin/env bash
# Faults end to end: a full disk at every point that writes, a read-only base directory, runs killed at
# random moments, and broken inputs. Each time: the exact message, the destination and the previous
# table intact, no temporary file left, and a rerun that completes once the cause is gone.
# As root the whole script runs in a private mount namespace, where its cases mount small file systems.
if [ "$(id -u)" == 0 ] && [ -z "${PRIVATE_MOUNTS:-}" ]; then
  PRIVATE_MOUNTS=1 exec unshare -m bash "$0" "$@"
fi
[ -n "${PRIVATE_MOUNTS:-}" ] && mount --make-rprivate /
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

T0=1700000000

# Temporary files of a copy carry this mark in their names.
TEMPORARY_MARK=.propagate-

expect_no_temporary() {
  local left
  left=$(find "$1" -name "*$TEMPORARY_MARK*")
  [ -z "$left" ] || fail "temporary files left: $left"
}

# Mounts a tmpfs of $1 kilobytes at ./disk, unmounted when the case's shell exits.
small_disk() {
  mkdir -p disk
  mount -t tmpfs -o size="$1"k tmpfs disk || fail "cannot mount a tmpfs"
  trap 'umount -l "$T/disk"' EXIT
}

# Fills the file system of directory $1 until fewer than $2 kilobytes are free.
fill_disk() {
  local free
  free=$(df -k --output=avail "$1" | tail -n 1)
  if [ "$free" -gt "$2" ]; then
    head -c $(((free - $2) * 1024)) /dev/zero >"$1/filler" 2>/dev/null
  fi
}

# A repository with a small file, a file that keeps local changes, and a 200 KB file.
make_repo() {
  mkdir -p repo
  printf 'small\n' >repo/small
  printf 'conf v1\n' >repo/conf
  head -c 200000 /dev/urandom >repo/big
  write_table repo <<EOT
dir d root root $T0 0755 n
file d/small root root $T0 0100644 small @DIGEST(small) 0 n
file d/conf root root $T0 0100644 conf @DIGEST(conf) 0 y
file d/big root root $T0 0100644 big @DIGEST(big) 0 n
EOT
}

# The full-disk scenario on a 1 MB disk: install v1, then upgrade to v2 with $1 ("new",
# "replaced", "kept" or "table") not fitting on the disk.
full_disk_case() {
  local where=$1 base=disk/base
  make_repo
  small_disk 1024
  expect_run 0 "" "" "$PROPAGATE" repo $base
  local before_table before_tree
  before_table=$(cat $base/files.txt)
  case $where in
    new)
      head -c 400000 /dev/urandom >repo/extra
      sed -i '/^end$/d' repo/files.txt
      echo "file d/extra root root $T0 0100644 extra $(digest repo/extra) 0 n" >>repo/files.txt
      echo end >>repo/files.txt
      ;;
    replaced) head -c 200000 /dev/urandom >repo/big ;;
    kept) head -c 200000 /dev/urandom >repo/conf ;;
    table) printf '# lines before the table record are skipped %.0s\n' $(seq 1 12000) | cat - repo/files.txt >repo/t && mv repo/t repo/files.txt ;;
  esac
  sed -i "s/ conf [0-9A-F]\{32\} / conf $(digest repo/conf) /; s/ big [0-9A-F]\{32\} / big $(digest repo/big) /" repo/files.txt
  before_tree=$(snapshot $base)
  # Room for the copy of big (200 KB), but not for a 400 KB file or a 560 KB table.
  local room=300
  case $where in replaced|kept) room=100 ;; esac
  fill_disk disk $room
  local target=d/big
  case $where in new) target=d/extra ;; kept) target=d/conf ;; table) target=files.txt ;; esac
  # Copies that run at once race for the room left, and any of them may find the disk full first: one
  # worker makes the failing record certain, more leave it to timing. Every other outcome is the same.
  if [ "${PROPAGATE_JOBS:-}" == 1 ] || [ $where == table ]; then
    expect_run 1 "" "Error: fwrite($base/$target): Write error, disk full?"$'\n' "$PROPAGATE" repo $base
  else
    run_capture "$PROPAGATE" repo $base
    expect_eq "status of the run" 1 "$status"
    expect_eq "stdout of the run" "" "$out"
    [[ $err =~ ^Error:\ fwrite\($base/d/(small|conf|big|extra)\):\ Write\ error,\ disk\ full\?$'\n'$ ]] ||
      fail "stderr of the run: expected a full disk at a file of d, got [$err]"
  fi
  expect_eq "previous table" "$before_table" "$(cat $base/files.txt)"
  [ "$where" == table ] || expect_eq "tree" "$before_tree" "$(snapshot $base)"
  expect_no_temporary $base
  rm disk/filler
  expect_run 0 "" "" "$PROPAGATE" repo $base
  cmp -s repo/files.txt $base/files.txt || fail "table not installed after space was freed"
  local file
  for file in small conf big; do
    cmp -s repo/$file $base/d/$file || fail "d/$file differs from the repository after the rerun"
  done
  expect_mtime $base/d/conf $T0
}
test_full_disk_new_file() {
  require_root || return $SKIP
  full_disk_case new
}
test_full_disk_replaced_file() {
  require_root || return $SKIP
  full_disk_case replaced
}
test_full_disk_kept_file() {
  require_root || return $SKIP
  full_disk_case kept
}
test_full_disk_table() {
  require_root || return $SKIP
  full_disk_case table
}

test_read_only_base() {
  require_root || return $SKIP
  make_repo
  expect_run 0 "" "" "$PROPAGATE" repo base
  printf 'small v2\n' >repo/small
  sed -i "s/ small [0-9A-F]\{32\} / small $(digest repo/small) /" repo/files.txt
  local before
  before=$(snapshot base)
  mount --bind base base && mount -o remount,ro,bind base || fail "cannot make base read-only"
  # The directory already has its attributes, so the first step that writes is the copy of its first file.
  expect_run 1 "" $'Error: fopen(base/d/small): Read-only file system\n' "$PROPAGATE" repo base
  umount base
  expect_eq "tree" "$before" "$(snapshot base)"
}

test_broken_inputs_keep_the_previous_table() {
  require_root || return $SKIP
  make_repo
  expect_run 0 "" "" "$PROPAGATE" repo base
  local table
  table=$(cat base/files.txt)
  cp -a repo repo-good
  # A user that does not exist in the middle of the table: the records before it are applied.
  printf 'small v2\n' >repo/small
  sed -i "s/ small [0-9A-F]\{32\} / small $(digest repo/small) /" repo/files.txt
  sed -i "s/^file d.conf root root/file d\/conf nobody-here root/" repo/files.txt
  expect_run 1 "" $'Error: User nobody-here not found, please reinstall Velmira\n' "$PROPAGATE" repo base
  expect_eq "record before applied" "small v2" "$(cat base/d/small)"
  expect_eq "previous table" "$table" "$(cat base/files.txt)"
  # A source that vanished, of a file that the run must copy.
  rm -rf repo && cp -a repo-good repo && rm repo/big
  echo local >>base/d/big
  expect_run 1 "" $'Error: fopen(repo/big): No such file or directory\n' "$PROPAGATE" repo base
  expect_eq "previous table" "$table" "$(cat base/files.txt)"
  # An unreadable table: a directory in its place.
  rm -rf repo && mkdir -p repo/files.txt
  expect_run 1 "" $'Error: repo/files.txt: Cannot mmap: No such device\n' "$PROPAGATE" repo base
  # A table cut in the middle of a record.
  rm -rf repo && cp -a repo-good repo
  head -c 150 repo-good/files.txt >repo/files.txt
  expect_run 1 "" $'Error: Parse error in line 3: Invalid token count (8 ne 10)\n' "$PROPAGATE" repo base
  expect_eq "previous table" "$table" "$(cat base/files.txt)"
  expect_no_temporary base
}

# A damaged repository: content that does not have its record's control sum is never installed, by a run
# at any number of jobs or by a dry run, and the previous installation and table stay.
test_damaged_content_is_refused() {
  require_root || return $SKIP
  make_repo
  expect_run 0 "" "" "$PROPAGATE" repo base
  # The installed file differs from its record, so that every run must copy it.
  echo local >>base/d/big
  local before_table before_tree damage sum
  before_table=$(cat base/files.txt)
  before_tree=$(snapshot base)
  cp -a repo good
  for damage in appended truncated swapped; do
    rm -rf repo && cp -a good repo
    case $damage in
      appended) echo extra >>repo/big ;;
      truncated) truncate -s 1000 repo/big ;;
      swapped) cp repo/small repo/big ;;
    esac
    sum=$(digest repo/big)
    local line="Error: repo/big: The content's control sum is $sum, the table gives $(digest good/big)"$'\n'
    expect_run 1 "" "$line" "$PROPAGATE" repo base
    expect_eq "tree after $damage" "$before_tree" "$(snapshot base)"
    expect_eq "table after $damage" "$before_table" "$(cat base/files.txt)"
    run_capture "$PROPAGATE" -n repo base
    expect_eq "dry run of $damage" "1:$line" "$status:$err"
    # A first installation as well.
    expect_run 1 "" "${line//base/first}" "$PROPAGATE" repo first
    [ -e first/files.txt ] && fail "a table was installed in a first installation of $damage"
    rm -rf first
  done
  expect_no_temporary base
}

# A directory of the installation moved to another file system and replaced by a link: its files are
# flushed before the table that vouches for them, like those of the base directory's file system.
test_every_file_system_written_is_flushed() {
  require_root || return $SKIP
  command -v strace >/dev/null || { echo "SKIP [$current_test]: no strace"; return $SKIP; }
  make_repo
  small_disk 4096
  mkdir -p base disk/d
  ln -s "$T/disk/d" base/d
  traced -f -y -e trace=syncfs -o trace "$PROPAGATE" repo base || fail "the run failed"
  expect_eq "file systems flushed" "$T/base $T/disk/d" \
    "$(sed -n 's/.*syncfs([0-9]*<\([^>]*\)>) = 0$/\1/p' trace | sort -u | xargs)"
}

# SIGTERM, SIGINT and SIGHUP while a copy is under way: its temporary file goes, one line names the
# signal, the tree and the previous table stay. A completed run then clears what killed runs left in the
# directories it copies into, and nothing else.
test_signals_and_stale_temporaries() {
  require_root || return $SKIP
  command -v strace >/dev/null || { echo "SKIP [$current_test]: no strace"; return $SKIP; }
  make_repo
  expect_run 0 "" "" "$PROPAGATE" repo base
  head -c 200000 /dev/urandom >repo/big
  sed -i "s/ big [0-9A-F]\{32\} / big $(digest repo/big) /" repo/files.txt
  local before_table before_tree signal pid i
  before_table=$(cat base/files.txt)
  before_tree=$(snapshot base)
  for signal in TERM INT HUP; do
    # Every worker's first copy stalls once its temporary file exists, and the signal comes meanwhile.
    # Perl restores SIGINT, which the shell ignores in what it starts in the background.
    perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' strace -D -f -o /dev/null \
      -e inject=fchown:delay_enter=3s:when=1 sh -c 'exec "$0" repo base >out 2>err' "$PROPAGATE" 2>/dev/null &
    pid=$!
    for i in $(seq 1 100); do
      [ -n "$(find base -name "*$TEMPORARY_MARK*")" ] && break
      sleep 0.05
    done
    kill -$signal $pid
    wait $pid
    expect_eq "status after SIG$signal" 1 "$?"
    expect_eq "stderr after SIG$signal" "Error: Interrupted by SIG$signal" "$(cat err)"
    expect_eq "previous table" "$before_table" "$(cat base/files.txt)"
    expect_eq "tree after SIG$signal" "$before_tree" "$(snapshot base)"
  done
  mkdir base/untouched
  printf 'killed\n' >base/d/.big.propagate-Stale1
  printf 'elsewhere\n' >base/untouched/.big.propagate-Stale2
  printf 'user data\n' >base/d/big.propagate-notours
  expect_run 0 "" "" "$PROPAGATE" repo base
  expect_eq "what is left" "base/d/big.propagate-notours base/untouched/.big.propagate-Stale2" \
    "$(find base -name "*propagate-*" | sort | xargs)"
}

# Runs propagate over a large tree and kills it with SIGKILL at random moments, each time followed by a
# run to completion. CRASH_POINTS sets how many (at least 50 in CI; more by hand).
test_killed_runs_recover() {
  require_root || return $SKIP
  local points=${CRASH_POINTS:-50} files=${CRASH_FILES:-1500} i pid
  # On a tmpfs the flush before the table costs nothing, so the kills land among the copies.
  small_disk 262144
  cd disk || return 1
  mkdir -p repo outside
  printf 'outside\n' >outside/file
  # write_files FIRST STEP LAST SEED: new random content for repo/fN, N from FIRST by STEP up to LAST.
  write_files() {
    perl -e 'my ($first, $step, $last, $seed) = @ARGV; srand($seed);
      for (my $i = $first; $i <= $last; $i += $step) {
        open(my $f, ">", "repo/f$i") or die "repo/f$i: $!";
        print $f pack("C*", map { int(rand(256)) } 1 .. (($i * 37 + $seed) % 9000));
        close($f) or die "repo/f$i: $!";
      }' "$@"
  }
  write_files 1 1 "$files" 0
  # Every tenth file keeps local changes; all live in twenty directories.
  make_records() {
    echo "dir d root root $T0 0755 n"
    for i in $(seq 1 20); do echo "dir d/$i root root $T0 0755 n"; done
    (cd repo && md5sum f[0-9]*) | awk -v t=$T0 '{
      n = substr($2, 2); keep = (n % 10 == 0) ? "y" : "n"
      printf "file d/%d/%s bin staff %d 0100640 %s %s 0 %s\n", n % 20 + 1, $2, t, $2, toupper($1), keep }'
    echo "symlink d/link root root 0 1/f1"
  }
  make_records | write_table repo
  # A first installation killed part-way must complete when it is run again.
  "$PROPAGATE" repo base 2>/dev/null &
  pid=$!
  sleep 0.1
  kill -KILL $pid 2>/dev/null
  wait $pid 2>/dev/null
  expect_run 0 "" "" "$PROPAGATE" repo base
  for i in 10 500 1000; do echo "local edit $i" >base/d/$((i % 20 + 1))/f$i; done
  local outside_before start end duration_ms point
  outside_before=$(cd outside && find . -printf '%p %m %u %g %T@ %s\n')
  start=$(date +%s%N)
  "$PROPAGATE" repo base
  end=$(date +%s%N)
  duration_ms=$(((end - start) / 1000000 + 1))

  for point in $(seq 1 "$points"); do
    # Every other round upgrades some content, so that kills land in the middle of real replacements.
    if [ $((point % 2)) == 0 ]; then
      write_files $((point % 7 + 1)) 13 "$files" "$point"
      make_records | write_table repo
    fi
    "$PROPAGATE" repo base 2>/dev/null &
    pid=$!
    sleep "$(awk -v r=$RANDOM -v d=$duration_ms 'BEGIN { printf "%.3f", r / 32768 * d / 1000 }')"
    kill -KILL $pid 2>/dev/null
    wait $pid 2>/dev/null
    run_capture "$PROPAGATE" repo base
    expect_eq "rerun after kill $point" "0:" "$status:$err"
  done

  cmp -s repo/files.txt base/files.txt || fail "final table differs"
  # Every file has the repository's content, except the three local edits, which are kept.
  local expected actual
  expected=$( (cd repo && md5sum f[0-9]*) | awk '$2 != "f10" && $2 != "f500" && $2 != "f1000" { print $2, $1 }' | sort)
  actual=$( (cd base/d && find . -type f -name 'f[0-9]*' ! -name "*$TEMPORARY_MARK*" -exec md5sum {} +) |
    awk '{ n = split($2, part, "/"); if (part[n] != "f10" && part[n] != "f500" && part[n] != "f1000") print part[n], $1 }' | sort)
  expect_eq "contents" "$expected" "$actual"
  for i in 10 500 1000; do expect_eq "local edit of f$i" "local edit $i" "$(cat base/d/$((i % 20 + 1))/f$i)"; done
  local attributes
  attributes=$(cd base/d && find . -type f -name 'f*' ! -name "*$TEMPORARY_MARK*" ! -name f10 ! -name f500 ! -name f1000 -printf '%m %u %g %T@\n' | sort | uniq -c)
  expect_eq "attributes of every file" "   $((files - 3)) 640 bin staff $T0.0000000000" "$attributes"
  expect_eq "link" "1/f1" "$(readlink base/d/link)"
  expect_eq "outside" "$outside_before" "$(cd outside && find . -printf '%p %m %u %g %T@ %s\n')"
  # What killed runs left, the completed run after them cleared away.
  local stray
  stray=$(cd base && find . -type f ! -name 'f*' ! -name files.txt)
  [ -z "$stray" ] || fail "unexpected files: $stray"
  expect_no_temporary base
}

run_tests
