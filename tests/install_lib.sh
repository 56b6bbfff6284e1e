# Helpers for the install and package tests, sourced after lib.sh: a fresh build of the sources without
# the tests, shared by the cases of one script.

# The project's version, as the root CMakeLists.txt declares it.
project_version() {
  sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$SOURCE_DIR/CMakeLists.txt"
}

# Configures and builds $SOURCE_DIR once per script into $WORK/build; later calls reuse it. Under CTest,
# KIT_BUILD_DIR names the build being tested, whose install rules are the same: it is used instead, which
# spares a whole build per script.
# Returns non-zero (after recording a failure) when the build does not succeed.
fresh_build() {
  if [ -n "${KIT_BUILD_DIR:-}" ]; then
    BUILD=$KIT_BUILD_DIR
    return 0
  fi
  BUILD=$WORK/build
  [ -f "$BUILD/.built" ] && return 0
  if ! cmake -S "$SOURCE_DIR" -B "$BUILD" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
    >"$WORK/configure.log" 2>&1; then
    fail "configure failed: $(tail -n 20 "$WORK/configure.log")"
    return 1
  fi
  if ! cmake --build "$BUILD" -j2 >"$WORK/build.log" 2>&1; then
    fail "build failed: $(tail -n 20 "$WORK/build.log")"
    return 1
  fi
  touch "$BUILD/.built"
}

# The files (and links) under $1, one relative path per line, sorted.
tree_files() {
  (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}

# What the kit installs, relative to the prefix.
expected_install() {
  LC_ALL=C sort <<EOT
bin/propagate
bin/quarnet
share/bash-completion/completions/propagate
share/bash-completion/completions/quarnet
share/man/man1/propagate.1
share/man/man1/quarnet.1
share/man/man5/files.txt.5
EOT
}
