#!/bin/bash
# The rows of cases whose jobs have run already, as a job array: to run
# again the cases whose row failed, or to add rows for finished runs. Each
# task runs energy-totals in its case's directory, labelled with its name.
# A list of the case directories is written once, at submission, and task
# N takes line N of it, so a case added later can't change which task
# takes which case:
#
#   list=rows-$(date +%Y%m%d-%H%M%S).list
#   find "$PWD/runs" -mindepth 1 -maxdepth 1 -type d | sort > "$list"
#   sbatch --array=1-"$(wc -l < "$list")" examples/sweep.sbatch "$list" 7
#
# Each case directory holds its logs named after it (runs/case7/case7.total.pwr,
# runs/case7/case7.cpu.pwr) beside its own gpupower1.out, and a symbolic link
# to the shared table (runs/case7/results7.txt -> the sweep's results7.txt).
# ID (default 7, as in the README and case.sbatch) picks the table, as for
# energy-totals; OPTIONS, if given, go before the operands (as in --gpus=4
# --gpu-time=stamps). Each row is added --once, so the whole array can be
# submitted again after a few tasks failed, and fills only the cases that
# have no row; a task that fails leaves the table as it was:
#
#   sbatch --array=1-"$(wc -l < "$list")" examples/sweep.sbatch "$list" 7
#SBATCH --job-name=energy-totals
#SBATCH --cpus-per-task=1
#SBATCH --output=energy-totals-%A_%a.out
set -eu
export LC_ALL=C
list=${1:?give the list of case directories}
id=${2:-7}
shift $(($# < 2 ? $# : 2))
task=${SLURM_ARRAY_TASK_ID:?run this with sbatch --array}
dir=$(sed -n "${task}p" "$list")
if [ -z "$dir" ] || [ ! -d "$dir" ]; then
    echo "energy-totals sweep: no case $task in $list" >&2
    exit 1
fi
name=$(basename "$dir")
cd "$dir"
exec energy-totals "$@" --once --label="$name" "$name" 1 "$id"
