#!/bin/sh
# Converts the bundled example meshes with each converter and dumps every
# result. Usage: examples/run.sh [build-folder]
# The build folder defaults to build/ beside examples/; the files go to its
# examples/ folder. Works from any folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
if [ ! -x "$build/bin/kvxconv1" ]; then
    echo "run.sh: no programs in $build/bin; build them first:" >&2
    echo "  cmake -S $(dirname "$here") -B $build && cmake --build $build -j2 --target programs" >&2
    exit 1
fi
build=$(cd "$build" && pwd)
bin=$build/bin
out=$build/examples
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
