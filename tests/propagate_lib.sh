# Helpers for propagate's end-to-end tests, sourced after lib.sh.

# Upper-case MD5 of a file, as tables record it.
digest() { md5sum <"$1" | cut -c1-32 | tr a-f A-F; }

# Writes a repository table to $1/files.txt: a table record, the records given on standard input
# (one per line, with "@DIGEST(name)" replaced by the digest of $1/name), and an end record.
write_table() {
  local repo=$1 line name
  {
    echo "table 1 - files.txt root root 0644"
    while IFS= read -r line; do
      while [[ $line =~ @DIGEST\(([^\)]*)\) ]]; do
        name=${BASH_REMATCH[1]}
        line=${line/"@DIGEST($name)"/$(digest "$repo/$name")}
      done
      echo "$line"
    done
    echo "end"
  } >"$repo/files.txt"
}

# One line per entry under $1, sorted: path, type, mode, owner, group, and for files size, time and
# content digest, for links the target. Directory times are left out (every run adds entries to them),
# and so is the time of the installed table $2 (default files.txt), which no run sets.
snapshot() {
  (
    cd "$1" || exit 1
    # What runs record beside the table for the next one is no part of the tree: the fingerprints even
    # depend on how fast the run went.
    find . \( -name '*.fingerprints' -o -name '*.installing' \) -prune -o -printf '%p %y %#m %u %g' \( -type d -printf '\n' -o -type l -printf ' -> %l\n' \
      -o -path "./${2:-files.txt}" -printf ' %s ' -exec sh -c 'md5sum <"$1" | cut -c1-32' _ {} \; \
      -o -printf ' %s %T@ ' -exec sh -c 'md5sum <"$1" | cut -c1-32' _ {} \; \)
  ) | sort
}

# Fails unless path $1 has type/mode/owner/group "$2" as stat -c '%F %a %U %G' prints them.
expect_attrs() {
  expect_eq "attributes of $1" "$2" "$(stat -c '%F %a %U %G' "$1" 2>&1)"
}

# Fails unless the modification time of $1 (not followed) is $2.
expect_mtime() {
  expect_eq "mtime of $1" "$2" "$(stat -c %Y "$1" 2>&1)"
}

# strace COMMAND...: LeakSanitizer cannot work under ptrace, so a sanitizer build leaves leaks unchecked there.
traced() { ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace "$@"; }
