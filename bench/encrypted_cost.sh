#!/bin/sh
# encrypted_cost.sh - what decryption adds to `pdfextractimg all`: one PDF as qpdf encrypts it
# with AES-256 (revision 6) and with RC4-128, against the same file decrypted again by qpdf (so
# that the three differ only in their encryption), timed in alternation in one run.
#
#   bench/encrypted_cost.sh PDFEXTRACTIMG_BINARY FILE.pdf [RUNS] [DIR]
#
# RUNS: runs of each variant (default 5); the variant that goes first rotates from run to run.
# DIR: scratch directory for the three PDFs and the output (default /tmp/qv-encrypted-cost).
# Checks once that the three give the same image files, then prints per variant the median wall
# time and the median CPU time (user + system, all threads) and their ratios to the clear file.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 PDFEXTRACTIMG_BINARY FILE.pdf [RUNS] [DIR]" >&2; exit 2; }
bin=$1; src=$2; runs=${3:-5}; dir=${4:-/tmp/qv-encrypted-cost}
mkdir -p "$dir"
qpdf --encrypt "" owner 256 -- "$src" "$dir/aes256.pdf"
qpdf --allow-weak-crypto --encrypt "" owner 128 -- "$src" "$dir/rc4.pdf"
qpdf --decrypt "$dir/aes256.pdf" "$dir/clear.pdf"

variants="clear aes256 rc4"
for v in $variants; do
    rm -rf "$dir/out"
    "$bin" all "$dir/$v.pdf" "$dir/out" >/dev/null
    (cd "$dir/out" && ls | sort | xargs sha256sum) >"$dir/$v.sums"
done
cmp -s "$dir/clear.sums" "$dir/aes256.sums" && cmp -s "$dir/clear.sums" "$dir/rc4.sums" ||
    { echo "encrypted_cost.sh: the variants give different images" >&2; exit 1; }

: >"$dir/times"
i=0
while [ "$i" -lt "$runs" ]; do
    case $((i % 3)) in
    0) order="clear aes256 rc4" ;;
    1) order="aes256 rc4 clear" ;;
    *) order="rc4 clear aes256" ;;
    esac
    for v in $order; do
        rm -rf "$dir/out"
        /usr/bin/time -f "%e %U %S" -o "$dir/t" "$bin" all "$dir/$v.pdf" "$dir/out" >/dev/null
        echo "$v $(tail -n 1 "$dir/t")" >>"$dir/times"
    done
    i=$((i + 1))
done
rm -rf "$dir/out" "$dir/t"

echo "$(basename "$src"): $(wc -c <"$dir/clear.pdf") bytes, $runs runs, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v variants="$variants" '
function median(list,    n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{ wall[$1] = wall[$1] " " $2; cpu[$1] = cpu[$1] " " ($3 + $4) }
END {
    n = split(variants, v, " ")
    w0 = median(wall[v[1]]); c0 = median(cpu[v[1]])
    printf "%-8s %8s %8s %10s %10s\n", "variant", "wall s", "cpu s", "wall / clear", "cpu / clear"
    for (i = 1; i <= n; i++) {
        w = median(wall[v[i]]); c = median(cpu[v[i]])
        printf "%-8s %8.2f %8.2f %10.3f %10.3f\n", v[i], w, c, w / w0, c / c0
    }
}' "$dir/times"
