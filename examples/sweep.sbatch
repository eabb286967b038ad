#!/bin/bash
# A sweep as a Slurm job array: one task per case, each run in its case's
# own directory, all appending to one results table.
#
#   n=$(set -- runs/*/; echo $#)
#   sbatch --array=1-"$n" examples/sweep.sbatch runs 7
#
# RUNS (default runs) holds one directory per case; the case's logs in it are
# named after it (runs/case7/case7.total.pwr, runs/case7/case7.cpu.pwr) beside
# its own gpupower1.out, and a symbolic link to the shared table
# (runs/case7/results7.txt -> the sweep's results7.txt) lets every case
# append to it; each row ends with the case's name (--label). ID (default 0)
# picks the table, as for energy-totals. Task N
# takes the Nth directory in byte order, the same on every node; names may
# hold any character. A task that fails leaves the table as it was, so
# failed tasks can simply be run again:
#
#   sbatch --array=4,9 examples/sweep.sbatch runs 7
#SBATCH --job-name=energy-totals
#SBATCH --cpus-per-task=1
#SBATCH --output=energy-totals-%A_%a.out
set -eu
export LC_ALL=C
runs=${1:-runs}
id=${2:-0}
cases=("$runs"/*/)
task=${SLURM_ARRAY_TASK_ID:?run this with sbatch --array}
if [ "$task" -lt 1 ] || [ "$task" -gt "${#cases[@]}" ] || [ ! -d "${cases[task - 1]}" ]; then
    echo "energy-totals sweep: no case $task in $runs (${#cases[@]} cases)" >&2
    exit 1
fi
dir=${cases[task - 1]}
name=$(basename "$dir")
cd "$dir"
exec energy-totals --label="$name" "$name" 1 "$id"
