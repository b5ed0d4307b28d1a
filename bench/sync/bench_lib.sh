# Shared by the full-import benchmarks (sourced, not run): reading fixture facts, writing a
# base folder's configuration, one timed import and the result rows.

fact() { sed -n "s/^$1=//p" "$2" | head -1; }

# Writes BASE/LdapConfig.xml for one directory of TYPE (0 Active Directory, 1 Domino) whose
# departments and users are all below DC; the Zelto server is the one started in ZELTOD_DIR,
# whose credential file the import sends.
write_bench_config() {  # base port sdk app admin password type dc zeltod_dir
  local base=$1 port=$2 sdk=$3 app=$4 admin=$5 password=$6 type=$7 dc=$8 zeltod_dir=$9
  local element=AD uid=sAMAccountName name=displayName dept=distinguishedName
  if [ "$type" != 0 ]; then element=DominoDirectory uid=uid name=cn dept=dn; fi
  mkdir -p "$base/logs"
  cat >"$base/LdapConfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<LdapConfig>
  <SysConfig AllowDC="1" StepImport="0" LDAPSVRIP="127.0.0.1" LDAPSVRPort="$port" SDKSVRIP="127.0.0.1" SDKSVRPort="$sdk" APPSVRIP="127.0.0.1" APPSVRPort="$app" ADMIN="$admin" SN="$password" LDAPSVRType="$type" DeptMode="0" DC="$dc" SDKCredentialFile="$zeltod_dir/zelto.db.credential" RequireTLS="0"/>
  <AllowDC><ChildDC DCSelect="1" DCName="$dc" LDAPSVRIP="127.0.0.1" LDAPSVRPort="$port" DeptMode="0" ADMIN="$admin" SN="$password"/></AllowDC>
  <ManageSync SameCover="0" AUTHTYPE="1" UpdateTime="0" IfAutoSync="0"/>
  <StartMode StartType="0"/>
  <LimitDC/>
  <LimitUser/>
  <user uid="" name="" email="" mobile="" phone="" position="" gender=""/>
  <$element>
    <UserProperty uid="$uid" name="$name" email="mail" mobile="mobile" phone="telephoneNumber" position="title"/>
    <DeptProperty DeptID="$dept" DeptName="$dept" PDeptRelateKey="memberOf"/>
    <SyncScope DeptDomain="$dc;" PDeptKey="" PDeptType="0" UserDomain="$dc;" UserDeptKey="" UserDeptType="0"/>
  </$element>
</LdapConfig>
XML
}

# One `norvanectl sync` of a base folder, holding the lock NORVANE_BENCH_CPU_LOCK names (if
# any) while it runs; prints "users seconds peak_kb".
import_once() {  # ctl base
  local ctl=$1 base=$2 out
  local -a lock=()
  [ -n "${NORVANE_BENCH_CPU_LOCK:-}" ] && lock=(flock "$NORVANE_BENCH_CPU_LOCK")
  out=$( { "${lock[@]}" /usr/bin/time -f 'TIME %e %M' "$ctl" --base "$base" sync >/dev/null; } 2>&1 ) || {
    echo "$out" | tail -5 >&2
    return 1
  }
  local users secs kb
  users=$(echo "$out" | sed -n 's/^部门 [0-9]*  用户 \([0-9]*\)$/\1/p' | tail -1)
  read -r secs kb < <(echo "$out" | sed -n 's/^TIME //p' | tail -1)
  echo "$users $secs $kb"
}

# With "read": the columns of read_s (the time the directory takes to hand over the same
# entries), the first import as a multiple of it and the second as a share of the first.
print_header() {  # [read]
  printf '%8s %8s %9s %9s %9s %9s %9s' N users first_s users/s second_s users/s peak_MB
  [ "${1:-}" = read ] && printf ' %9s %9s %9s' read_s first/read second/first
  printf '\n'
}

print_row() {  # n users1 secs1 kb1 users2 secs2 kb2 [read_s]
  local peak=$((($4 > $7 ? $4 : $7) / 1024))
  printf '%8s %8s %9s %9.0f %9s %9.0f %9s' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)" "$6" \
    "$(echo "$5 / $6" | bc -l)" "$peak"
  [ -n "${8:-}" ] && printf ' %9.2f %9.1f %9.2f' "$8" "$(echo "$3 / $8" | bc -l)" \
    "$(echo "$6 / $3" | bc -l)"
  printf '\n'
}

# Users with a department on the server, read from zeltod's database (a dump of 100,000
# users is larger than one SDK answer may be).
placed_users() {  # zeltod_dir
  python3 -c 'import sqlite3, sys
db = sqlite3.connect("file:" + sys.argv[1] + "?mode=ro", uri=True)
print(db.execute("SELECT COUNT(DISTINCT user_id) FROM member").fetchone()[0])' "$1/zelto.db"
}
