#!/usr/bin/env bash
# Signed releases end to end, with Debian's minisign as the release engineer's signer: a machine that
# trusts release keys installs only what one of them signed, and each refusal changes nothing.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/propagate_lib.sh"

T0=1700000000

# Makes repository $1 from stage/, version $2 of product $3 (default velmira), signed with key $4
# (default k), with trusted comment extras $5: SHA256SUMS as sha256sum writes it, then its signature.
signed_repo() {
  local repo=$1 version=$2 product=${3:-velmira} key=${4:-k} extra=${5:-}
  rm -rf "$repo"
  "$PROPAGATE" --create --owner root --group root stage "$repo" >/dev/null || fail "--create of $repo"
  (cd "$repo" && sha256sum files.txt $(ls | grep -E '^[0-9A-F]{32}$') >SHA256SUMS) || fail "sha256sum of $repo"
  sign_repo "$repo" "propagate-release product=$product version=$version$extra" "$key"
}

# Signs the SHA256SUMS of repository $1 with key $3 and trusted comment $2.
sign_repo() {
  minisign -S -s "$3.key" -m "$1/SHA256SUMS" -t "$2" >/dev/null || fail "minisign -S of $1"
}

make_keys() {
  command -v minisign >/dev/null || { echo "SKIP [$current_test]: no minisign"; return 1; }
  minisign -G -W -p k.pub -s k.key >/dev/null && minisign -G -W -p other.pub -s other.key >/dev/null ||
    fail "minisign -G"
  mkdir -p stage/etc
  printf 'port = 1\n' >stage/etc/app.conf
  printf 'v1\n' >stage/version
  touch -d @$T0 stage/etc/app.conf stage/version stage/etc stage
}

key_id() { sed -n 's/.*public key //p' "$1.pub"; }

test_each_refusal_changes_nothing() {
  require_root || return $SKIP
  make_keys || return $SKIP
  signed_repo v1 1
  expect_run 0 "" "" "$PROPAGATE" --trusted-key k.pub v1 base
  printf 'v2\n' >stage/version
  signed_repo v2 2
  local version_file app_file
  version_file=$(sed -n 's/^file version root root [0-9]* 0100644 \([0-9A-F]*\) .*/\1/p' v2/files.txt)
  # etc/app.conf is the same in both versions: the run leaves it in place only if its SHA-256 is listed too
  # (a version 2 that changes nothing else, so that no other copy lands beside the refusal).
  app_file=$(sed -n 's/^file etc\/app.conf root root [0-9]* 0100644 \([0-9A-F]*\) .*/\1/p' v2/files.txt)
  local before table damage expected
  before=$(snapshot base)
  table=$(cat base/files.txt)
  while IFS='~' read -r damage expected; do
    rm -rf repo && cp -a v2 repo
    eval "$damage"
    run_capture "$PROPAGATE" --trusted-key k.pub repo base
    expect_eq "status after: $damage" 1 "$status"
    [[ $err == "Error: $expected"* ]] || fail "after: $damage: expected [Error: $expected...], got [$err]"
    expect_eq "tree after: $damage" "$before" "$(snapshot base)"
    expect_eq "table after: $damage" "$table" "$(cat base/files.txt)"
    run_capture "$PROPAGATE" -n --trusted-key k.pub repo base
    [[ $status:$err == 1:"Error: $expected"* ]] || fail "dry run after: $damage: got [$status:$err]"
  done <<EOT
rm repo/SHA256SUMS.minisig~repo/SHA256SUMS.minisig: Missing: the repository is not signed, and this machine trusts release keys
echo garbage >repo/SHA256SUMS.minisig~repo/SHA256SUMS.minisig: Not a minisign signature: 1 lines, not 4
sign_repo repo 'propagate-release product=velmira version=2' other~repo/SHA256SUMS.minisig: line 2: Signed by key $(key_id other), which is not trusted (trusted: $(key_id k))
echo >>repo/SHA256SUMS~repo/SHA256SUMS.minisig: line 2: The signature does not match the signed content
sign_repo repo 'velmira 2' k~repo/SHA256SUMS.minisig: The trusted comment is no propagate release statement
echo '#' >>repo/files.txt~repo/files.txt: The table's SHA-256 is
sed -i "s/^[0-9a-f]*  $version_file\$/$(printf '0%.0s' {1..64})  $version_file/" repo/SHA256SUMS && sign_repo repo 'propagate-release product=velmira version=2' k~repo/$version_file: The content's SHA-256 is
rm -rf repo && cp -a v1 repo && sed -i "s/^[0-9a-f]*  $app_file\$/$(printf '0%.0s' {1..64})  $app_file/" repo/SHA256SUMS && sign_repo repo 'propagate-release product=velmira version=2' k~repo/$app_file: The content's SHA-256 is
sign_repo repo 'propagate-release product=other version=2' k~repo/SHA256SUMS.minisig: The release is of product other, the installation of velmira
sign_repo repo 'propagate-release product=velmira version=0' k~repo/SHA256SUMS.minisig: Version 0 is older than the installed version 1 (--allow-downgrade installs it)
sign_repo repo 'propagate-release product=velmira version=1' k~repo/SHA256SUMS.minisig: Version 1 is installed with other content (another SHA256SUMS; --allow-downgrade installs it)
sign_repo repo 'propagate-release product=velmira version=2 expires=1000' k~repo/SHA256SUMS.minisig: The release expired at 1000 (seconds since 1970)
EOT
  # A record of the installed release that cannot be trusted is no first installation.
  cp -p base/files.txt.release release.saved
  echo damaged >base/files.txt.release
  expect_run 1 "" "Error: base/files.txt.release: The record of the installed release is damaged, or not root's alone: the release cannot be checked against it (--allow-downgrade installs it)"$'\n' \
    "$PROPAGATE" --trusted-key k.pub v2 base
  cp -p release.saved base/files.txt.release
  # The same release once more is no sidegrade; a newer one installs; going back needs --allow-downgrade.
  expect_run 0 "" "" "$PROPAGATE" --trusted-key k.pub v1 base
  expect_run 0 "" "" "$PROPAGATE" --trusted-key k.pub v2 base
  expect_eq "version" "v2" "$(cat base/version)"
  run_capture "$PROPAGATE" --trusted-key k.pub v1 base
  expect_eq "rollback refused" 1 "$status"
  expect_run 0 "" "" "$PROPAGATE" --allow-downgrade --trusted-key k.pub v1 base
  expect_eq "version after going back" "v1" "$(cat base/version)"
  # --verify names the release installed and checks the SHA-256 it gave each file, beside the MD5.
  local release="Release: velmira version 1, SHA256SUMS $(sha256sum <v1/SHA256SUMS | cut -c1-64)"$'\n'
  expect_run 0 "" "$release" "$PROPAGATE" --verify base
  local source wrong
  source=$(sed -n 's/^file version root root [0-9]* 0100644 \([0-9A-F]*\) .*/\1/p' v1/files.txt)
  wrong=$(printf '1%.0s' {1..64})
  sed -i "s/^[0-9a-f]*  $source\$/$wrong  $source/" base/files.txt.sha256sums
  expect_run 2 "version: SHA-256 $(sha256sum <base/version | cut -c1-64), release $wrong"$'\n' "$release" \
    "$PROPAGATE" --verify base
}

test_trusted_key_directory() {
  require_root || return $SKIP
  make_keys || return $SKIP
  signed_repo repo 1
  mkdir -m 0755 keys
  cp k.pub keys/release.pub
  # Without any trusted key, a signature is not looked at; with one, an unsigned repository is refused.
  rm -rf unsigned && cp -a repo unsigned && rm unsigned/SHA256SUMS*
  expect_run 0 "" "" "$PROPAGATE" unsigned base
  PROPAGATE_TRUSTED_KEYS=$T/keys expect_run 1 "" \
    "Error: unsigned/SHA256SUMS.minisig: Missing: the repository is not signed, and this machine trusts release keys"$'\n' \
    "$PROPAGATE" unsigned base
  PROPAGATE_TRUSTED_KEYS=$T/keys expect_run 0 "" "" "$PROPAGATE" repo base
  chmod 0664 keys/release.pub
  PROPAGATE_TRUSTED_KEYS=$T/keys expect_run 1 "" \
    "Error: $T/keys/release.pub: Refusing a trusted key that is no regular file of root's or that others can write"$'\n' \
    "$PROPAGATE" repo base
  chmod 0644 keys/release.pub
  chmod 0777 keys
  PROPAGATE_TRUSTED_KEYS=$T/keys expect_run 1 "" \
    "Error: $T/keys: Refusing the trusted keys of a directory that is not root's or that others can write (owner 0, mode 0777)"$'\n' \
    "$PROPAGATE" repo base
}

run_tests
