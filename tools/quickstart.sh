#!/usr/bin/env bash
# Quick start: installs what building needs and is missing, builds the library and the
# command-line host (not the tests: ./tools/test.sh builds and runs them), then extracts the images
# of examples/sample.pdf into build/sample-images/ with a gallery page, and lists them as JSON and
# as a table.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPDFEXTRACTIMG_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target pdfextractimg
rm -rf build/sample-images
echo
./build/tools/pdfextractimg all --html examples/sample.pdf build/sample-images
ls -l build/sample-images
echo
echo "JSON listing (./build/tools/pdfextractimg info examples/sample.pdf):"
./build/tools/pdfextractimg info examples/sample.pdf
echo
echo "Table (./build/tools/pdfextractimg list examples/sample.pdf):"
./build/tools/pdfextractimg list examples/sample.pdf
echo
echo "Open build/sample-images/index.html in a browser to see them."
