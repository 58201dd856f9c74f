#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, and nothing when all is present (sudo when not root).
#   tools/install_deps.sh          what building and running need: a compiler, CMake, make
#   tools/install_deps.sh --test   that, and what the tests need: GoogleTest, the test oracles and
#                                  peers, Python with pytest, Pillow and numpy, Chromium
# The library links none of the oracles; they serve the tests only.
set -euo pipefail
packages=(cmake g++ make)      # the library and the command-line host
if [ "${1:-}" = "--test" ]; then
  packages+=(
    libgtest-dev                # unit tests
    zlib1g-dev                  # oracle: inflate and deflate
    libtiff-dev                 # oracle: CCITT fax
    poppler-utils               # oracle and peer: pdfimages lists what another reader finds
    openssl                     # oracle: hashes and ciphers
    jbig2dec                    # oracle: JBIG2
    libopenjp2-tools img2pdf    # oracle and producers: JPEG 2000
    qpdf                        # producer and oracle: encrypted files and their decrypted copies
    pkg-config groff-base       # install and man page tests
    python3 python3-pytest python3-venv python3-pip python3-setuptools python3-wheel  # Python package
    python3-pil python3-numpy   # ExtractedImage.to_pil and to_numpy, the gallery screenshot's pixels
    python3-dask python3-distributed  # the Dask recipe's test
    chromium                    # the galleries (--html) opened in a headless browser
  )
elif [ $# -gt 0 ]; then
  echo "usage: $0 [--test]" >&2
  exit 2
fi
need=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "installing: ${need[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${need[@]}"
