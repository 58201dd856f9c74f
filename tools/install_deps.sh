#!/usr/bin/env bash
# Installs what building and testing need and a fresh Debian machine lacks: cmake, g++, make,
# GoogleTest and zlib, OpenJPEG's tools and img2pdf (these serve the tests only: independent
# oracles, and producers of JPEG 2000 files). Does nothing when all are present. Uses sudo when
# not run as root.
set -euo pipefail
need=()
for p in cmake g++ make libgtest-dev zlib1g-dev libopenjp2-tools img2pdf; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "installing: ${need[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${need[@]}"
