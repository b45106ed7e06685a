#!/usr/bin/env bash
# Configures and builds the tree (set-up included) into ${VADUNA_BUILD_DIR:-build}.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/tools/setup.sh"
build="${VADUNA_BUILD_DIR:-$root/build}"
if [ ! -f "$build/build.ninja" ]; then
  # ccache, where a developer has it, makes rebuilds in fresh folders cheap.
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
fi
cmake --build "$build"
