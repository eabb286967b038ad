#!/bin/bash
# The example job scripts run as a user's job would: examples/case.sbatch
# with stand-ins for nvidia-smi (two GPUs), srun and the application,
# and examples/sweep.sbatch as task 2 of an array over a list of cases.
# Each must add one row, labelled with its case's name.
#
#   examples_check.sh BUILD_DIR SOURCE_DIR
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/runs"

. "$source/tests/meter_stubs.sh"
make_meter_stubs "$work/bin" with_srun
export PATH="$work/bin:$build:$PATH"

energy-totals --heading > "$work/results7.txt"
for name in "case 1" "case 2"; do
    d="$work/runs/$name"
    mkdir "$d"
    cp "$source/examples/case1.total.pwr" "$d/$name.total.pwr"
    cp "$source/examples/case1.cpu.pwr" "$d/$name.cpu.pwr"
    ln -s ../../results7.txt "$d/results7.txt"
    printf '#!/bin/sh\nsleep 0.5\n' > "$d/my_application"
    chmod +x "$d/my_application"
done

# The site's total-power meter, running through the job: stamps in seconds
# since the epoch, from before the job on, a line every 0.2 s.
start=$(( $(date +%s) - 10 ))
for i in $(seq 0 19); do echo "$((start + i / 2)).$((i % 2 * 5)) A 400"; done > "$work/runs/case 1/case 1.total.pwr"
while :; do echo "$(date +%s.%N) A 400"; sleep 0.2; done >> "$work/runs/case 1/case 1.total.pwr" &
site_meter=$!
(cd "$work/runs/case 1" && IDLE_SECONDS=1 bash "$source/examples/case.sbatch" > "$work/case.out" 2> "$work/case.err")
kill "$site_meter"
grep -q '^phase: compute$' "$work/case.out" || { echo "FAIL: case.sbatch printed no compute phase"; cat "$work/case.err"; exit 1; }
grep -q '^net GPU2: ' "$work/case.out" || { echo "FAIL: case.sbatch printed no figures net of idle power"; exit 1; }
grep -q '"label":"case 1"' "$work/records7.jsonl" || { echo "FAIL: case.sbatch's record is not beside the table"; exit 1; }
[ -s "$work/runs/case 1/case 1.svg" ] || { echo "FAIL: case.sbatch drew no picture"; exit 1; }
grep -q ', 1, ' "$work/runs/case 1/gpus.csv" || { echo "FAIL: case.sbatch logged no GPU 1"; exit 1; }
row=$(tail -n 1 "$work/results7.txt")
case "$row" in
*"		case 1") ;;
*) echo "FAIL: case.sbatch added no row labelled 'case 1': $row"; cat "$work/case.err"; exit 1 ;;
esac
gpu2=$(printf '%s\n' "$row" | awk -F '\t+' '{ print $6 }')
[ "$gpu2" != 0 ] || { echo "FAIL: case.sbatch gave GPU2 no energy: $row"; exit 1; }
cpu2=$(printf '%s\n' "$row" | awk -F '\t+' '{ print $3 }')
[ "$cpu2" != 0 ] || { echo "FAIL: case.sbatch's perf log gave CPU2 no energy: $row"; exit 1; }

cp "$source/examples/gpupower1.out" "$work/runs/case 2/"
find "$work/runs" -mindepth 1 -maxdepth 1 -type d | LC_ALL=C sort > "$work/cases.list"
SLURM_ARRAY_TASK_ID=2 bash "$source/examples/sweep.sbatch" "$work/cases.list" 7 > /dev/null
row=$(tail -n 1 "$work/results7.txt")
case "$row" in
*"		case 2") ;;
*) echo "FAIL: sweep.sbatch added no row labelled 'case 2': $row"; exit 1 ;;
esac
[ "$(wc -l < "$work/results7.txt")" -eq 3 ] || { echo "FAIL: the table should hold a heading and two rows"; exit 1; }
# Submitted again, the array adds nothing.
SLURM_ARRAY_TASK_ID=2 bash "$source/examples/sweep.sbatch" "$work/cases.list" > /dev/null 2>&1
[ "$(wc -l < "$work/results7.txt")" -eq 3 ] || { echo "FAIL: sweep.sbatch run again added a row"; exit 1; }

# A case whose total-power meter was never set up stops before the
# application; so does one whose perf reads nothing (denied its counters).
d="$work/runs/no meter"
mkdir "$d"
printf '#!/bin/sh\ntouch ran\n' > "$d/my_application"
chmod +x "$d/my_application"
if (cd "$d" && bash "$source/examples/case.sbatch" > /dev/null 2> "$work/meter.err"); then
    echo "FAIL: case.sbatch ran without a total-power meter"; exit 1
fi
[ ! -e "$d/ran" ] || { echo "FAIL: case.sbatch ran the application without a total-power meter"; exit 1; }
grep -q "no meter writes no meter.total.pwr" "$work/meter.err" ||
    { echo "FAIL: case.sbatch did not name the missing meter:"; cat "$work/meter.err"; exit 1; }
printf '#!/bin/sh\necho "Error: access to performance monitoring is limited" >&2; sleep 60\n' > "$work/bin/perf"
echo "$(date +%s) A 400" > "$d/no meter.total.pwr"
(while :; do echo "$(date +%s.%N) A 400"; sleep 0.2; done >> "$d/no meter.total.pwr") &
site_meter=$!
if (cd "$d" && bash "$source/examples/case.sbatch" > /dev/null 2> "$work/meter.err"); then
    kill "$site_meter"; echo "FAIL: case.sbatch ran with a perf that reads nothing"; exit 1
fi
kill "$site_meter"
[ ! -e "$d/ran" ] || { echo "FAIL: case.sbatch ran the application with a perf that reads nothing"; exit 1; }
grep -q "no meter writes no meter.cpu.pwr within 10 s: perf wrote no reading" "$work/meter.err" ||
    { echo "FAIL: case.sbatch did not name perf:"; cat "$work/meter.err"; exit 1; }

# The README's xargs recipe over three cases, one without its GPU log: the
# other two rows go in, the failure is named, and xargs ends with 123.
energy-totals --heading > "$work/results7.txt"
mkdir "$work/xruns"
for name in a b c; do
    mkdir "$work/xruns/$name"
    cp "$source/examples/case1.total.pwr" "$work/xruns/$name/$name.total.pwr"
    cp "$source/examples/case1.cpu.pwr" "$work/xruns/$name/$name.cpu.pwr"
    [ "$name" = b ] || cp "$source/examples/gpupower1.out" "$work/xruns/$name/"
    ln -s ../../results7.txt "$work/xruns/$name/results7.txt"
done
status=0
export opts=  # plain gpupower1.out logs
(cd "$work" && find xruns -mindepth 1 -maxdepth 1 -type d -print0 |
    xargs -0 -P 8 -n 1 sh -c 'cd "$1" && n=$(basename "$1") && energy-totals $opts --once --label="$n" "$n" 1 7 || { echo "failed: $1" >&2; exit 1; }' sh \
    > /dev/null 2> "$work/xargs.err") || status=$?
[ "$status" -eq 123 ] || { echo "FAIL: xargs ended with $status, not 123"; exit 1; }
grep -qx "failed: xruns/b" "$work/xargs.err" || { echo "FAIL: the failed case was not named"; cat "$work/xargs.err"; exit 1; }
(cd "$work" && find xruns -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort > "$work/xcases")
energy-totals --check="$work/results7.txt" --cases="$work/xcases" > "$work/check.out" && {
    echo "FAIL: --check found nothing missing"; exit 1; }
grep -qx "case b: no row" "$work/check.out" || { echo "FAIL: --check did not name case b:"; cat "$work/check.out"; exit 1; }
[ "$(grep -c 'no row' "$work/check.out")" -eq 1 ] || { echo "FAIL: --check named more than case b"; cat "$work/check.out"; exit 1; }
echo "examples: case.sbatch and sweep.sbatch each added their labelled row once; the xargs recipe survived a failing case"
