#!/bin/sh
# hash_outputs.sh - fingerprints everything pdfextractimg produces for a set of PDFs, so that an
# optimisation can be checked to leave every output byte unchanged:
#
#   bench/hash_outputs.sh PDFEXTRACTIMG_BINARY FILE.pdf... > before.txt
#   (change, rebuild)
#   bench/hash_outputs.sh PDFEXTRACTIMG_BINARY FILE.pdf... | diff before.txt -
#
# Per PDF: the exit code and output of `all` with the SHA-256 of every file written, the JSON of
# `info`, the number printed by `count`, and the first page's `page` output.
set -u
bin=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for f in "$@"; do
    echo "== $(basename "$f")"
    "$bin" all "$f" "$tmp/all" >"$tmp/msg" 2>&1
    echo "all rc=$? $(sed "s|$tmp|TMP|g" "$tmp/msg")"
    if [ -d "$tmp/all" ]; then (cd "$tmp/all" && ls | sort | xargs -r sha256sum); fi
    rm -rf "$tmp/all"
    echo "info rc=$("$bin" info "$f" >"$tmp/msg" 2>&1; echo $?) $(sha256sum <"$tmp/msg" | cut -c1-64)"
    echo "count rc=$("$bin" count "$f" >"$tmp/msg" 2>&1; echo $?) $(cat "$tmp/msg")"
    "$bin" page "$f" 1 "$tmp/page" >"$tmp/msg" 2>&1
    echo "page 1 rc=$? $(sed "s|$tmp|TMP|g" "$tmp/msg")"
    if [ -d "$tmp/page" ]; then (cd "$tmp/page" && ls | sort | xargs -r sha256sum); fi
    rm -rf "$tmp/page"
done
