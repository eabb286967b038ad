#!/usr/bin/env bash
# Measures energy-totals against the plain getline + strtod loop in
# bench/baseline.c and against the floor (wc -l over the same files), on a
# large generated case and on the bundled example: wall and CPU time.
#
#   bench/run.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR holds a built energy-totals (default: build); RUNS is how many
# times each program runs on the large case (default 7). The runs of the two
# programs alternate (bench/alternate.c), so both see the same machine; medians are reported.
# Set ENERGY_TOTALS_BENCH_LINES to "TOTAL CPU GPU" line counts to change the
# size of the large case (default "4000000 4000000 20000000", about 430 MB: the
# total-power and GPU logs cover the same time at 0.5 s and 0.1 s a line, so
# the case draws no warning).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
runs=${2:-7}
tool="$build/energy-totals"
[ -x "$tool" ] || { echo "no $tool: build it first" >&2; exit 1; }
read -r total_lines cpu_lines gpu_lines <<< "${ENERGY_TOTALS_BENCH_LINES:-4000000 4000000 20000000}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/baseline" "$here/baseline.c"
cc -O2 -o "$work/alternate" "$here/alternate.c"
mkdir "$work/large" "$work/small"
echo "generating the large case in $work/large ..."
python3 "$here/make_case.py" "$work/large" large "$total_lines" "$cpu_lines" "$gpu_lines"
cp "$here/../examples/"* "$work/small/"
bytes=$(cat "$work/large/"* | wc -c)

# peak_kb DIR PROGRAM ARGS...: the peak resident memory of one run.
peak_kb() {
  local dir=$1; shift
  (cd "$dir" && /usr/bin/time -f %M -o "$work/rss" "$@" > /dev/null)
  cat "$work/rss"
}

# The two must agree before their times mean anything.
(cd "$work/large" && "$tool" large 0 0 > "$work/tool.out" 2> "$work/tool.err" && "$work/baseline" large 0 0 > "$work/base.out")
[ ! -s "$work/tool.err" ] || { echo "the tool warns about the large case:"; cat "$work/tool.err"; }
cmp -s "$work/tool.out" "$work/base.out" || { echo "the figures differ:"; diff "$work/tool.out" "$work/base.out"; exit 1; }
(cd "$work/small" && "$tool" case1 0 0 > "$work/tool.out" && "$work/baseline" case1 0 0 > "$work/base.out")
cmp -s "$work/tool.out" "$work/base.out" || { echo "the figures differ on the example"; exit 1; }

read -r t_tool t_base c_tool c_base < <("$work/alternate" "$runs" "$work/large" "$tool" large 0 0 -- "$work/baseline" large 0 0)
# The floor: reading the same bytes and doing next to nothing with them.
read -r f_tool t_wc _ c_wc < <("$work/alternate" "$runs" "$work/large" "$tool" large 0 0 -- "$(command -v wc)" -l large.total.pwr large.cpu.pwr gpupower1.out)
read -r s_tool s_base _ < <("$work/alternate" 1001 "$work/small" "$tool" case1 0 0 -- "$work/baseline" case1 0 0)
m_tool=$(peak_kb "$work/large" "$tool" large 0 0)
m_base=$(peak_kb "$work/large" "$work/baseline" large 0 0)
small_kb=$(peak_kb "$work/small" "$tool" case1 0 0)

awk -v tt="$t_tool" -v tb="$t_base" -v ct="$c_tool" -v cb="$c_base" -v ft="$f_tool" -v tw="$t_wc" -v cw="$c_wc" \
    -v mt="$m_tool" -v mb="$m_base" -v ms="$small_kb" \
    -v st="$s_tool" -v sb="$s_base" -v bytes="$bytes" -v runs="$runs" -v cpus="$(nproc)" '
BEGIN {
  printf "large case: %.0f MB in three logs, median of %d runs each, %d CPUs\n", bytes / 1e6, runs, cpus
  printf "                 wall       CPU        rate         peak\n"
  printf "  energy-totals  %7.3f s  %7.3f s  %5.2f GB/s  %6d KB\n", tt / 1e6, ct / 1e6, bytes / tt / 1e3, mt
  printf "  baseline       %7.3f s  %7.3f s  %5.2f GB/s  %6d KB\n", tb / 1e6, cb / 1e6, bytes / tb / 1e3, mb
  printf "  wc -l (floor)  %7.3f s  %7.3f s  %5.2f GB/s\n", tw / 1e6, cw / 1e6, bytes / tw / 1e3
  printf "  energy-totals / baseline: %.3f of its wall time (%.1f times faster)\n", tt / tb, tb / tt
  printf "  energy-totals / floor: %.1f times its wall time (in the same runs: %.3f s against %.3f s)\n", ft / tw, ft / 1e6, tw / 1e6
  printf "  peak over the bundled example: %d KB (example %d KB)\n", mt - ms, ms
  printf "small case (bundled example): median of 1001 runs each\n"
  printf "  energy-totals  %7.3f ms\n", st / 1e3
  printf "  baseline       %7.3f ms\n", sb / 1e3
  printf "  energy-totals / baseline: %.2f\n", st / sb
}'
