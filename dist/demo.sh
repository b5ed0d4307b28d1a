#!/usr/bin/env bash
# The demo: the main job of Norvane on the bundled sample data, in a build tree.
#   dist/demo.sh BUILD_DIR
set -euo pipefail
BUILD=${1:?usage: demo.sh BUILD_DIR}
BUILD=$(cd "$BUILD" && pwd)

echo "== The configuration Norvane loads from $BUILD/LdapConfig.xml"
"$BUILD/bin/norvanectl" --base "$BUILD" config show
