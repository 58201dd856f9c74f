#!/usr/bin/env bash
# Installs what building and testing need and a fresh Debian machine lacks. Does nothing when all
# are present. Uses sudo when not run as root. Test oracles serve the tests only; the library links
# none of them.
set -euo pipefail
packages=(
  cmake g++ make libgtest-dev   # build and unit tests
  zlib1g-dev                    # oracle: inflate and deflate
  libtiff-dev                   # oracle: CCITT fax
  poppler-utils                 # oracle: pdfimages lists what another reader finds
  openssl                       # oracle: hashes and ciphers
  jbig2dec                      # oracle: JBIG2
  libopenjp2-tools img2pdf      # oracle and producers: JPEG 2000
  qpdf                          # producer and oracle: encrypted files and their decrypted copies
  pkg-config groff-base         # install and man page tests
  python3 python3-pytest python3-venv python3-pip python3-setuptools python3-wheel  # Python package
  python3-dask python3-distributed  # the Dask recipe's test
)
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
