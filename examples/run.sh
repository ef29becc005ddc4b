#!/bin/sh
# Converts the bundled example meshes with each converter and dumps every
# result. Usage: examples/run.sh [build-folder]  (default: build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-build}/bin
out=${1:-build}/examples
mkdir -p "$out"

run() {
    echo "\$ $*"
    "$@"
    echo
}

run "$bin/kvxconv1" "$here/cube3.cmsh" "$out/cube-v1.kvx"
run "$bin/kvxconv2" "$here/cube7.cmsh" "$out/cube-v2.kvx"
run "$bin/kvxconv3" "$here/cube7.cmsh" "$out/cube-v3.kvx"
run "$bin/kvxconv4" "$here/cube9.cmsh" "$out/cube-v4.kvx"
run "$bin/kvxpoints" "$here/cube7.cmsh" "$out/cube-points.kvx"
run "$bin/kvxwire" "$here/cube7.cmsh" "$out/cube-wire.kvx"
for file in v1 v2 v3 v4 points wire; do
    run "$bin/kvxdump" "$out/cube-$file.kvx"
done
