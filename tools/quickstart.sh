#!/usr/bin/env bash
# Quick start: installs what is missing, builds the library, the command-line host and the tests,
# then extracts the images of examples/sample.pdf into build/sample-images/ and lists them, as JSON
# and as a table.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
rm -rf build/sample-images
echo
./build/tools/pdfextractimg all examples/sample.pdf build/sample-images
ls -l build/sample-images
echo
echo "JSON listing (./build/tools/pdfextractimg info examples/sample.pdf):"
./build/tools/pdfextractimg info examples/sample.pdf
echo
echo "Table (./build/tools/pdfextractimg list examples/sample.pdf):"
./build/tools/pdfextractimg list examples/sample.pdf
