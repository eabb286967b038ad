#!/usr/bin/env bash
# Measures energy-totals against the plain getline + strtod loop in
# bench/baseline.c and against the floor (wc -l over the same files), on
# three shapes of a large case and on the bundled example: wall and CPU time.
#
#   bench/run.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR holds a built energy-totals (default: build); RUNS is how many
# times each program runs on each large case (default 7). The runs of two
# programs alternate (bench/alternate.c), so both see the same machine;
# medians are reported. The shapes, as total-power / CPU / GPU lines:
#   even    4 M / 4 M / 20 M   the three readers' work about even (430 MB)
#   sweep   4 M / 2 M / 20 M   a sweep's logs: 2 total-power lines a second,
#                              1 CPU line, 10 GPU lines; also on one CPU
#   gpu     2 k / 1 k / 40 M   nearly all GPU log
#   mixed   4 M / 2 M / 20 M   the sweep's, readings changing width from line
#                              to line and CPU lines of 63 to 66 bytes
#   blank   4 M / 2 M / 20 M   the sweep's logs, each with a blank line added
#                              at its end; the tool on them is also timed
#                              against the tool on the same logs without it
#   stamped 4 M / 2 M / 20 M   the sweep's, the GPU log time-stamped, read
#                              with --gpu-time=stamps
#   onelog  4 M / 2 M / 20 M   the sweep's, and the GPU lines of four GPUs in
#                              one log, read with --gpu-log=gpus.csv
# ENERGY_TOTALS_BENCH_DIR keeps the generated cases there for the next run
# (they take a minute or two to write); by default they go to a temporary
# directory and are removed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
runs=${2:-7}
tool="$build/energy-totals"
[ -x "$tool" ] || { echo "no $tool: build it first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cases=${ENERGY_TOTALS_BENCH_DIR:-$work/cases}
cc -O2 -o "$work/baseline" "$here/baseline.c"
cc -O2 -o "$work/alternate" "$here/alternate.c"
mkdir -p "$cases" "$work/small"
cp "$here/../examples/"* "$work/small/"

# make NAME TOTAL CPU GPU [STYLE]: the case, unless it is there already.
make() {
  local dir="$cases/$1"
  if [ ! -f "$dir/done" ]; then
    echo "generating the $1 case in $dir ..."
    mkdir -p "$dir"
    python3 "$here/make_case.py" "$dir" large "$2" "$3" "$4" "${5:-plain}"
    touch "$dir/done"
  fi
}
make even 4000000 4000000 20000000
make sweep 4000000 2000000 20000000
make gpu 2000 1000 40000000
make mixed 4000000 2000000 20000000 mixed
make stamped 4000000 2000000 20000000 stamped
make onelog 4000000 2000000 20000000 onelog
# The sweep's logs with a blank line at the end of each, and beside them
# in clean/ the same logs without it, written the same way at the same
# time: the kernel copies the pages of files written at other times, or
# by other programs, at speeds up to a tenth apart, which would hide what
# the blank line costs.
if [ ! -f "$cases/blank/clean/done" ]; then
  echo "copying the sweep case to $cases/blank, with blank lines and without ..."
  mkdir -p "$cases/blank/clean"
  for f in large.total.pwr large.cpu.pwr gpupower1.out; do
    cat "$cases/sweep/$f" > "$cases/blank/clean/$f"
    { cat "$cases/sweep/$f"; echo; } > "$cases/blank/$f"
  done
  touch "$cases/blank/done" "$cases/blank/clean/done"
fi

# peak_kb DIR PROGRAM ARGS...: the peak resident memory of one run.
peak_kb() {
  local dir=$1; shift
  (cd "$dir" && /usr/bin/time -f %M -o "$work/rss" "$@" > /dev/null 2>&1)
  cat "$work/rss"
}

# The tool and the yardstick must agree before their times mean anything.
# The gpu shape's logs cover different lengths of time, and the tool says
# so on standard error: counted here, left out of the runs below.
# The options each shape is read with, by both.
options() {
  case $1 in
  stamped) echo --gpu-time=stamps ;;
  onelog) echo --gpu-log=gpus.csv ;;
  esac
}
agree() {
  local opts
  opts=$(options "$(basename "$1")")
  # shellcheck disable=SC2086
  (cd "$1" && "$tool" $opts "$2" 0 0 > "$work/tool.out" 2> "$work/tool.err" && "$work/baseline" $opts "$2" 0 0 > "$work/base.out")
  cmp -s "$work/tool.out" "$work/base.out" || { echo "the figures differ in $1:"; diff "$work/tool.out" "$work/base.out"; exit 1; }
  [ ! -s "$work/tool.err" ] || echo "($(wc -l < "$work/tool.err") warnings about the case in $1)"
}
for shape in even sweep gpu mixed blank stamped onelog; do agree "$cases/$shape" large; done
agree "$work/small" case1

# measure SHAPE [taskset -c 0]: a line of the table.
measure() {
  local shape=$1; shift
  local dir="$cases/$shape" bytes t_tool t_base c_tool c_base f_tool t_wc c_wc kb gpu_log=gpupower1.out
  local opts
  opts=$(options "$shape")
  [ "$shape" != onelog ] || gpu_log=gpus.csv
  bytes=$(cat "$dir/large.total.pwr" "$dir/large.cpu.pwr" "$dir/$gpu_log" | wc -c)
  # shellcheck disable=SC2086
  read -r t_tool t_base c_tool c_base < <("$@" "$work/alternate" "$runs" "$dir" "$tool" $opts large 0 0 -- "$work/baseline" $opts large 0 0)
  # shellcheck disable=SC2086
  read -r f_tool t_wc _ c_wc < <("$@" "$work/alternate" "$runs" "$dir" "$tool" $opts large 0 0 -- "$(command -v wc)" -l large.total.pwr large.cpu.pwr "$gpu_log")
  # shellcheck disable=SC2086
  kb=$(peak_kb "$dir" "$@" "$tool" $opts large 0 0)
  awk -v name="$shape$([ $# -gt 0 ] && echo ', 1 CPU')" -v tt="$t_tool" -v tb="$t_base" -v ct="$c_tool" \
      -v cb="$c_base" -v ft="$f_tool" -v tw="$t_wc" -v bytes="$bytes" -v kb="$kb" 'BEGIN {
    printf "  %-12s %4.0f MB  %6.3f s %6.3f s  %6.3f s  %5.3f  %5.2f GB/s  %6.3f s  %4.1f  %6d KB\n",
      name, bytes / 1e6, tt / 1e6, ct / 1e6, tb / 1e6, tt / tb, bytes / tt / 1e3, tw / 1e6, ft / tw, kb }'
}

echo "median of $runs runs each, $(nproc) CPUs; ratio: the tool's wall time over the plain reading's"
echo "  shape         size   tool wall    CPU  plain wall  ratio   tool rate  wc -l   x wc  tool peak"
measure even
measure sweep
measure gpu
measure mixed
measure blank
measure stamped
measure onelog
measure sweep taskset -c 0
measure mixed taskset -c 0

# in_dir DIR PROGRAM ARGS...: the program run in DIR (where it finds the
# GPU log), for alternate, which runs both programs in one directory.
in_dir='cd "$1" && shift && exec "$@"'
read -r t_blank t_clean c_blank c_clean < <("$work/alternate" "$((runs * 3))" "$cases" \
  /bin/sh -c "$in_dir" sh "$cases/blank" "$tool" large 0 0 -- /bin/sh -c "$in_dir" sh "$cases/blank/clean" "$tool" large 0 0)
awk -v tb="$t_blank" -v tc="$t_clean" -v cb="$c_blank" -v cc="$c_clean" -v n="$((runs * 3))" 'BEGIN {
  printf "a blank line at the end of each of the sweep'"'"'s logs: median of %d runs each, alternating\n", n
  printf "  wall %6.3f s against %6.3f s without it (%+.1f%%); CPU %6.3f s against %6.3f s (%+.1f%%)\n",
    tb / 1e6, tc / 1e6, (tb / tc - 1) * 100, cb / 1e6, cc / 1e6, (cb / cc - 1) * 100
}'

read -r s_tool s_base _ < <("$work/alternate" 1001 "$work/small" "$tool" case1 0 0 -- "$work/baseline" case1 0 0)
small_kb=$(peak_kb "$work/small" "$tool" case1 0 0)
awk -v st="$s_tool" -v sb="$s_base" -v kb="$small_kb" 'BEGIN {
  printf "bundled example: median of 1001 runs each\n"
  printf "  energy-totals %6.3f ms, peak %d KB; plain reading %6.3f ms; ratio %.2f\n", st / 1e3, kb, sb / 1e3, st / sb
}'

# Read in time: --plot against the plain run, alternating, on the plain
# shapes and the one log; the pass in time should take the run to at most
# 3 times the plain run on the first, 1.5 on the last.
echo "in time, --plot against the plain run: median of $runs runs each, alternating"
for shape in even sweep gpu mixed blank onelog; do
  opts=$(options "$shape")
  # shellcheck disable=SC2086
  read -r t_plot t_plain _ < <("$work/alternate" "$runs" "$cases/$shape" "$tool" $opts --plot="$work/p.svg" large 0 0 \
    -- "$tool" $opts large 0 0)
  awk -v name="$shape" -v tp="$t_plot" -v tb="$t_plain" 'BEGIN {
    printf "  %-8s %6.3f s against %6.3f s (%.2f times)\n", name, tp / 1e6, tb / 1e6, tp / tb }'
done

# A case over four nodes, each the stamped shape's logs (linked), read in
# time (--record): one node alone, the four, each on one CPU, and the four
# on every CPU. The four on one CPU should take at most four times one node
# alone, and fewer on more. (One node alone on two CPUs reads on one while
# it places the readings on the other; a node read beside others does not.)
nodes="$work/nodes"
for n in 1 2 3 4; do
  mkdir -p "$nodes/n$n"
  for f in large.total.pwr large.cpu.pwr gpupower1.out; do ln -sf "$cases/stamped/$f" "$nodes/n$n/$f"; done
done
timed="--gpu-time=stamps --record=/dev/null"
# shellcheck disable=SC2086
read -r t_one t_four _ < <("$work/alternate" "$runs" "$nodes" /bin/sh -c "$in_dir" sh "$nodes/n1" \
  "$(command -v taskset)" -c 0 "$tool" $timed large 0 0 \
  -- "$(command -v taskset)" -c 0 "$tool" $timed --nodes=n1,n2,n3,n4 large 0 0)
# shellcheck disable=SC2086
read -r t_all _ < <("$work/alternate" "$runs" "$nodes" "$tool" $timed --nodes=n1,n2,n3,n4 large 0 0 \
  -- "$(command -v taskset)" -c 0 "$tool" $timed --nodes=n1,n2,n3,n4 large 0 0)
awk -v one="$t_one" -v four="$t_four" -v all="$t_all" -v cpus="$(nproc)" 'BEGIN {
  printf "four nodes of the stamped shape, --record: median of the runs, alternating\n"
  printf "  one node alone on one CPU %6.3f s; four on one CPU %6.3f s (%.2f times); four on %d CPUs %6.3f s (%.2f times)\n",
    one / 1e6, four / 1e6, four / one, cpus, all / 1e6, all / one }'
