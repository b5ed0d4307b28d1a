#!/usr/bin/env bash
# The demo: a full import of the bundled sample directory into a Zelto server, in a build
# tree. Starts slapd with res/sample/directory.ldif and a fresh zeltod on free loopback
# ports, writes a configuration for them, runs `norvanectl sync` and prints the imported
# tree. Both servers are stopped at the end.
#   dist/demo.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
STATE=$BUILD/demo
FIXTURES=$SRC/tests/fixtures

slapd_run=""
zelto_dir=""
cleanup() {
  [ -n "$zelto_dir" ] && ZELTOD=$BUILD/bin/zeltod "$FIXTURES/zeltod.sh" stop "$zelto_dir" >/dev/null 2>&1 || true
  [ -n "$slapd_run" ] && "$FIXTURES/slapd.sh" stop "$slapd_run" >/dev/null 2>&1 || true
}
trap cleanup EXIT

rm -rf "$STATE"
mkdir -p "$STATE/base/logs"

echo "== Starting the sample directory (slapd, $(grep -c '^dn:' "$SRC/res/sample/directory.ldif") entries)"
# With a certificate of a test CA made now: Norvane reads a directory over TLS only.
facts=$("$FIXTURES/slapd.sh" start "$STATE/slapd" --bare --tls --ldif "$SRC/res/sample/directory.ldif")
fact() { printf '%s\n' "$facts" | sed -n "s/^$1=//p" | head -n 1; }
slapd_run=$(fact RUN_DIR)
ldap_port=$(fact PORT)
admin_dn=$(fact ADMIN_DN)
admin_password=$(fact ADMIN_PASSWORD)
# The demo CA is trusted the OpenLDAP way, as a CA of a real directory would be in ldap.conf.
export LDAPTLS_CACERT
LDAPTLS_CACERT=$(fact CA_FILE)
echo "   ldap://127.0.0.1:$ldap_port/ o=corp (StartTLS, CA $LDAPTLS_CACERT)"

echo "== Starting the Zelto server (zeltod)"
zfacts=$(ZELTOD=$BUILD/bin/zeltod "$FIXTURES/zeltod.sh" start "$STATE/zelto")
zelto_dir=$STATE/zelto
app=$(printf '%s\n' "$zfacts" | sed -n 's/.*app=\([^ ]*\).*/\1/p')
sdk=$(printf '%s\n' "$zfacts" | sed -n 's/.*sdk=\([^ ]*\).*/\1/p')
credential=$(printf '%s\n' "$zfacts" | sed -n 's/.*credential=\([^ ]*\).*/\1/p')
echo "   application server $app, SDK server $sdk"

echo "== Writing the demo configuration $STATE/base/LdapConfig.xml"
protected=$(printf '%s' "$admin_password" | "$BUILD/bin/norvanectl" config protect-password)
python3 - "$SRC/res/LdapConfig.xml" "$STATE/base/LdapConfig.xml" "$ldap_port" "$admin_dn" \
  "$protected" "$sdk" "$app" "$credential" <<'PY'
import sys
import xml.etree.ElementTree as ET
src, dst, port, admin, sn, sdk, app, credential = sys.argv[1:]
tree = ET.parse(src)
root = tree.getroot()
sys_config = root.find("SysConfig")
sdk_host, sdk_port = sdk.rsplit(":", 1)
app_host, app_port = app.rsplit(":", 1)
sys_config.attrib.update({
    "LDAPSVRIP": "127.0.0.1", "LDAPSVRPort": port, "ADMIN": admin, "SN": sn,
    "LDAPSVRType": "1", "DeptMode": "0", "DC": "o=corp",
    "SDKSVRIP": sdk_host, "SDKSVRPort": sdk_port, "APPSVRIP": app_host, "APPSVRPort": app_port,
    "SDKCredentialFile": credential,
})
allow = root.find("AllowDC")
for child in list(allow):
    allow.remove(child)
ET.SubElement(allow, "ChildDC", {
    "DCSelect": "1", "DCName": "o=corp", "LDAPSVRIP": "127.0.0.1", "LDAPSVRPort": port,
    "DeptMode": "0", "ADMIN": admin, "SN": sn})
tree.write(dst, encoding="UTF-8", xml_declaration=True)
PY

echo "== norvanectl sync"
start=$(date +%s.%N)
"$BUILD/bin/norvanectl" --base "$STATE/base" sync
end=$(date +%s.%N)
python3 -c "print('   full import took %.2f s' % ($end - $start))"

echo "== zeltoctl tree"
"$BUILD/bin/zeltoctl" --sdk "$sdk" --app "$app" --credential-file "$credential" tree
