#!/usr/bin/env bash
# Disk and memory a whole run of learn_optimal_network needs, from the sizes
# of its files and tables (the same sums its own check before the search
# makes), as a markdown table.
#
#   bash bench/resources.sh [--n LIST] [DIR]
#
# LIST: variable counts (default 24,26,28,30,32).  With DIR, also the
# largest n whose run fits the free disk of DIR and the available memory.
#
# For n variables, T = 8 n 2^(n-1) bytes is the size of every per-family file
# kind (score table res, split files, local score files, best-score files);
# the best-parent files take T/2, the sink file 2^n.
#   disk at the peak, intermediate files deleted as soon as consumed (normal
#     and --direct alike): 2T + T/2 + 2^n, reached while solve_leaf_table
#     writes the sink beside the local, best-parent and best-score files
#   with --keep: 4T + T/2 + 2^n normal, 2T + T/2 + 2^n with --direct
#   the driver asks for that plus 1/256 of it plus 1 MiB of room
#   memory: solve_leaf_table's 8 2^n bytes, the largest stage (find_top_families
#     holds 12 2^(n-1), flip_family_files 8 2^(n-1); compute_family_scores
#     holds 8 2^n of subset terms too, plus the data)
set -euo pipefail

sizes=24,26,28,30,32
dir=
while [[ $# -gt 0 ]]; do
    case $1 in
    --n) [[ $# -ge 2 ]] || { echo "Usage: bench/resources.sh [--n LIST] [DIR]" >&2; exit 1; }
        sizes=$2; shift 2 ;;
    -h | --help) echo "Usage: bench/resources.sh [--n LIST] [DIR]" >&2; exit 1 ;;
    *) dir=$1; shift ;;
    esac
done

# awk's doubles hold every size here exactly (2^53 is far above 2^44).
awk -v sizes="$sizes" '
function human(b,   u, k) {
    split("B KiB MiB GiB TiB PiB", u, " "); k = 1
    while (b >= 1024 && k < 6) { b /= 1024; ++k }
    return k == 1 ? sprintf("%d B", b) : sprintf("%.1f %s", b, u[k])
}
BEGIN {
    print "| n | T = 8n2^(n-1) | disk peak (normal, --direct) | disk checked by the driver | with --keep (normal) | with --keep (--direct) | memory (8 2^n) |"
    print "|---|---|---|---|---|---|---|"
    count = split(sizes, list, ",")
    for (k = 1; k <= count; ++k) {
        n = list[k] + 0
        t = 8 * n * 2 ^ (n - 1); sink = 2 ^ n; bps = t / 2
        peak = 2 * t + bps + sink
        checked = peak + int(peak / 256) + 2 ^ 20
        printf "| %d | %s | %s | %s | %s | %s | %s |\n", n, human(t), human(peak), human(checked),
            human(4 * t + bps + sink), human(peak), human(8 * 2 ^ n)
    }
}'

if [[ -n $dir ]]; then
    disk=$(df -B1 --output=avail "$dir" | tail -n 1 | tr -d ' ')
    memory=$(awk '/^MemAvailable:/ {print $2 * 1024}' /proc/meminfo)
    awk -v disk="$disk" -v memory="$memory" -v dir="$dir" 'BEGIN {
        best = 0
        for (n = 1; n <= 32; ++n) {
            t = 8 * n * 2 ^ (n - 1); peak = 2.5 * t + 2 ^ n
            if (peak + int(peak / 256) + 2 ^ 20 <= disk && 8 * 2 ^ n <= memory) best = n
        }
        printf "\nLargest n here: %d (free disk of %s: %.1f GiB, available memory: %.1f GiB).\n",
            best, dir, disk / 2 ^ 30, memory / 2 ^ 30
    }'
fi
