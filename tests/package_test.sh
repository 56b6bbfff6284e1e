#!/usr/bin/env bash
# `cpack -G DEB` on a fresh build: a Debian package with the right control fields and exactly the
# programs, manual pages and completion, owned by root, whose programs run once unpacked.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_lib.sh"

need_dpkg() {
  local tool
  for tool in cpack dpkg-deb dpkg; do
    command -v "$tool" >/dev/null || { echo "SKIP [$current_test]: $tool is not installed"; return 1; }
  done
}

# Builds the package once per script; $DEB names it.
build_package() {
  fresh_build || return 1
  DEB=$(ls "$WORK"/package/*.deb 2>/dev/null | head -n 1)
  [ -n "$DEB" ] && return 0
  (cd "$BUILD" && cpack -G DEB -B "$WORK/package") >"$WORK/cpack.log" 2>&1 || {
    fail "cpack failed: $(tail -n 20 "$WORK/cpack.log")"
    return 1
  }
  DEB=$(ls "$WORK"/package/*.deb 2>/dev/null | head -n 1)
  [ -n "$DEB" ] || { fail "cpack made no .deb: $(tail -n 20 "$WORK/cpack.log")"; return 1; }
}

test_package_control_fields() {
  need_dpkg || return $SKIP
  build_package || return 1
  local version arch
  version=$(project_version)
  arch=$(dpkg --print-architecture)
  [ -n "$version" ] || fail "no version in CMakeLists.txt"
  expect_eq "file name" "velmira-kit_${version}_${arch}.deb" "$(basename "$DEB")"
  expect_eq "Package" velmira-kit "$(dpkg-deb -f "$DEB" Package)"
  expect_eq "Version" "$version" "$(dpkg-deb -f "$DEB" Version)"
  expect_eq "Architecture" "$arch" "$(dpkg-deb -f "$DEB" Architecture)"
  expect_eq "Section" admin "$(dpkg-deb -f "$DEB" Section)"
  expect_eq "Priority" optional "$(dpkg-deb -f "$DEB" Priority)"
  local maintainer depends description
  maintainer=$(dpkg-deb -f "$DEB" Maintainer)
  [[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is not 'Name <address>': [$maintainer]"
  # The C and C++ run-time libraries, each with a minimum version.
  depends=$(dpkg-deb -f "$DEB" Depends)
  [[ $depends =~ (^|, )libc6\ \(\>=\ [0-9] ]] || fail "Depends lacks a versioned libc6: [$depends]"
  [[ $depends =~ (^|, )libstdc\+\+6\ \(\>=\ [0-9] ]] || fail "Depends lacks a versioned libstdc++6: [$depends]"
  # A synopsis line, then a long description of several lines that names both programs.
  description=$(dpkg-deb -f "$DEB" Description)
  local synopsis=${description%%$'\n'*} long=${description#*$'\n'}
  [ "${#synopsis}" -ge 20 ] && [ "${#synopsis}" -le 80 ] || fail "synopsis too short or too long: [$synopsis]"
  [[ $synopsis == [a-z]* ]] || fail "synopsis does not start in lower case: [$synopsis]"
  [ "$(wc -l <<<"$long")" -ge 4 ] || fail "long description too short: [$long]"
  [[ $long == *propagate* && $long == *quarnet* ]] || fail "long description does not name both programs"
  # Control-file syntax: continuation lines start with a blank, empty ones are written " .".
  dpkg-deb -I "$DEB" control >control
  awk '/^Description:/ { on = 1; next } on && /^[^ ]/ { on = 0 } on' control >long.txt
  grep -v '^ [^ ]' long.txt && fail "description line not continued with one blank, or empty but not ' .'"
  dpkg-deb -I "$DEB" >info.txt || fail "dpkg-deb -I fails"
  grep -q 'Installed-Size:' info.txt || fail "no Installed-Size"
}

test_package_contents() {
  need_dpkg || return $SKIP
  build_package || return 1
  dpkg-deb -c "$DEB" >contents.txt || fail "dpkg-deb -c fails"
  # Only the kit's own files, under /usr, owned by root.
  expect_eq "files" "$(expected_install | sed 's|^|usr/|')" \
    "$(awk '$1 !~ /^d/ { print $6 }' contents.txt | sed 's|^\./||' | LC_ALL=C sort)"
  awk '$2 != "root/root" { print }' contents.txt | grep . && fail "files not owned by root"
  local line
  while read -r line; do
    case $line in
      d*) ;;
      *./usr/bin/*) [[ $line == -rwxr-xr-x* ]] || fail "program mode: $line" ;;
      -*) [[ $line == -rw-r--r--* ]] || fail "file mode: $line" ;;
    esac
  done <contents.txt
}

test_unpacked_programs_run() {
  need_dpkg || return $SKIP
  build_package || return 1
  dpkg-deb -x "$DEB" root || fail "dpkg-deb -x fails"
  run_capture root/usr/bin/quarnet locase "Velmira KIT"
  expect_eq "quarnet locase" "0 velmira kit"$'\n' "$status $out"
  run_capture root/usr/bin/propagate
  expect_eq "propagate syntax" "1 Error: Syntax: propagate [-i] <repodir> <basedir>"$'\n' "$status $err"
  # Stripped, as a package ships them.
  if command -v file >/dev/null; then
    file -L root/usr/bin/propagate | grep -q 'not stripped' && fail "propagate is not stripped"
  fi
  require_root || return 0
  run_capture root/usr/bin/propagate "$SOURCE_DIR/examples/repo" base
  expect_eq "example installed by the packaged propagate" "0" "$status$err"
  cmp -s "$SOURCE_DIR/examples/repo/files.txt" base/files.txt || fail "table not installed"
}

run_tests
