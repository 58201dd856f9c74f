#!/bin/sh
# run_peers.sh - times `pdfextractimg all` against poppler's `pdfimages -all` and MuPDF's
# `mutool extract` on the generated benchmark PDFs, side by side in one run.
#
#   bench/run_peers.sh [--runs N] [--quick] [--dir DIR] [--out DIR] [--build DIR]
#                      [--files "photo small jpeg big ..."] [--peers "pdfimages mutool"] [--before HOST]
#
# --runs N    runs of each tool on each file (default 5); the three tools alternate, and the one
#             that goes first rotates from run to run
# --quick     smaller PDFs (10 photo and grainy pages, 20 JPEG and jpeghq pages, a 30 MB big.pdf)
#             for a fast look
# --files L   the files to time (default "photo small jpeg big"; also jpeghq, grainy and many, see
#             bench/make_bench_pdfs.cpp)
# --dir DIR   scratch directory for the PDFs and the tools' output (default /tmp/qv-bench);
#             never inside the repository
# --out DIR   where the tools write their images instead (emptied before each run; /dev/shm takes
#             the disk's own delays out of the figures)
# --build DIR build directory (default build-perf: Release, -O2, benchmarks on), configured and
#             built here when needed
# --peers L   the peers to run (default both; pdfimages takes minutes per run on the photo file)
# --before H  an earlier build's command-line host, timed as a fourth tool ("before") beside the
#             others, to compare a change with its starting point in the same run
#
# Prints, per file and tool, the median wall time (s, to the millisecond) and median peak resident
# memory (KB, from /usr/bin/time -f %M), and the ratios pdfextractimg / peer (below 1:
# pdfextractimg is better).
# Installs poppler-utils, mupdf-tools, time and python3-pil with apt-get when they are missing.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
quick=0
dir=/tmp/qv-bench
build="$root/build-perf"
files="photo small jpeg big"
peers="pdfimages mutool"
before=""
out=""
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    --dir) dir=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --peers) peers=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--quick] [--dir DIR] [--out DIR] [--build DIR] [--files LIST] [--peers LIST] [--before HOST]" >&2; exit 2 ;;
    esac
done
case "$dir" in "$root"|"$root"/*) echo "run_peers.sh: --dir must lie outside the repository" >&2; exit 2 ;; esac

# Peers and helpers.
need=""
command -v pdfimages >/dev/null 2>&1 || need="$need poppler-utils"
command -v mutool >/dev/null 2>&1 || need="$need mupdf-tools"
[ -x /usr/bin/time ] || need="$need time"
/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1 || need="$need python3-pil"
if [ -n "$need" ]; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq $need >/dev/null
fi

# The library, the command-line host and the generator.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DPDFEXTRACTIMG_BENCH=ON >/dev/null
fi
cmake --build "$build" --target pdfextractimg make_bench_pdfs -j2 >/dev/null
qv="$build/tools/pdfextractimg"
gen="$build/bench/make_bench_pdfs"

# The PDFs, made again when the generator or the mode changed.
mkdir -p "$dir"
stamp="quick=$quick $(cksum <"$root/bench/make_bench_pdfs.cpp")"
if [ ! -f "$dir/stamp" ] || [ "$(cat "$dir/stamp")" != "$stamp" ]; then
    echo "Generating benchmark PDFs in $dir ..."
    "$gen" ppm "$dir/big.ppm" 2000 1500
    "$gen" ppm "$dir/small.ppm" 64 48
    /usr/bin/python3 -c "
from PIL import Image
Image.open('$dir/big.ppm').save('$dir/big.jpg', quality=85)
Image.open('$dir/big.ppm').save('$dir/fine.jpg', quality=95)
Image.open('$dir/small.ppm').save('$dir/small.jpg', quality=85)"
    if [ "$quick" = 1 ]; then
        "$gen" pdfs "$dir" "$dir/big.jpg" "$dir/small.jpg" "$dir/fine.jpg" --quick
    else
        "$gen" pdfs "$dir" "$dir/big.jpg" "$dir/small.jpg" "$dir/fine.jpg"
    fi
    echo "$stamp" >"$dir/stamp"
fi

[ -n "$out" ] || out="$dir/out"
out="$out/qv-peers-out"
times="$dir/times.txt"
: >"$times"

# run TOOL FILE: one timed run into an empty output directory; appends "file tool secs kb files".
# The wall time is taken around the run in nanoseconds (/usr/bin/time gives hundredths).
run() {
    rm -rf "$out"
    mkdir -p "$out"
    sync  # the previous run's files reach the disk first, not during this run
    t0=$(date +%s%N)
    case "$1" in
    pdfextractimg) /usr/bin/time -f "%M" -o "$dir/t" "$qv" all "$dir/$2.pdf" "$out" >/dev/null ;;
    before) /usr/bin/time -f "%M" -o "$dir/t" "$before" all "$dir/$2.pdf" "$out" >/dev/null ;;
    pdfimages) /usr/bin/time -f "%M" -o "$dir/t" pdfimages -all "$dir/$2.pdf" "$out/img" ;;
    mutool) (cd "$out" && /usr/bin/time -f "%M" -o "$dir/t" mutool extract "$dir/$2.pdf" >/dev/null 2>&1) ;;
    esac
    t1=$(date +%s%N)
    echo "$2 $1 $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }') $(tail -n 1 "$dir/t") $(ls "$out" | wc -l)" >>"$times"
}

tools="pdfextractimg pdfimages mutool"
[ -z "$before" ] || { tools="$tools before"; peers="$peers before"; }
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $runs runs"
for f in $files; do
    [ -f "$dir/$f.pdf" ] || continue
    i=0
    while [ "$i" -lt "$runs" ]; do
        case $((i % 3)) in
        0) order="pdfextractimg pdfimages before mutool" ;;
        1) order="pdfimages before mutool pdfextractimg" ;;
        *) order="mutool pdfextractimg pdfimages before" ;;
        esac
        for t in $order; do
            case " pdfextractimg $peers " in *" $t "*) run "$t" "$f" ;; esac
        done
        i=$((i + 1))
    done
done
rm -rf "$out" "$dir/t"

# Medians and ratios.
awk -v tools="$tools" '
function median(list,    n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{ key = $1 SUBSEP $2; secs[key] = secs[key] " " $3; kb[key] = kb[key] " " $4; nfiles[key] = $5
  if (!($1 in seen)) { seen[$1] = 1; order[++nf] = $1 } }
END {
    nt = split(tools, tl, " ")
    printf "%-8s %-14s %9s %10s %7s %11s %10s\n", "file", "tool", "wall s", "peak KB", "files", "time qv/x", "mem qv/x"
    for (i = 1; i <= nf; i++) {
        f = order[i]
        qs = median(secs[f SUBSEP tl[1]]); qm = median(kb[f SUBSEP tl[1]])
        for (j = 1; j <= nt; j++) {
            k = f SUBSEP tl[j]
            if (!(k in secs)) continue
            s = median(secs[k]); m = median(kb[k])
            if (j == 1) printf "%-8s %-14s %9.3f %10d %7d %11s %10s\n", f, tl[j], s, m, nfiles[k], "", ""
            else printf "%-8s %-14s %9.3f %10d %7d %11.2f %10.2f\n", f, tl[j], s, m, nfiles[k], (s > 0 ? qs / s : 0), (m > 0 ? qm / m : 0)
        }
    }
}' "$times"
