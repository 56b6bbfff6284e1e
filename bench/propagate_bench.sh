#!/usr/bin/env bash
# Measures propagate against the standard tools on the same data, in one run, and prints one line per
# figure: the tool, minimum and median seconds of several runs taken in turns, and the ratios, each with
# its target.
#
#   bench/propagate_bench.sh [--tiny] [--runs N] [--dir DIR] [--propagate PATH] [--ext4-image]
#
# Needs root (propagate sets owners), md5sum, cp, rsync, sync, strace, taskset and GNU time
# (/usr/bin/time); nginx for the runs from a mirror on 127.0.0.1, which are skipped without it.
# The data is built deterministically under DIR (default /tmp/propagate-bench) and removed at the end.
# With --ext4-image the whole-run figures are taken on a fresh ext4 file system with a journal, made in
# an image file under DIR and loop-mounted (needs mkfs.ext4): the file system under DIR decides much of
# those figures (an ext4 without a journal but mounted with discard, for one, discards the blocks of
# every replaced file synchronously, in the renaming process), and the line "file system:" says which
# one was measured. The targets of the whole runs hold on such a fresh journaled ext4; elsewhere their
# figures are for information, and at --tiny size no target is judged.
# Full size needs about 4 GB of disk: a 1 GiB file, two versions of a 20,000-file tree of about 400 MB
# (a third shares most of its files with the first), their repositories, installations and copies, and
# a 200,000-record tree of small files.
set -euo pipefail

tiny=0
runs=5
dir=/tmp/propagate-bench
propagate=$(dirname "$0")/../build/propagate/propagate
ext4_image=0
while [ $# -gt 0 ]; do
  case $1 in
    --tiny) tiny=1; runs=2 ;;
    --runs) runs=$2; shift ;;
    --dir) dir=$2; shift ;;
    --propagate) propagate=$2; shift ;;
    --ext4-image) ext4_image=1 ;;
    *) echo "usage: $0 [--tiny] [--runs N] [--dir DIR] [--propagate PATH] [--ext4-image]" >&2; exit 2 ;;
  esac
  shift
done
propagate=$(realpath "$propagate")
source_dir=$(realpath "$(dirname "$0")/..")

if [ $tiny == 1 ]; then
  md5_mib=8 tree_files=200 tree_kib=20 small_records=200 large_records=2000
else
  md5_mib=1024 tree_files=20000 tree_kib=20 small_records=20000 large_records=200000
fi
# propagate's own default: the CPUs this process may run on (nproc reads the same affinity), at most 16.
cpus=$(nproc)
default_jobs=$((cpus < 16 ? cpus : 16))

rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
# The mirror's server goes first: its files are under the image that is unmounted next.
trap 'cd / && { [ -z "${MIRROR_PID:-}" ] || mirror_stop; } && { ! mountpoint -q "$dir/fs" || umount "$dir/fs"; } && rm -rf "$dir"' EXIT

T0=1700000000

# Seconds since the epoch with nanoseconds.
now() { date +%s.%N; }

# time_runs NAME SETUP COMMAND: runs SETUP (untimed) then COMMAND, $runs times; prints the figure line
# and leaves the minimum in $min and the median in $median. The line also gives the median of the CPU
# time (user and system, all processes of the command), which tells work apart from waiting.
time_runs() {
  local name=$1 setup=$2 command=$3 i start end times=() cpus=() cpu
  for i in $(seq 1 "$runs"); do
    eval "$setup"
    start=$(now)
    /usr/bin/time -f '%U %S' -o "$dir/cpu" bash -c "$command"
    end=$(now)
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')")
    cpus+=("$(awk '{ printf "%.2f", $1 + $2 }' "$dir/cpu")")
  done
  min=$(printf '%s\n' "${times[@]}" | sort -g | head -n 1)
  median=$(printf '%s\n' "${times[@]}" | sort -g | median_of)
  cpu=$(printf '%s\n' "${cpus[@]}" | sort -g | median_of)
  printf '%-44s min %8.3f s  median %8.3f s  cpu median %7.2f s\n' "$name" "$min" "$median" "$cpu"
}

# The median of the sorted numbers on standard input.
median_of() { awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# time_turns NAME SETUP COMMAND [NAME SETUP COMMAND]...: like time_runs for several commands run in turns,
# each after its SETUP (untimed), so that whatever else the machine does weighs on all of them alike;
# prints one figure line each, in the order given, and leaves the minimums and medians in $turn_min and
# $turn_median, indexed from 0 in the same order.
time_turns() {
  local names=() setups=() commands=() i k start end
  while [ $# -gt 0 ]; do
    names+=("$1") setups+=("$2") commands+=("$3")
    shift 3
  done
  turn_min=() turn_median=()
  rm -f "$dir"/turns.*
  for i in $(seq 1 "$runs"); do
    for k in "${!commands[@]}"; do
      eval "${setups[$k]}"
      start=$(now)
      /usr/bin/time -f '%U %S' -o "$dir/cpu" bash -c "${commands[$k]}"
      end=$(now)
      awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }' >>"$dir/turns.times$k"
      awk '{ printf "%.2f\n", $1 + $2 }' "$dir/cpu" >>"$dir/turns.cpus$k"
    done
  done
  for k in "${!commands[@]}"; do
    turn_min[k]=$(sort -g "$dir/turns.times$k" | head -n 1)
    turn_median[k]=$(sort -g "$dir/turns.times$k" | median_of)
    printf '%-44s min %8.3f s  median %8.3f s  cpu median %7.2f s\n' "${names[$k]}" "${turn_min[k]}" \
      "${turn_median[k]}" "$(sort -g "$dir/turns.cpus$k" | median_of)"
  done
}

# time_interleaved NAME_A COMMAND_A NAME_B COMMAND_B: time_turns for two commands without setup; leaves the
# minimums and medians in $min_a, $median_a, $min_b and $median_b.
time_interleaved() {
  time_turns "$1" ":" "$2" "$3" ":" "$4"
  min_a=${turn_min[0]} median_a=${turn_median[0]} min_b=${turn_min[1]} median_b=${turn_median[1]}
}

# target_note TARGET SCOPE VALUE...: " target TARGET: verdict" for figures as printed (two decimals), nothing
# without TARGET ("<= 12", ">= 1.33"), and " no target, for information" for TARGET "none". The verdict is "met" when every VALUE meets it; a target of SCOPE
# whole-run holds on a fresh journaled ext4 only, and no target is judged at --tiny size.
target_note() {
  local target=$1 scope=$2
  shift 2
  [ -n "$target" ] || return 0
  if [ "$target" == none ]; then
    echo " no target, for information"
  elif [ $tiny == 1 ]; then
    echo " target $target: not judged at tiny size"
  elif [ "$scope" == whole-run ] && [ $ext4_image == 0 ]; then
    echo " target $target: for information, not a fresh journaled ext4"
  else
    awk -v target="$target" 'BEGIN {
      limit = substr(target, 3) + 0
      met = 1
      for (i = 1; i < ARGC; ++i)
        if ((target ~ /^>=/) ? ARGV[i] + 0 < limit : ARGV[i] + 0 > limit) met = 0
      printf " target %s: %s\n", target, met ? "met" : "not met" }' "$@"
  fi
}

# ratio NAME NUMERATOR DENOMINATOR [MEDIAN_NUMERATOR MEDIAN_DENOMINATOR [TARGET [SCOPE]]]: the ratio of the
# minimums, and of the medians when given (on a shared machine the two can differ widely), then the target
# that both must meet (see target_note).
ratio() {
  local minimums medians=""
  minimums=$(awk -v a="$2" -v b="$3" 'BEGIN { printf "%.2f", a / b }')
  [ -z "${4:-}" ] || [ -z "${5:-}" ] || medians=$(awk -v a="$4" -v b="$5" 'BEGIN { printf "%.2f", a / b }')
  echo "ratio $1 $minimums${medians:+ (medians $medians)}$(target_note "${6:-}" "${7:-}" "$minimums" $medians)"
}

# turn_ratio NAME NUMERATOR_TURN DENOMINATOR_TURN [TARGET [SCOPE]]: ratio of two turns just timed.
turn_ratio() {
  ratio "$1" "${turn_min[$2]}" "${turn_min[$3]}" "${turn_median[$2]}" "${turn_median[$3]}" "${4:-}" "${5:-}"
}

# count_calls NAME TARGET COMMAND...: runs COMMAND under strace -c -f (every thread and child process) and
# prints its system calls, in total and per file record of the benchmark tree.
count_calls() {
  local name=$1 target=$2 calls per_record
  shift 2
  strace -c -f -o "$dir/strace" "$@" >/dev/null
  calls=$(awk '$NF == "total" { print $4 }' "$dir/strace")
  per_record=$(awk -v a="$calls" -v b="$file_records" 'BEGIN { printf "%.2f", a / b }')
  echo "$name $per_record calls per file record ($calls calls, $file_records records)$(target_note "$target" size "$per_record")"
}

digest() { md5sum <"$1" | cut -c1-32 | tr a-f A-F; }

# make_files DIR COUNT BYTES SEED: COUNT files DIR/dN/fM of BYTES random bytes each, 100 per directory.
make_files() {
  perl -e 'my ($dir, $count, $bytes, $seed) = @ARGV; srand($seed);
    for my $i (0 .. $count - 1) {
      my $sub = "$dir/d" . int($i / 100);
      mkdir $sub unless -d $sub;
      open(my $f, ">", "$sub/f$i") or die "$sub/f$i: $!";
      my $data = "";
      $data .= pack("N", int(rand(4294967296))) for 1 .. int(($bytes + 3) / 4);
      print $f substr($data, 0, $bytes);
      close($f) or die "$sub/f$i: $!";
    }' "$@"
}

# table_for REPO KEEP: a table listing every file under REPO/tree as it lies there, directories first.
table_for() {
  local repo=$1 keep=$2
  {
    echo "table 1 - files.txt root root 0644"
    echo "dir tree root root $T0 0755 n"
    (cd "$repo" && find tree -mindepth 1 -type d | sort) | awk -v t=$T0 '{ print "dir " $1 " root root " t " 0755 n" }'
    (cd "$repo" && find tree -type f -print0 | xargs -0 md5sum) |
      awk -v t=$T0 -v keep=$keep '{ print "file " $2 " root root " t " 0100644 " $2 " " toupper($1) " 0 " keep }'
    echo end
  } >"$repo/files.txt"
}

# make_version FROM TO EVERY BYTE EXTRA TIME: the staged tree TO, as FROM (as make_files leaves it) but
# for every EVERY-th file (f0, fEVERY, ...), whose bytes are XORed with BYTE and followed by EXTRA more
# (its first ones), and whose time is TIME. The files that stay the same are hard links to FROM's, which
# saves writing them: rsync -a and --create read them as any other file. Every directory gets time T0.
make_version() {
  perl -e 'my ($from, $to, $every, $byte, $extra, $time, $t0) = @ARGV;
    mkdir $to or die "$to: $!";
    for (my $d = 0; -d "$from/d$d"; ++$d) {
      mkdir "$to/d$d" or die "$to/d$d: $!";
      for my $i ($d * 100 .. $d * 100 + 99) {
        my ($source, $target) = ("$from/d$d/f$i", "$to/d$d/f$i");
        last unless -e $source;
        if ($i % $every) { link($source, $target) or die "$target: $!"; next }
        open(my $in, "<", $source) or die "$source: $!";
        my $data = do { local $/; <$in> };
        close($in);
        $data = ($data ^ (chr(hex $byte) x length($data))) . substr($data, 0, $extra);
        open(my $out, ">", $target) or die "$target: $!";
        print $out $data;
        close($out) or die "$target: $!";
        chmod(0644, $target) and utime($time, $time, $target) or die "$target: $!";
      }
      chmod(0755, "$to/d$d") and utime($t0, $t0, "$to/d$d") or die "$to/d$d: $!";
    }
    chmod(0755, $to) and utime($t0, $t0, $to) or die "$to: $!";' "$@" $T0
}

echo "propagate benchmark: $([ $tiny == 1 ] && echo tiny || echo full) size, $runs runs each, data in $dir"
echo "machine: $cpus CPUs for this process, propagate's default -j $default_jobs, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# 1. Control sums: a locally changed file that keeps local changes is only hashed.
mkdir -p md5/repo md5/base
head -c $((md5_mib * 1024 * 1024)) /dev/zero | tr '\0' 'v' >md5/base/big
printf 'content of the repository\n' >md5/repo/big
printf 'table 1 - files.txt root root 0644\nfile big root root %s 0100644 big %s 0 y\nend\n' $T0 "$(digest md5/repo/big)" >md5/repo/files.txt
printf 'table 1 - files.txt root root 0644\nfile big root root %s 0100644 big 00000000000000000000000000000000 0 y\nend\n' $T0 >md5/base/files.txt
cat md5/base/big >/dev/null
# MD5 of one stream runs at the speed of this CPU, as md5sum's does: the figure has no target. --checksum,
# or the fingerprint that the first run records would spare the later ones the reading.
time_interleaved "md5 md5sum (${md5_mib} MiB)" "md5sum md5/base/big >/dev/null" \
  "md5 propagate (${md5_mib} MiB)" "\"$propagate\" --checksum md5/repo md5/base"
ratio "md5 md5sum/propagate" "$min_a" "$min_b" "$median_a" "$median_b" none
rm -rf md5

# The whole runs below measure the file system as much as the tools: say which one it is.
describe_file_system() {
  local source fstype options journal=""
  read -r source fstype options < <(findmnt -n -o SOURCE,FSTYPE,OPTIONS -T "$1")
  if [ "$fstype" == ext4 ]; then
    if ls -d /proc/fs/jbd2/"$(basename "$source")"-* >/dev/null 2>&1; then journal=", journal"; else journal=", no journal"; fi
  fi
  echo "file system: $fstype on $source$journal, options $options"
}

if [ $ext4_image == 1 ]; then
  # Room for every copy below, and an inode for each file of both scale trees.
  truncate -s "$([ $tiny == 1 ] && echo 512M || echo 8G)" fs.img
  mkfs.ext4 -q -F -N $((large_records * 3 + 100000)) fs.img
  mkdir fs
  mount -o loop fs.img fs
  cd fs
fi
describe_file_system .
if [ $ext4_image == 1 ]; then
  echo "whole runs (install, upgrades, rerun, verify, checksum, create): on a fresh journaled ext4 image, where their targets are judged"
else
  echo "whole runs (install, upgrades, rerun, verify, checksum, create): for information only, their targets hold on a fresh journaled ext4 (--ext4-image)"
fi

# 2. Whole runs on three versions of a tree of 20,000 files of 20 KiB in 200 directories, staged as an
# installation of each would leave them: v1; v2, where every 100th file has other content, 512 bytes more
# and a later time; v3, where every file has other content and a later time. Each becomes a repository
# by propagate --create (untimed); cp -a, rsync -a and md5sum work from the staged trees. Against cp -a:
# a first installation; against rsync -a: an upgrade of 1% of the files, an upgrade of all of them and a
# rerun with nothing to do; against md5sum -c: a verification and a rerun that reads every file; and a
# repository made from the tree against cp -a plus md5sum.
mkdir -p tree/v1
make_files tree/v1 "$tree_files" $((tree_kib * 1024)) 1
find tree/v1 -type d -exec chmod 0755 {} +
find tree/v1 -type f -exec chmod 0644 {} +
find tree/v1 -exec touch -h -d @$T0 {} +
make_version tree/v1 tree/v2 100 0x5a 512 $((T0 + 86400))
make_version tree/v1 tree/v3 1 0xa5 0 $((T0 + 2 * 86400))
"$propagate" --create --owner root --group root tree/v1 tree/repo1
# v2's unchanged content is v1's, which --create reuses when it finds it in the repository.
cp -al tree/repo1 tree/repo2
"$propagate" --create --owner root --group root tree/v2 tree/repo2
"$propagate" --create --owner root --group root tree/v3 tree/repo3
file_records=$(grep -c '^file ' tree/repo1/files.txt)
changed_records=$(comm -13 <(grep '^file ' tree/repo1/files.txt | sort) <(grep '^file ' tree/repo2/files.txt | sort) | wc -l)
echo "tree: $file_records file records; v2 changes $changed_records of them, v3 all"
sync
time_turns "install cp -a + sync -f" "rm -rf tree/copy; sync" "cp -a tree/v1 tree/copy && sync -f tree/copy" \
  "install propagate -j $default_jobs (default)" "rm -rf tree/base; sync" "\"$propagate\" tree/repo1 tree/base"
turn_ratio "install cp/propagate" 0 1 ">= 1.11" whole-run
# Each upgrade starts from the installation of v1, put back untimed before every turn: rsync's
# destination by rsync -a from v1, propagate's base by a run of v1's repository. A copy would not do for
# propagate: what a run knows of the files it installed is tied to their inodes, so a base restored by
# cp -a or rsync would have every file read and summed again.
mkdir -p tree/synced
rsync -a tree/v1/ tree/synced/
back_to_v1_rsync="rsync -a tree/v1/ tree/synced/ && sync"
back_to_v1_propagate="\"$propagate\" tree/repo1 tree/base && sync"
# The upgrade of 1% at one worker, two and the default shows what each worker gains; the same runs held
# to one CPU show how much of that gain is waiting overlapped rather than work spread over CPUs.
# upgrade_turn NAME COMMAND: adds a turn of propagate to the upgrade's and leaves its index in $turn.
upgrade=("upgrade 1% rsync -a + sync -f" "$back_to_v1_rsync" "rsync -a tree/v2/ tree/synced/ && sync -f tree/synced")
upgrade_turn() {
  turn=$((${#upgrade[@]} / 3))
  upgrade+=("upgrade 1% $1" "$back_to_v1_propagate" "$2")
}
upgrade_turn "propagate -j $default_jobs (default)" "\"$propagate\" tree/repo2 tree/base"
upgrade_turn "propagate -j 1" "\"$propagate\" -j 1 tree/repo2 tree/base"
one_worker=$turn two_workers=1
[ $default_jobs == 2 ] || { upgrade_turn "propagate -j 2" "\"$propagate\" -j 2 tree/repo2 tree/base"; two_workers=$turn; }
if [ "$cpus" -ge 2 ]; then
  one_cpu=$(taskset -cp $$ | sed 's/.*: //; s/[-,].*//')
  upgrade_turn "propagate -j 1, one CPU" "taskset -c $one_cpu \"$propagate\" -j 1 tree/repo2 tree/base"
  one_worker_one_cpu=$turn
  upgrade_turn "propagate -j 2, one CPU" "taskset -c $one_cpu \"$propagate\" -j 2 tree/repo2 tree/base"
  two_workers_one_cpu=$turn
fi
time_turns "${upgrade[@]}"
turn_ratio "upgrade 1% rsync/propagate" 0 1 ">= 2" whole-run
turn_ratio "upgrade 1% -j 1/-j 2" $one_worker $two_workers
[ $default_jobs -le 2 ] || turn_ratio "upgrade 1% -j 1/-j $default_jobs" $one_worker 1
if [ "$cpus" -ge 2 ]; then
  turn_ratio "upgrade 1% -j 1 one CPU/all CPUs" $one_worker_one_cpu $one_worker
  turn_ratio "upgrade 1% -j 2 one CPU/all CPUs" $two_workers_one_cpu $two_workers
fi
time_turns "upgrade all rsync -a + sync -f" "$back_to_v1_rsync" "rsync -a tree/v3/ tree/synced/ && sync -f tree/synced" \
  "upgrade all propagate -j $default_jobs (default)" "$back_to_v1_propagate" "\"$propagate\" tree/repo3 tree/base"
turn_ratio "upgrade all rsync/propagate" 0 1 ">= 1.25" whole-run
# Both tools run again over v3 as they just left it: only looking at each file.
time_turns "rerun rsync -a + sync -f" "sync" "rsync -a tree/v3/ tree/synced/ && sync -f tree/synced" \
  "rerun propagate -j $default_jobs (default)" "sync" "\"$propagate\" tree/repo3 tree/base"
turn_ratio "rerun rsync/propagate" 0 1 ">= 3.33" whole-run
# Verifying the installed tree, and a rerun told to read and sum every installed file, against checking
# the same files with md5sum; status 2 of --verify (differences) still measures the same work. Builds
# without --checksum skip that rerun.
awk '$1 == "file" { print tolower($8) "  " $2 }' tree/repo3/files.txt >tree/md5.list
read_all=("verify md5sum -c" ":" "cd tree/base && md5sum -c --quiet ../md5.list"
  "verify propagate" ":" "\"$propagate\" --verify tree/base >/dev/null || [ \$? == 2 ]")
help=$("$propagate" --help)
[[ $help != *--checksum* ]] || read_all+=("checksum propagate --checksum" ":" "\"$propagate\" --checksum tree/repo3 tree/base")
time_turns "${read_all[@]}"
turn_ratio "verify md5sum/propagate" 0 1 ">= 1.67" whole-run
if [ ${#read_all[@]} == 9 ]; then
  turn_ratio "checksum md5sum/propagate" 0 2 none
  turn_ratio "checksum verify/checksum" 1 2 none
else
  echo "checksum: not measured, this propagate has no --checksum"
fi
# System calls, for a first installation, an upgrade of 1% and a rerun with nothing to do, at one worker
# and at the default; cp -a and rsync -a for comparison.
for jobs in $(printf '%s\n' 1 $default_jobs | uniq); do
  rm -rf tree/traced
  count_calls "syscalls install propagate -j $jobs" "<= 14" "$propagate" -j $jobs tree/repo1 tree/traced
  count_calls "syscalls upgrade 1% propagate -j $jobs" "" "$propagate" -j $jobs tree/repo2 tree/traced
  count_calls "syscalls rerun propagate -j $jobs" "<= 2" "$propagate" -j $jobs tree/repo2 tree/traced
done
rm -rf tree/traced tree/copy
count_calls "syscalls install cp -a" "" cp -a tree/v1 tree/copy
rsync -a tree/v1/ tree/synced/
count_calls "syscalls upgrade 1% rsync -a" "" rsync -a tree/v2/ tree/synced/
count_calls "syscalls rerun rsync -a" "" rsync -a tree/v2/ tree/synced/
rm -rf tree/copy
# Making a repository of the same tree does the work of a copy and of a control sum of every file; both
# end on disk, since --create flushes the content before it writes the table.
time_turns "create cp -a + md5sum + sync" "rm -rf tree/copy; sync" \
  "cp -a tree/v1 tree/copy && (cd tree/v1 && find . -type f -print0 | xargs -0 md5sum >/dev/null) && sync -f tree/copy" \
  "create propagate" "rm -rf tree/created; sync" "\"$propagate\" --create tree/v1 tree/created"
turn_ratio "create cp+md5sum/propagate" 0 1 ">= 1" whole-run
# Signed releases: the same first installation and upgrade of 1% from repositories signed by minisign,
# with their key trusted, against the unsigned ones; every copy is then summed with SHA-256 as well, and
# the signature checked first. A build with --create --sign also gives what signing a repository costs.
if command -v minisign >/dev/null; then
  minisign -G -W -p tree/release.pub -s tree/release.key >/dev/null
  for version in 1 2; do
    cp -al tree/repo$version tree/signed$version
    (cd tree/signed$version && sha256sum files.txt $(ls | grep -E '^[0-9A-F]{32}$') >SHA256SUMS)
    minisign -S -s tree/release.key -m tree/signed$version/SHA256SUMS \
      -t "propagate-release product=bench version=$version" >/dev/null
  done
  trusted="--trusted-key tree/release.pub --allow-downgrade"
  time_turns "install propagate, unsigned" "rm -rf tree/base; sync" "\"$propagate\" tree/repo1 tree/base" \
    "install propagate, signed" "rm -rf tree/base; sync" "\"$propagate\" $trusted tree/signed1 tree/base"
  turn_ratio "signed install unsigned/signed" 0 1 none
  time_turns "upgrade 1% propagate, unsigned" "$back_to_v1_propagate" "\"$propagate\" tree/repo2 tree/base" \
    "upgrade 1% propagate, signed" "\"$propagate\" $trusted tree/signed1 tree/base && sync" \
    "\"$propagate\" $trusted tree/signed2 tree/base"
  turn_ratio "signed upgrade 1% unsigned/signed" 0 1 none
  if [[ $help == *--sign* ]]; then
    time_turns "create propagate, unsigned" "rm -rf tree/created; sync" "\"$propagate\" --create tree/v1 tree/created" \
      "create propagate --sign" "rm -rf tree/created; sync" \
      "\"$propagate\" --create --sign tree/release.key --product bench --release-version 1 tree/v1 tree/created"
    turn_ratio "signed create unsigned/signed" 0 1 none
  fi
else
  echo "signed: not measured, no minisign"
fi
# From a mirror: the same first installation and upgrade of 1% from nginx on 127.0.0.1 serving the
# repositories where they lie, against the runs from the directories; and the bytes that the upgrade fetched
# (the access log's body bytes) against what it could not do without: the changed content and the table.
if ! command -v nginx >/dev/null && [ ! -x /usr/sbin/nginx ]; then
  echo "mirror: not measured, no nginx"
elif [[ $help != *--cacert* ]]; then
  echo "mirror: not measured, this propagate does not install from URLs"
elif [ ! -f "$source_dir/tests/mirror_support.sh" ]; then
  echo "mirror: not measured, no tests/mirror_support.sh beside the benchmark"
else
  . "$source_dir/tests/mirror_support.sh"
  # Only 127.0.0.1 is asked, never through a proxy of the environment.
  unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY
  # nginx starts outside the image, so that nothing of it holds the image when it is unmounted.
  here=$PWD
  mkdir -p "$dir/mirror"
  cd "$dir"
  mirror_start "$dir/mirror" "$here/tree"
  cd "$here"
  mirror=${MIRROR_HTTP%/}
  time_turns "install propagate, local" "rm -rf tree/base; sync" "\"$propagate\" tree/repo1 tree/base" \
    "install propagate, http://" "rm -rf tree/base; sync" "\"$propagate\" $mirror/repo1/ tree/base"
  turn_ratio "mirror install http/local" 1 0 "<= 1.5" whole-run
  time_turns "upgrade 1% propagate, local" "$back_to_v1_propagate" "\"$propagate\" tree/repo2 tree/base" \
    "upgrade 1% propagate, http://" "$back_to_v1_propagate" "\"$propagate\" $mirror/repo2/ tree/base"
  turn_ratio "mirror upgrade 1% http/local" 1 0 "<= 1.3" whole-run
  eval "$back_to_v1_propagate"
  # nginx logs a request after answering it: the log is read once it has caught up, before and after.
  mirror_settle
  logged=$(wc -l <"$MIRROR_LOG")
  "$propagate" "$mirror/repo2/" tree/base
  mirror_settle
  fetched=$(tail -n +$((logged + 1)) "$MIRROR_LOG" | awk '$2 != "/.settle" { sum += $4 } END { print sum + 0 }')
  # What no upgrade can do without: the content of the records that changed, once each, and the table with
  # its signature files when the repository has them.
  changed_bytes=$(comm -13 <(grep '^file ' tree/repo1/files.txt | sort) <(grep '^file ' tree/repo2/files.txt | sort) |
    awk '{ print $7 }' | sort -u | (cd tree/repo2 && xargs -r stat -c %s) | awk '{ sum += $1 } END { print sum + 0 }')
  needed=$changed_bytes
  for name in files.txt SHA256SUMS SHA256SUMS.minisig; do
    [ ! -f "tree/repo2/$name" ] || needed=$((needed + $(stat -c %s "tree/repo2/$name")))
  done
  echo "mirror upgrade 1%: fetched $fetched bytes, needed $needed: changed content $changed_bytes bytes of a repository of $(du -sb tree/repo2 | cut -f1)"
  ratio "mirror upgrade 1% fetched/needed" "$fetched" "$needed" "" "" "<= 1.05" size
  mirror_stop
  MIRROR_PID=
fi
rm -rf tree

# 3. Scaling and memory: runs over tables of small files that all keep local changes and are unchanged.
for records in $small_records $large_records; do
  mkdir -p scale$records/repo/tree
  make_files scale$records/repo/tree "$records" 16 2
  table_for scale$records/repo y
  "$propagate" scale$records/repo scale$records/base
  time_runs "scale propagate $records" ":" "\"$propagate\" scale$records/repo scale$records/base"
  eval "scale_min_$records=\$min scale_median_$records=\$median"
  if [ "$records" == "$large_records" ]; then
    table_bytes=$(stat -c %s scale$records/repo/files.txt)
    peak_kib=$(/usr/bin/time -f %M "$propagate" scale$records/repo scale$records/base 2>&1 >/dev/null | tail -n 1)
    limit_kib=$((table_bytes * 8 / 1024 + 16384))
    printf 'memory propagate %d records: peak %d KiB, table %d KiB, limit %d KiB\n' "$records" "$peak_kib" $((table_bytes / 1024)) "$limit_kib"
    ratio "memory peak/limit" "$peak_kib" "$limit_kib" "" "" "<= 1"
  fi
  rm -rf scale$records
done
ratio "scale $large_records/$small_records" "$(eval echo \$scale_min_$large_records)" "$(eval echo \$scale_min_$small_records)" \
  "$(eval echo \$scale_median_$large_records)" "$(eval echo \$scale_median_$small_records)" "<= 12"
