#!/bin/sh
# Runs some of web/'s tests with Node's test runner, for CTest.
# Usage: run.sh loader|browser|gltf NODE WEB_DIR TEST_FILE...
# Exits 77 (CTest's SKIP_RETURN_CODE) with the reason on standard output when
# something the tests need is missing: node, web/node_modules (npm ci), for
# the browser tests Chromium (/usr/bin/chromium, or $CHROMIUM), for the glTF
# tests the gltf-validator module.
set -eu
kind=$1
node=$2
web=$3
shift 3

skip() {
    echo "SKIPPED: $*"
    exit 77
}

case $node in
    "" | *-NOTFOUND) node=$(command -v node || true) ;;
esac
[ -n "$node" ] && [ -x "$node" ] || skip "node (Node.js) is not installed"
major=$("$node" -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
[ "$major" -ge 18 ] || skip "node $("$node" --version 2>/dev/null) is too old (Node.js 18 or later runs these tests)"
[ -f "$web/node_modules/three/package.json" ] || skip "$web/node_modules is missing: run 'npm ci' in $web"

if [ "$kind" = browser ]; then
    [ -f "$web/node_modules/puppeteer-core/package.json" ] || skip "puppeteer-core is missing: run 'npm ci' in $web"
    chromium=${CHROMIUM:-/usr/bin/chromium}
    [ -x "$chromium" ] || skip "no Chromium at $chromium (install Debian's chromium, or set CHROMIUM)"
fi

if [ "$kind" = gltf ]; then
    [ -f "$web/node_modules/gltf-validator/package.json" ] || skip "gltf-validator is missing: run 'npm ci' in $web"
fi

cd "$web"
exec "$node" --test "$@"
