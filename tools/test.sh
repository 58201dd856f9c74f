#!/usr/bin/env bash
# Builds the library and its tests and runs every test. --sanitize: an ASan+UBSan build in build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install_deps.sh
dir=build; opts=()
if [ "${1:-}" = "--sanitize" ]; then dir=build-asan; opts=(-DPDFEXTRACTIMG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug); fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
