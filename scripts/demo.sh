#!/bin/sh
# The demo: shows which object the module returns for every phase.
set -eu
BUILD_DIR=${1:-build}
ROOT="$BUILD_DIR/demo-state"
mkdir -p "$ROOT"
export KAX_ROOT="$(cd "$ROOT" && pwd)"
echo "state root: $KAX_ROOT (logs under $KAX_ROOT/logs)"
"$BUILD_DIR/kaxdispatch" "$BUILD_DIR/libmongodbagent.so"
