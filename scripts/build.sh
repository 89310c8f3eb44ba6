#!/usr/bin/env bash
# Configures and builds the project into build/ (or $BUILD_DIR): every
# target, or only the targets named as arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${CMAKE_EXTRA_ARGS:-} >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$BUILD_DIR" --parallel "$(nproc)" --target "$@"
else
  cmake --build "$BUILD_DIR" --parallel "$(nproc)"
fi
