#!/usr/bin/env bash
# Full-import benchmark on Active Directory: N generated users in nested OUs below OU=Bench of
# a fresh Samba domain (filled over LDAPS with bench/gen_directory.py, in batches), imported
# by `norvanectl sync` into a fresh zeltod, then imported again unchanged.
#
#   bench/sync/sync_samba_bench.sh BUILD_DIR [N]      (default N: 100000)
#
# Prints how long filling the domain took, then one line: users read, wall time and users
# per second of the first and the second import, and the peak resident memory of the
# norvanectl process. The domain needs 127.0.0.1:389 and :636, so the script waits for the
# machine's Samba lock as the test fixture does; run it as root. It keeps the domain template
# in BUILD_DIR/fixtures, where the tests of that build keep theirs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: sync_samba_bench.sh BUILD_DIR [N]}" && pwd)
n=${2:-100000}
batch=10000  # entries per ldapadd: one run of samba.sh add has a time limit of its own
ctl=$build/bin/norvanectl
[ -x "$ctl" ] && [ -x "$build/bin/zeltod" ] || { echo "build norvanectl and zeltod first" >&2; exit 1; }

lock=/run/lock/norvane-samba-dc.lock
[ -w /run/lock ] || lock=/tmp/norvane-samba-dc.lock
exec 9>"$lock"
flock 9

state=$build/fixtures
work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-samba-bench-XXXXXX")
samba_up="" zeltod_dir=""
cleanup() {
  [ -n "$samba_up" ] && bash "$root/tests/fixtures/samba.sh" stop "$state" >/dev/null 2>&1 || true
  [ -n "$zeltod_dir" ] && ZELTOD=$build/bin/zeltod bash "$root/tests/fixtures/zeltod.sh" stop "$zeltod_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

fact() { sed -n "s/^$1=//p" "$2" | head -1; }

# One import; prints "users seconds peak_kb".
import_once() {  # base
  local base=$1 out
  out=$( { /usr/bin/time -f 'TIME %e %M' "$ctl" --base "$base" sync >/dev/null; } 2>&1 ) || {
    echo "$out" | tail -5 >&2
    return 1
  }
  local users secs kb
  users=$(echo "$out" | sed -n 's/^部门 [0-9]*  用户 \([0-9]*\)$/\1/p' | tail -1)
  read -r secs kb < <(echo "$out" | sed -n 's/^TIME //p' | tail -1)
  echo "$users $secs $kb"
}

bash "$root/tests/fixtures/samba.sh" start "$state" >"$work/samba.facts"
samba_up=1
base_dn=$(fact BASE_DN "$work/samba.facts")
bench_dn="OU=Bench,$base_dn"
export LDAPTLS_CACERT
LDAPTLS_CACERT=$(fact CA_FILE "$work/samba.facts")

started=$SECONDS
printf 'dn: %s\nchangetype: add\nobjectClass: organizationalUnit\n' "$bench_dn" |
  bash "$root/tests/fixtures/samba.sh" modify "$state" >/dev/null
python3 "$root/bench/gen_directory.py" samba --users "$n" --base "$bench_dn" >"$work/users.ldif"
# Split at record boundaries (blank lines); the OUs come first, so parents precede children.
awk -v batch="$batch" -v dir="$work" '
  BEGIN { RS = ""; ORS = "\n\n"; file = sprintf("%s/part-%05d.ldif", dir, 0) }
  { if (NR > 1 && (NR - 1) % batch == 0) { close(file); file = sprintf("%s/part-%05d.ldif", dir, (NR - 1) / batch) }
    print > file }' "$work/users.ldif"
for part in "$work"/part-*.ldif; do
  bash "$root/tests/fixtures/samba.sh" add "$state" <"$part" >/dev/null
done
fill=$((SECONDS - started))
echo "filled the domain with $n users in ${fill} s"

zeltod_dir=$work/zeltod
ZELTOD=$build/bin/zeltod bash "$root/tests/fixtures/zeltod.sh" start "$zeltod_dir" >"$work/zeltod.facts"
sdk=$(grep -o 'sdk=[0-9.]*:[0-9]*' "$work/zeltod.facts" | cut -d: -f2)
app=$(grep -o 'app=[0-9.]*:[0-9]*' "$work/zeltod.facts" | cut -d: -f2)
base=$work/base
mkdir -p "$base/logs"
port=$(fact PORT "$work/samba.facts")
admin=$(fact ADMIN_ACCOUNT "$work/samba.facts")
password=$(fact ADMIN_PASSWORD "$work/samba.facts")
cat >"$base/LdapConfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<LdapConfig>
  <SysConfig AllowDC="1" StepImport="0" LDAPSVRIP="127.0.0.1" LDAPSVRPort="$port" SDKSVRIP="127.0.0.1" SDKSVRPort="$sdk" APPSVRIP="127.0.0.1" APPSVRPort="$app" ADMIN="$admin" SN="$password" LDAPSVRType="0" DeptMode="0" DC="$bench_dn" SDKCredentialFile="$zeltod_dir/zelto.db.credential"/>
  <AllowDC><ChildDC DCSelect="1" DCName="$bench_dn" LDAPSVRIP="127.0.0.1" LDAPSVRPort="$port" DeptMode="0" ADMIN="$admin" SN="$password"/></AllowDC>
  <ManageSync SameCover="0" AUTHTYPE="1" UpdateTime="0" IfAutoSync="0"/>
  <StartMode StartType="0"/>
  <LimitDC/>
  <LimitUser/>
  <user uid="" name="" email="" mobile="" phone="" position="" gender=""/>
  <AD>
    <UserProperty uid="sAMAccountName" name="displayName" email="mail" mobile="mobile" phone="telephoneNumber" position="title"/>
    <DeptProperty DeptID="distinguishedName" DeptName="distinguishedName" PDeptRelateKey="memberOf"/>
    <SyncScope DeptDomain="$bench_dn;" PDeptKey="" PDeptType="0" UserDomain="$bench_dn;" UserDeptKey="" UserDeptType="0"/>
  </AD>
</LdapConfig>
XML
read -r users1 secs1 kb1 < <(import_once "$base")
read -r users2 secs2 kb2 < <(import_once "$base")
peak=$(( (kb1 > kb2 ? kb1 : kb2) / 1024 ))
printf '%8s %8s %9s %9s %9s %9s %9s\n' N users first_s users/s second_s users/s peak_MB
printf '%8s %8s %9s %9.0f %9s %9.0f %9s\n' "$n" "$users1" "$secs1" \
  "$(echo "$users1 / $secs1" | bc -l)" "$secs2" "$(echo "$users2 / $secs2" | bc -l)" "$peak"
placed=$(ZELTOD=$build/bin/zeltod "$build/bin/zeltoctl" --sdk "127.0.0.1:$sdk" --credential-file "$zeltod_dir/zelto.db.credential" dump | grep -c '{"account": ' || true)
echo "users on the server after the second import: $placed"
