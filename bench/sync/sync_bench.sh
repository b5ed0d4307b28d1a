#!/usr/bin/env bash
# Full-import benchmark: N generated users in nested OUs in slapd (loaded with slapadd),
# imported by `norvanectl sync` into a fresh zeltod, then imported again unchanged.
#
#   bench/sync/sync_bench.sh BUILD_DIR [N...]      (default N: 10000 50000)
#
# Prints one line per N: users read, wall time and users per second of the first and the
# second import, the peak resident memory of the norvanectl process, and read_s: the time
# ldapsearch takes to read the same users' entries from the same slapd (paged, 500 a page),
# the floor an import cannot go below; then the first import's time as a multiple of
# read_s and the second's as a share of the first. At the end, the ratio of the largest N's
# first-import time to the smallest's. After each row, the time of `norvanectl sync --dry-run
# --json` (the change plan, nothing written) beside read_s: before the first import (a plan that
# adds every user) and after the second (nothing to change).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: sync_bench.sh BUILD_DIR [N...]}" && pwd)
shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 50000)
ctl=$build/bin/norvanectl
[ -x "$ctl" ] && [ -x "$build/bin/zeltod" ] || { echo "build norvanectl and zeltod first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-sync-bench-XXXXXX")
slapd_run="" zeltod_dir=""
cleanup() {
  [ -n "$slapd_run" ] && bash "$root/tests/fixtures/slapd.sh" stop "$slapd_run" >/dev/null 2>&1 || true
  [ -n "$zeltod_dir" ] && ZELTOD=$build/bin/zeltod bash "$root/tests/fixtures/zeltod.sh" stop "$zeltod_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/bench_lib.sh"

# The users' entries as the import reads them, timed; prints "entries seconds".
read_once() {  # port admin_dn password_file
  local start end entries
  start=$(date +%s.%N)
  entries=$(ldapsearch -LLL -x -H "ldap://127.0.0.1:$1" -D "$2" -y "$3" -b o=corp \
    -E pr=500/noprompt '(&(|(objectClass=user)(objectClass=person))(uid=*))' '*' |
    grep -c '^dn:')
  end=$(date +%s.%N)
  echo "$entries $(echo "$end - $start" | bc -l)"
}

# One dry run, timed; prints "seconds changes". Exit status 2 (changes pending) is success.
dry_once() {  # base
  local start end rc=0
  start=$(date +%s.%N)
  "$ctl" --base "$1" sync --dry-run --json >"$work/plan.json" 2>/dev/null || rc=$?
  end=$(date +%s.%N)
  [ $rc -eq 0 ] || [ $rc -eq 2 ] || { echo "dry run failed ($rc)" >&2; exit 1; }
  echo "$(echo "$end - $start" | bc -l) $(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["changes"])' "$work/plan.json")"
}

declare -A first_time
print_header read
for n in "${sizes[@]}"; do
  bash "$root/tests/fixtures/slapd.sh" start "$work/slapd-$n" --bare --users "$n" >"$work/slapd-$n.facts"
  slapd_run=$(fact RUN_DIR "$work/slapd-$n.facts")
  zeltod_dir=$work/zeltod-$n
  ZELTOD=$build/bin/zeltod bash "$root/tests/fixtures/zeltod.sh" start "$zeltod_dir" >"$work/zeltod-$n.facts"
  sdk=$(grep -o 'sdk=[0-9.]*:[0-9]*' "$work/zeltod-$n.facts" | cut -d: -f2)
  app=$(grep -o 'app=[0-9.]*:[0-9]*' "$work/zeltod-$n.facts" | cut -d: -f2)
  port=$(fact PORT "$work/slapd-$n.facts")
  admin=$(fact ADMIN_DN "$work/slapd-$n.facts")
  password=$(fact ADMIN_PASSWORD "$work/slapd-$n.facts")
  base=$work/base-$n
  write_bench_config "$base" "$port" "$sdk" "$app" "$admin" "$password" 1 o=corp "$zeltod_dir"
  (umask 077; printf '%s' "$password" >"$work/pw-$n")
  read -r entries read_s < <(read_once "$port" "$admin" "$work/pw-$n")
  [ "$entries" -ge "$n" ] || { echo "ldapsearch read $entries entries, not $n" >&2; exit 1; }
  read -r dry1 changes1 < <(dry_once "$base")
  read -r users1 secs1 kb1 < <(import_once "$ctl" "$base")
  read -r users2 secs2 kb2 < <(import_once "$ctl" "$base")
  read -r dry2 changes2 < <(dry_once "$base")
  first_time[$n]=$secs1
  print_row "$n" "$users1" "$secs1" "$kb1" "$users2" "$secs2" "$kb2" "$read_s"
  echo "users placed on the server: $(placed_users "$zeltod_dir")"
  printf 'dry run: %.2f s for a plan of %s changes (%.2f x read_s), %.2f s with %s changes (%.2f x read_s)\n' \
    "$dry1" "$changes1" "$(echo "$dry1 / $read_s" | bc -l)" "$dry2" "$changes2" \
    "$(echo "$dry2 / $read_s" | bc -l)"
  bash "$root/tests/fixtures/slapd.sh" stop "$slapd_run" >/dev/null; slapd_run=""
  ZELTOD=$build/bin/zeltod bash "$root/tests/fixtures/zeltod.sh" stop "$zeltod_dir" >/dev/null; zeltod_dir=""
done
if [ ${#sizes[@]} -ge 2 ]; then
  lo=${sizes[0]} hi=${sizes[-1]}
  printf 'ratio of first-import time, N=%s / N=%s: %.2f\n' "$hi" "$lo" \
    "$(echo "${first_time[$hi]} / ${first_time[$lo]}" | bc -l)"
fi
