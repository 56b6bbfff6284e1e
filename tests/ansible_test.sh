#!/usr/bin/env bash
# The Ansible module and rollout playbook of contrib/ansible, run for real with ansible-playbook as root against
# several hosts on this machine (local connection, a base directory each): a first installation, a check-mode
# run, an upgrade that keeps a local edit, a run that finds nothing to do or mends an edited file, a host whose
# repository is broken, which fails alone while the others succeed, and hosts that install from a URL.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

ANSIBLE_DIR=$SOURCE_DIR/contrib/ansible
EXAMPLES=$SOURCE_DIR/examples

# Nothing of the user's or the machine's Ansible setting is read, no collection is used (ansible-core alone must
# do), and everything Ansible writes stays in $WORK.
: >"$WORK/ansible.cfg"
export ANSIBLE_CONFIG=$WORK/ansible.cfg ANSIBLE_HOME=$WORK/ansible-home TMPDIR=$WORK
export ANSIBLE_LOCAL_TEMP=$WORK/ansible-local ANSIBLE_REMOTE_TMP=$WORK/ansible-remote
export ANSIBLE_COLLECTIONS_PATH=$WORK/no-collections ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=false ANSIBLE_PIPELINING=true

# ansible-core has no callback that reports every result in a form to read back, so the test brings one: each
# host's task results as files $RECORD_DIR/HOST/TASK/FIELD (nested fields joined by dots, lists one element a
# line, booleans as true or false), and the play recap as $RECORD_DIR/HOST/recap.
mkdir "$WORK/callbacks"
cat >"$WORK/callbacks/record_results.py" <<'EOF'
import os

from ansible.plugins.callback import CallbackBase


def write(path, value):
    if isinstance(value, dict):
        for key, item in value.items():
            write(path + '.' + key, item)
        return
    if isinstance(value, bool):
        text = 'true' if value else 'false'
    elif isinstance(value, list):
        text = '\n'.join(str(item) for item in value)
    else:
        text = str(value)
    with open(path, 'w') as stream:
        stream.write(text)


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'record_results'
    CALLBACK_NEEDS_ENABLED = True

    def record(self, result, **outcome):
        task = os.path.join(os.environ['RECORD_DIR'], result._host.get_name(), result._task.get_name())
        os.makedirs(task, exist_ok=True)
        for key, value in dict(result._result, **outcome).items():
            write(os.path.join(task, key), value)

    def v2_runner_on_ok(self, result):
        self.record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self.record(result, skipped=True)

    def v2_playbook_on_stats(self, stats):
        for host in stats.processed:
            summary = stats.summarize(host)
            os.makedirs(os.path.join(os.environ['RECORD_DIR'], host), exist_ok=True)
            write(os.path.join(os.environ['RECORD_DIR'], host, 'recap'),
                  'changed=%d failures=%d' % (summary['changed'], summary['failures']))
EOF
export ANSIBLE_CALLBACK_PLUGINS=$WORK/callbacks ANSIBLE_CALLBACKS_ENABLED=record_results

require_ansible() {
  command -v ansible-playbook >/dev/null && return 0
  echo "SKIP [$current_test]: ansible-playbook is not installed"
  return 1
}

# The table path (escaped) of the first file record of repository $1 whose keep token is $2 (y or n).
file_record() {
  awk -v keep="$2" '$1 == "table" { on = 1 } on && $1 == "file" && $10 == keep { print $2; exit }' "$1/files.txt"
}
# The content name of the first file record of repository $1.
first_source() { awk '$1 == "table" { on = 1 } on && $1 == "file" { print $7; exit }' "$1/files.txt"; }
# A table path with its escapes decoded.
unescape() { printf '%b' "${1//+/\\x}"; }

# repository_variable REPOSITORY: the variable that names it, a URL or a directory.
repository_variable() {
  if [[ $1 == *://* ]]; then echo velmira_repository_url; else echo velmira_repository; fi
}

# write_inventory REPOSITORY HOST[=REPOSITORY]...: hosts with their base directories $T/HOST/base, all of
# them installing REPOSITORY (a directory or a URL) unless they name their own.
write_inventory() {
  local repository=$1 host
  shift
  {
    echo "velmira:"
    echo "  vars:"
    echo "    ansible_connection: local"
    echo "    ansible_python_interpreter: \"{{ ansible_playbook_python }}\""
    echo "    ansible_become: false"
    echo "    propagate_executable: \"$PROPAGATE\""
    echo "    $(repository_variable "$repository"): \"$repository\""
    echo "  hosts:"
    for host in "$@"; do
      echo "    ${host%%=*}:"
      echo "      velmira_base: \"$T/${host%%=*}/base\""
      echo "      velmira_stage_dir: \"$T/${host%%=*}/stage\""
      [[ $host == *=* ]] && echo "      $(repository_variable "${host#*=}"): \"${host#*=}\""
    done
  } >"$T/inventory.yml"
}

# play NAME [OPTION...]: runs the rollout playbook in batches of two hosts, with its exit status in $status and
# its results in $T/NAME for `result`.
play() {
  local name=$1
  shift
  RECORD_DIR=$T/$name ansible-playbook -i "$T/inventory.yml" "$ANSIBLE_DIR/rollout.yml" -e velmira_batches=2 "$@" \
    >"$T/$name.out" 2>"$T/$name.err"
  status=$?
}

# result NAME HOST TASK FIELD: a field of the host's result of the named task in run NAME; "<none>" when there
# is none.
result() {
  if [ -f "$T/$1/$2/$3/$4" ]; then cat "$T/$1/$2/$3/$4"; else echo "<none>"; fi
}

# stats NAME HOST: the play recap of the host, as "changed=N failures=N".
stats() { result "$1" "$2" . recap; }

# A snapshot that also holds the times of directories, for runs that must change nothing at all.
full_snapshot() {
  [ -d "$1" ] || { echo "no directory $1"; return; }
  snapshot "$1"
  find "$1" -type d -printf '%p %T@\n' | sort
}

INSTALL="Install or upgrade with propagate"
VERIFY="Verify the installation against its table"

test_module_documentation_and_playbook_parse() {
  require_ansible || return $SKIP
  run_capture ansible-doc -M "$ANSIBLE_DIR/library" propagate
  expect_eq "ansible-doc status" 0 "$status"
  expect_eq "ansible-doc errors" "" "$err"
  write_inventory "$EXAMPLES/repo" h1
  run_capture ansible-playbook -i "$T/inventory.yml" --syntax-check "$ANSIBLE_DIR/rollout.yml"
  expect_eq "syntax check status" 0 "$status"
}

test_rollout() {
  require_root || return $SKIP
  require_ansible || return $SKIP
  local host kept damaged missing expected
  # The example repositories, as they are when the test starts, are what every run installs.
  cp -a "$EXAMPLES/repo" "$EXAMPLES/repo-2" "$T"
  local EXAMPLES=$T
  kept=$(file_record "$EXAMPLES/repo" y)
  damaged=$(file_record "$EXAMPLES/repo-2" n)
  "$PROPAGATE" "$EXAMPLES/repo" "$T/reference-1" || fail "reference installation"
  cp -a "$T/reference-1" "$T/reference-2"
  "$PROPAGATE" "$EXAMPLES/repo-2" "$T/reference-2" || fail "reference upgrade"
  # A repository that lacks a content file. The broken host shares the first batch of two with h1, and the
  # second batch, h2, must still be rolled out.
  cp -a "$EXAMPLES/repo-2" "$T/broken-repository"
  missing=$(first_source "$T/broken-repository")
  rm "$T/broken-repository/$(unescape "$missing")"

  # First installation.
  write_inventory "$EXAMPLES/repo" h1 "broken=$T/broken-repository" h2
  play install
  expect_eq "status of the installation" 2 "$status"
  expected=$("$PROPAGATE" -n "$EXAMPLES/repo" "$T/nowhere")
  for host in h1 h2; do
    expect_eq "$host failures" "failures=0" "$(stats install $host | grep -o 'failures=.*')"
    expect_eq "$host changed" true "$(result install $host "$INSTALL" changed)"
    expect_eq "$host actions" "$expected" "$(result install $host "$INSTALL" actions)"
    expect_eq "$host verified" 0 "$(result install $host "$VERIFY" rc)"
    expect_eq "$host tree" "$(snapshot "$T/reference-1")" "$(snapshot "$T/$host/base")"
  done
  expect_eq "broken host failures" "failures=1" "$(stats install broken | grep -o 'failures=.*')"
  run_capture "$PROPAGATE" "$T/broken/stage/repository" "$T/broken/base"
  [[ $err == "Error: "*$'\n' ]] || fail "run of the broken repository: [$err]"
  expect_eq "message of the broken host" "${err%$'\n'}" "$(result install broken "$INSTALL" msg)"
  expect_eq "table of the broken host" "" "$(ls "$T/broken/base/files.txt" 2>/dev/null)"
  expect_eq "broken host verified" "<none>" "$(result install broken "$VERIFY" rc)"

  # A local edit of a file that keeps local changes.
  echo "# edited on h1" >>"$T/h1/base/$(unescape "$kept")"
  cp "$T/h1/base/$(unescape "$kept")" "$T/edited"
  for host in h1 h2 broken; do
    full_snapshot "$T/$host/base" >"$T/$host.before-check"
  done

  # Check mode stages the new repository and says what the upgrade would do, changing no installation. It
  # reads every installed file, and must still find what a dry run that trusts the table finds.
  write_inventory "$EXAMPLES/repo-2" h1 "broken=$T/broken-repository" h2
  play check --check --diff -e velmira_checksum=true
  expect_eq "status of the check" 2 "$status"
  for host in h1 h2 broken; do
    expect_eq "$host tree after the check" "$(cat "$T/$host.before-check")" "$(full_snapshot "$T/$host/base")"
  done
  for host in h1 h2; do
    expect_eq "$host would change" true "$(result check $host "$INSTALL" changed)"
    expect_eq "$host damaged" false "$(result check $host "$INSTALL" damaged)"
    result check $host "$INSTALL" cmd | grep -qx -- --checksum || fail "$host dry run without --checksum"
    expected=$("$PROPAGATE" -n "$T/$host/stage/repository" "$T/$host/base")
    expect_eq "$host dry-run actions" "$expected" "$(result check $host "$INSTALL" actions)"
    expect_eq "$host diff" "$expected" "$(result check $host "$INSTALL" diff.prepared)"
    expect_eq "$host verify skipped" true "$(result check $host "$VERIFY" skipped)"
  done
  run_capture result check h1 "$INSTALL" differences
  [[ $out == "$kept: "*"content changed locally (kept)" && $out != *$'\n'* ]] ||
    fail "h1 differences before the upgrade: [$out]"
  expect_eq "h2 differences" "" "$(result check h2 "$INSTALL" differences)"
  run_capture "$PROPAGATE" -n "$T/broken/stage/repository" "$T/broken/base"
  [[ $err == "Error: "*$'\n' ]] || fail "dry run of the broken repository: [$err]"
  expect_eq "message of the broken host in check mode" "${err%$'\n'}" "$(result check broken "$INSTALL" msg)"
  expect_eq "broken host failures in check mode" "failures=1" "$(stats check broken | grep -o 'failures=.*')"

  # The upgrade does what the check said, keeps the edit and verifies clean.
  write_inventory "$EXAMPLES/repo-2" h1 h2
  play upgrade --diff
  expect_eq "status of the upgrade" 0 "$status"
  for host in h1 h2; do
    expect_eq "$host upgraded" true "$(result upgrade $host "$INSTALL" changed)"
    expect_eq "$host actions of the upgrade" "$(result check $host "$INSTALL" actions)" \
      "$(result upgrade $host "$INSTALL" actions)"
    expect_eq "$host diff of the upgrade" "$(result check $host "$INSTALL" actions)" \
      "$(result upgrade $host "$INSTALL" diff.prepared)"
    expect_eq "$host verified after the upgrade" 0 "$(result upgrade $host "$VERIFY" rc)"
  done
  expect_eq "h2 tree" "$(snapshot "$T/reference-2")" "$(snapshot "$T/h2/base")"
  expect_eq "h1 tree but the kept file" "$(snapshot "$T/reference-2" | grep -v -F "./$(unescape "$kept") ")" \
    "$(snapshot "$T/h1/base" | grep -v -F "./$(unescape "$kept") ")"
  cmp -s "$T/edited" "$T/h1/base/$(unescape "$kept")" || fail "the local edit on h1 was not kept"
  run_capture result upgrade h1 "$VERIFY" stdout_lines
  [[ $out == "$kept: "*"content changed locally (kept)" && $out != *$'\n'* ]] ||
    fail "h1 verified after the upgrade: [$out]"

  # The same repository again: nothing to do on h1, whose kept edit is no damage and no change; h2's edited
  # file, whose mode changed too, is copied back.
  echo "# edited on h2" >>"$T/h2/base/$(unescape "$damaged")"
  chmod 0600 "$T/h2/base/$(unescape "$damaged")"
  play again
  expect_eq "status of the second run" 0 "$status"
  expect_eq "h1 actions of the second run" "keep $kept"$'\n'"table files.txt" \
    "$(result again h1 "$INSTALL" actions)"
  expect_eq "h1 changed on the second run" false "$(result again h1 "$INSTALL" changed)"
  expect_eq "h1 recap of the second run" "changed=0 failures=0" "$(stats again h1)"
  expect_eq "h2 changed by the repair" true "$(result again h2 "$INSTALL" changed)"
  expect_eq "h2 damaged" true "$(result again h2 "$INSTALL" damaged)"
  result again h2 "$INSTALL" actions | grep -qx -F "copy $damaged" || fail "h2 repair without copy $damaged"
  run_capture result again h2 "$INSTALL" differences
  [[ $out == "$damaged: "* && $out != *$'\n'* ]] || fail "h2 differences before the repair: [$out]"
  expect_eq "h2 tree after the repair" "$(snapshot "$T/reference-2")" "$(snapshot "$T/h2/base")"
}

# Hosts with a URL install from it directly: nothing is packed on the controller nor staged on them, and the
# certificate authorities of the mirror reach them.
test_pull_rollout() {
  require_root || return $SKIP
  require_ansible || return $SKIP
  cp -a "$EXAMPLES/repo" "$T/repository"
  "$PROPAGATE" "$T/repository" "$T/reference" || fail "reference installation"
  printf 'not needed by file:// URLs\n' >"$T/mirror-ca.pem"
  write_inventory "file://$T/repository/" h1 h2
  play pull -e "velmira_cacert=$T/mirror-ca.pem"
  expect_eq "status of the pull" 0 "$status"
  expect_eq "archives" "true" "$(result pull localhost "Make a directory for the archives" skipped)"
  expect_eq "packed" "" "$(result pull localhost "Pack each repository" results)"
  for host in h1 h2; do
    expect_eq "$host changed" true "$(result pull $host "$INSTALL" changed)"
    expect_eq "$host verified" 0 "$(result pull $host "$VERIFY" rc)"
    expect_eq "$host tree" "$(snapshot "$T/reference")" "$(snapshot "$T/$host/base")"
    expect_eq "$host staged" "mirror-ca.pem" "$(ls "$T/$host/stage")"
    expect_eq "$host command" "--cacert $T/$host/stage/mirror-ca.pem file://$T/repository/ $T/$host/base" \
      "$(result pull $host "$INSTALL" cmd | tail -n 4 | paste -sd ' ')"
  done
}

# Release keys named by a variable reach the hosts before the installation, which then takes only what
# one of them signed.
test_signed_rollout() {
  require_root || return $SKIP
  require_ansible || return $SKIP
  command -v minisign >/dev/null || { echo "SKIP [$current_test]: no minisign"; return $SKIP; }
  minisign -G -W -p "$T/release.pub" -s "$T/release.key" >/dev/null || fail "minisign -G"
  cp -a "$EXAMPLES/repo" "$T/signed"
  (cd "$T/signed" && sha256sum files.txt $(ls | grep -E '^[0-9A-F]{32}$') >SHA256SUMS) || fail "sha256sum"
  minisign -S -s "$T/release.key" -m "$T/signed/SHA256SUMS" -t "propagate-release product=velmira version=1" \
    >/dev/null || fail "minisign -S"
  write_inventory "$T/signed" h1 "unsigned=$EXAMPLES/repo"
  play signed -e "{\"velmira_release_keys\": [\"$T/release.pub\"], \"velmira_trusted_keys_dir\": \"$T/keys\"}"
  expect_eq "deployed key" "$(cat "$T/release.pub")" "$(cat "$T/keys/release.pub")"
  expect_eq "keys directory" "755 root" "$(stat -c '%a %U' "$T/keys")"
  expect_eq "signed host changed" true "$(result signed h1 "$INSTALL" changed)"
  expect_eq "signed host verified" 0 "$(result signed h1 "$VERIFY" rc)"
  expect_eq "unsigned host's message" \
    "Error: $T/unsigned/stage/repository/SHA256SUMS.minisig: Missing: the repository is not signed, and this machine trusts release keys" \
    "$(result signed unsigned "$INSTALL" msg)"
}

run_tests
