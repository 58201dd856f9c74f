#!/usr/bin/env bash
# Installs what the tests need and is missing, builds the library, the host and the tests, and runs
# every test. --sanitize: an ASan+UBSan build in build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install_deps.sh --test
dir=build; opts=()
if [ "${1:-}" = "--sanitize" ]; then dir=build-asan; opts=(-DPDFEXTRACTIMG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug); fi
# The tests are switched on explicitly: the quick start configures build/ without them.
cmake -S . -B "$dir" -DPDFEXTRACTIMG_TESTS=ON "${opts[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
