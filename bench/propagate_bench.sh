#!/usr/bin/env bash
# Measures propagate against the standard tools on the same data, in one run, and prints one line per
# figure: the tool, minimum and median seconds of several runs, and the ratios.
#
#   bench/propagate_bench.sh [--tiny] [--runs N] [--dir DIR] [--propagate PATH] [--ext4-image]
#
# Needs root (propagate sets owners), md5sum, cp, rsync, sync and GNU time (/usr/bin/time).
# The data is built deterministically under DIR (default /tmp/propagate-bench) and removed at the end.
# With --ext4-image the whole-run figures are taken on a fresh ext4 file system with a journal, made in
# an image file under DIR and loop-mounted (needs mkfs.ext4): the file system under DIR decides much of
# those figures (an ext4 without a journal but mounted with discard, for one, discards the blocks of
# every replaced file synchronously, in the renaming process), and the line "file system:" says which
# one was measured.
# Full size needs about 3 GB of disk: a 1 GiB file, a 20,000-file tree of about 400 MB and its copies,
# and a 200,000-record tree of small files.
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

if [ $tiny == 1 ]; then
  md5_mib=8 tree_files=200 tree_kib=20 small_records=200 large_records=2000
else
  md5_mib=1024 tree_files=20000 tree_kib=20 small_records=20000 large_records=200000
fi

rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
trap 'cd / && { ! mountpoint -q "$dir/fs" || umount "$dir/fs"; } && rm -rf "$dir"' EXIT

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
  printf '%-28s min %8.3f s  median %8.3f s  cpu median %7.2f s\n' "$name" "$min" "$median" "$cpu"
}

# The median of the sorted numbers on standard input.
median_of() { awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# time_interleaved NAME_A COMMAND_A NAME_B COMMAND_B: like time_runs for two commands run in turns, so that
# whatever else the machine does weighs on both alike; prints both figure lines and leaves the minimums
# and medians in $min_a, $median_a, $min_b and $median_b.
time_interleaved() {
  local names=("$1" "$3") commands=("$2" "$4") i k start end
  rm -f "$dir"/interleaved.*
  for i in $(seq 1 "$runs"); do
    for k in 0 1; do
      start=$(now)
      /usr/bin/time -f '%U %S' -o "$dir/cpu" bash -c "${commands[$k]}"
      end=$(now)
      awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }' >>"$dir/interleaved.times$k"
      awk '{ printf "%.2f\n", $1 + $2 }' "$dir/cpu" >>"$dir/interleaved.cpus$k"
    done
  done
  for k in 0 1; do
    min=$(sort -g "$dir/interleaved.times$k" | head -n 1)
    median=$(sort -g "$dir/interleaved.times$k" | median_of)
    printf '%-28s min %8.3f s  median %8.3f s  cpu median %7.2f s\n' "${names[$k]}" "$min" "$median" \
      "$(sort -g "$dir/interleaved.cpus$k" | median_of)"
    if [ $k == 0 ]; then min_a=$min median_a=$median; else min_b=$min median_b=$median; fi
  done
}

# ratio NAME NUMERATOR DENOMINATOR [MEDIAN_NUMERATOR MEDIAN_DENOMINATOR]: the ratio of the minimums, and
# of the medians when given (on a shared machine the two can differ widely).
ratio() {
  awk -v name="$1" -v a="$2" -v b="$3" -v c="${4:-}" -v d="${5:-}" 'BEGIN {
    printf "ratio %s %.2f", name, a / b
    if (c != "" && d != "") printf " (medians %.2f)", c / d
    printf "\n" }'
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

echo "propagate benchmark: $([ $tiny == 1 ] && echo tiny || echo full) size, $runs runs each, data in $dir"

# 1. Control sums: a locally changed file that keeps local changes is only hashed.
mkdir -p md5/repo md5/base
head -c $((md5_mib * 1024 * 1024)) /dev/zero | tr '\0' 'v' >md5/base/big
printf 'content of the repository\n' >md5/repo/big
printf 'table 1 - files.txt root root 0644\nfile big root root %s 0100644 big %s 0 y\nend\n' $T0 "$(digest md5/repo/big)" >md5/repo/files.txt
printf 'table 1 - files.txt root root 0644\nfile big root root %s 0100644 big 00000000000000000000000000000000 0 y\nend\n' $T0 >md5/base/files.txt
cat md5/base/big >/dev/null
time_runs "md5 md5sum (${md5_mib} MiB)" ":" "md5sum md5/base/big >/dev/null"
md5sum_min=$min md5sum_median=$median
time_runs "md5 propagate (${md5_mib} MiB)" ":" "\"$propagate\" md5/repo md5/base"
ratio "md5 md5sum/propagate" "$md5sum_min" "$min" "$md5sum_median" "$median"
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

# 2. Whole runs: a first installation against cp -a, an upgrade against rsync --ignore-times, a
# verification against md5sum -c, and a repository made from the tree against cp -a plus md5sum.
mkdir -p tree/repo/tree
make_files tree/repo/tree "$tree_files" $((tree_kib * 1024)) 1
table_for tree/repo n
sync
time_runs "install cp -a + sync -f" "rm -rf tree/copy; sync" "cp -a tree/repo/tree tree/copy && sync -f tree/copy"
cp_min=$min cp_median=$median
time_runs "install propagate" "rm -rf tree/base; sync" "\"$propagate\" tree/repo tree/base"
ratio "install cp/propagate" "$cp_min" "$min" "$cp_median" "$median"
mkdir -p tree/synced
rsync -a tree/repo/tree/ tree/synced/
time_runs "upgrade rsync --ignore-times" "sync" "rsync -a --ignore-times tree/repo/tree/ tree/synced/ && sync -f tree/synced"
rsync_min=$min rsync_median=$median
time_runs "upgrade propagate" "sync" "\"$propagate\" tree/repo tree/base"
ratio "upgrade rsync/propagate" "$rsync_min" "$min" "$rsync_median" "$median"
# Verifying the installed tree against checking the same files with md5sum; status 2 (differences) still
# measures the same work.
awk '$1 == "file" { print tolower($8) "  " $2 }' tree/repo/files.txt >tree/md5.list
time_interleaved "verify md5sum -c" "cd tree/base && md5sum -c --quiet ../md5.list" \
  "verify propagate" "\"$propagate\" --verify tree/base >/dev/null || [ \$? == 2 ]"
ratio "verify md5sum/propagate" "$min_a" "$min_b" "$median_a" "$median_b"
# Making a repository of the same tree does the work of a copy and of a control sum of every file; both
# end on disk, since --create flushes the content before it writes the table.
time_runs "create cp -a + md5sum + sync" "rm -rf tree/copy; sync" \
  "cp -a tree/repo/tree tree/copy && (cd tree/repo/tree && find . -type f -print0 | xargs -0 md5sum >/dev/null) && sync -f tree/copy"
copy_sum_min=$min copy_sum_median=$median
time_runs "create propagate" "rm -rf tree/created; sync" "\"$propagate\" --create tree/repo/tree tree/created"
ratio "create cp+md5sum/propagate" "$copy_sum_min" "$min" "$copy_sum_median" "$median"
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
    ratio "memory peak/limit" "$peak_kib" "$limit_kib"
  fi
  rm -rf scale$records
done
ratio "scale $large_records/$small_records" "$(eval echo \$scale_min_$large_records)" "$(eval echo \$scale_min_$small_records)" \
  "$(eval echo \$scale_median_$large_records)" "$(eval echo \$scale_median_$small_records)"
