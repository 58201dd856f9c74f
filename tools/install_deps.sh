#!/usr/bin/env bash
# Installs what building and testing need and a fresh Debian machine lacks: cmake, g++, make,
# GoogleTest and zlib (zlib serves the tests only, as an independent oracle); pkg-config and groff
# for the install and man page tests; Debian's python3 with pytest, venv, pip, setuptools and wheel
# for the Python package and its tests, and dask with distributed for the Dask recipe's test. Does
# nothing when all are present. Uses sudo when not run as root.
set -euo pipefail
need=()
for p in cmake g++ make libgtest-dev zlib1g-dev pkg-config groff-base \
         python3 python3-pytest python3-venv python3-pip python3-setuptools python3-wheel \
         python3-dask python3-distributed; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "installing: ${need[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${need[@]}"
