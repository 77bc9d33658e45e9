#!/bin/sh
# fuzz/smoke.sh CLANGXX BUILD_DIR [TARGET RUNS]
# Without a target: configures and builds the fuzz targets with clang.
# With one: runs it over its seed corpus, then RUNS fuzzing executions from
# a fixed seed (new inputs go to BUILD_DIR/found-TARGET, not the corpus).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
clangxx=$1
build=$2
if [ $# -eq 2 ]; then
  cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$clangxx" >/dev/null
  exec cmake --build "$build" -j2
fi
target=$3
runs=$4
mkdir -p "$build/found-$target"
exec "$build/${target}_fuzzer" -seed=1 -runs="$runs" -print_final_stats=1 \
  -artifact_prefix="$build/found-$target/" "$build/found-$target" "$here/corpus/$target"
