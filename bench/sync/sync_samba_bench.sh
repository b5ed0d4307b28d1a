#!/usr/bin/env bash
# Full-import benchmark on Active Directory: N generated users in nested OUs below OU=Bench of
# a fresh Samba domain (filled over LDAPS with bench/gen_directory.py, in batches, as the
# fixture adds entries), imported by `norvanectl sync` into a fresh zeltod, then imported
# again unchanged. The domain keeps its database in Samba's mdb backend: the default tdb
# slows down with every entry, and its filling alone takes hours at 100,000 users.
#
#   bench/sync/sync_samba_bench.sh BUILD_DIR [N]      (default N: 100000)
#
# NORVANE_BENCH_FILL_SECONDS=S stops filling before the batch that would end past S seconds
# (the import then reads the users added so far); NORVANE_BENCH_CPU_LOCK=FILE holds that
# lock around each import only, so a long fill does not keep others' builds waiting.
#
# Prints each batch as it is added and how long filling the domain took, then one line: users read, wall time and users
# per second of the first and the second import, and the peak resident memory of the
# norvanectl process. The domain needs 127.0.0.1:389 and :636, so the script waits for the
# machine's Samba lock as the test fixture does; run it as root. It keeps the domain template
# in BUILD_DIR/fixtures, where the tests of that build keep theirs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: sync_samba_bench.sh BUILD_DIR [N]}" && pwd)
n=${2:-100000}
batch=5000  # entries per ldapadd: one run of samba.sh add has a time limit of its own
export NORVANE_SAMBA_BACKEND_STORE=mdb
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
. "$here/bench_lib.sh"

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
parts=("$work"/part-*.ldif)
budget=${NORVANE_BENCH_FILL_SECONDS:-0}
last=0 added=0
for part in "${parts[@]}"; do
  if [ "$budget" -gt 0 ] && [ $((SECONDS - started + last)) -gt "$budget" ]; then
    echo "fill budget of $budget s reached: stopping after $added of ${#parts[@]} batches" >&2
    break
  fi
  batch_started=$SECONDS
  bash "$root/tests/fixtures/samba.sh" add "$state" <"$part" >/dev/null
  last=$((SECONDS - batch_started))
  added=$((added + 1))
  echo "batch $added/${#parts[@]} added in $last s, $((SECONDS - started)) s so far" >&2
done
fill=$((SECONDS - started))
filled=$(cat "${parts[@]:0:added}" | grep -c '^sAMAccountName: ' || true)
echo "filled the domain with $filled of $n users in ${fill} s"

zeltod_dir=$work/zeltod
ZELTOD=$build/bin/zeltod bash "$root/tests/fixtures/zeltod.sh" start "$zeltod_dir" >"$work/zeltod.facts"
sdk=$(grep -o 'sdk=[0-9.]*:[0-9]*' "$work/zeltod.facts" | cut -d: -f2)
app=$(grep -o 'app=[0-9.]*:[0-9]*' "$work/zeltod.facts" | cut -d: -f2)
port=$(fact PORT "$work/samba.facts")
admin=$(fact ADMIN_ACCOUNT "$work/samba.facts")
password=$(fact ADMIN_PASSWORD "$work/samba.facts")
base=$work/base
write_bench_config "$base" "$port" "$sdk" "$app" "$admin" "$password" 0 "$bench_dn" "$zeltod_dir"
read -r users1 secs1 kb1 < <(import_once "$ctl" "$base")
read -r users2 secs2 kb2 < <(import_once "$ctl" "$base")
print_header
print_row "$filled" "$users1" "$secs1" "$kb1" "$users2" "$secs2" "$kb2"
echo "users placed on the server after the second import: $(placed_users "$zeltod_dir")"
