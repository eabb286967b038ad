#!/bin/bash
# One case's job, as a sweep runs it: start the meters on each of its
# nodes, run the application, stop the meters, then add the case's row,
# labelled with its name, to the sweep's table. The case's directory holds
# its logs (a job of several nodes: each node's in a directory named after
# the node) and a link to the table.
#
# What it does, in order, on each node (a job of several nodes: one task
# a node, srun --ntasks-per-node=1, each in its directory NODE/):
# - starts one nvidia-smi for every GPU of the node, a line a GPU every
#   0.1 s with its stamp and index, into gpus.csv (power.draw.instant where
#   the driver has it); perf for each socket's package energy once a
#   second, where perf is there, into CASE.cpu.pwr; and, at the marked
#   lines, the site's total-power meter, into CASE.total.pwr;
# - stops before the application, naming the node and the meter, unless
#   each log has grown within 10 s (perf's with a reading in Joules);
# then, once every node's meters run:
# - marks an idle minute (IDLE_SECONDS) and the application in "phases";
# - stops the meters, and ends with
#     energy-totals --once --gpus=N --gpu-log=gpus.csv [--cpu-format=perf
#       --cpus=SOCKETS] --phases=phases --idle=idle --record=RECORDS
#       --plot=CASE.svg --label=CASE CASE 1 ID
#   (a job of several nodes: with --nodes=@nodes, the file of its nodes'
#   names as scontrol show hostnames writes them, for the nodes' sums and
#   each node's figures), so each phase's figures, gross and net of the
#   idle power, follow the summary in the job's output; RECORDS is
#   recordsID.jsonl beside the table.
#
# One case, from its directory, on one node or on four:
#
#   cd runs/case7 && sbatch ../../examples/case.sbatch
#   cd runs/case7 && sbatch --nodes=4 ../../examples/case.sbatch
#
# A whole sweep as a job array: a list of the case directories is written
# once, at submission, and task N runs the case on line N of it, so a case
# added later can't change which task runs which case:
#
#   list=sweep-$(date +%Y%m%d-%H%M%S).list
#   find "$PWD/runs" -mindepth 1 -maxdepth 1 -type d | sort > "$list"
#   sbatch --array=1-"$(wc -l < "$list")" examples/case.sbatch "$list"
#
# and, once the array is done, the table checked against the list:
#
#   sed 's|.*/||' "$list" > "$list.cases"
#   energy-totals --check=results7.txt --cases="$list.cases"
#
# RESULTS_ID (default 7) picks the table, results7.txt. Set the #SBATCH
# lines below for your site, and replace the marked lines with your
# meters and your application.
#SBATCH --job-name=case
#SBATCH --account=YOUR_ACCOUNT
#SBATCH --partition=YOUR_PARTITION
#SBATCH --time=01:00:00
#SBATCH --gres=gpu:4
#SBATCH --output=case-%A_%a.out
set -eu
export LC_ALL=C
id=${RESULTS_ID:-7}
if [ -n "${SLURM_ARRAY_TASK_ID:-}" ] && [ $# -ge 1 ]; then
    dir=$(sed -n "${SLURM_ARRAY_TASK_ID}p" "$1")
    [ -n "$dir" ] || { echo "case.sbatch: no line $SLURM_ARRAY_TASK_ID in $1" >&2; exit 1; }
    cd "$dir"
fi
name=$(basename "$PWD")

# The meters of one node, into the current directory, the case named $1.
# Once each has written, prints "ready" and the options that read its logs;
# then meters until it is sent SIGTERM. A meter whose log does not grow
# within 10 s is named, and the node's meters stop (status 1). Run in a
# task of its own, so it sets what it needs itself.
meter_node() {
    set -eu
    local name=$1 node meters=() gpus power sockets perf_log= cpu_options= total_options= log why
    node=${SLURMD_NODENAME:-$(hostname)}
    trap 'kill "${meters[@]}" 2> /dev/null; wait; exit 0' TERM

    # GPU meter: one nvidia-smi for every GPU of the node, time stamps and
    # the GPU's index on each line, into gpus.csv. The instant power where
    # the driver has it (power.draw is a one-second average on recent GPUs).
    gpus=$(nvidia-smi --query-gpu=index --format=csv,noheader | wc -l)
    [ "$gpus" -gt 0 ] || { echo "case.sbatch: $node: nvidia-smi lists no GPU" >&2; exit 1; }
    [ "$gpus" -le 8 ] || gpus=8
    power=power.draw
    nvidia-smi --query-gpu=power.draw.instant --format=csv,noheader > /dev/null 2>&1 && power=power.draw.instant
    nvidia-smi --query-gpu=timestamp,index,$power --format=csv -lms 100 > gpus.csv &
    meters+=($!)

    # CPU meter: perf, each socket's package energy once a second (perf
    # needs perf_event_paranoid at 0 or below, or CAP_PERFMON: ask your
    # site). Where there is no perf, replace these lines with your CPU meter
    # and its --cpu-format (README, "Meters, and the options that read
    # them").
    if command -v perf > /dev/null; then
        # perf writes to standard error, a line at a time, so no line waits
        # in a buffer when the meter is stopped. Its lines count the seconds
        # from its start, which the first line says, so that the phases can
        # place them.
        echo "# started on $(date --iso-8601=ns)" > "$name.cpu.pwr"
        perf stat -a --per-socket -I 1000 -e power/energy-pkg/ 2>> "$name.cpu.pwr" > /dev/null &
        meters+=($!)
        sockets=$(lscpu -p=SOCKET 2> /dev/null | grep -v '^#' | sort -u | wc -l)
        [ "$sockets" -ge 1 ] && [ "$sockets" -le 8 ] || sockets=2
        cpu_options="--cpu-format=perf --cpus=$sockets"
        perf_log="$name.cpu.pwr"
    fi

    # >>> The site's total-power meter: a time stamp, a field, the power in
    # >>> watts, into "$name.total.pwr"; polled in a loop, read by its stamps:
    # while :; do
    #     echo "$(date +%s.%N) W $(ipmitool dcmi power reading | awk '/Instantaneous/ { print $4 }')"
    #     sleep 0.5
    # done > "$name.total.pwr" &
    # meters+=($!)
    # >>> and then read it by its stamps: total_options=--total-time=stamps

    # Each meter's log must grow within 10 s, before the application
    # starts: a meter that was never set up, or one that runs but reads
    # nothing, would leave the row without its figures. perf writes its
    # errors into its log too (denied by perf_event_paranoid, it leaves a
    # file with no reading), so its log must hold a reading: a line in
    # Joules.
    size() { stat -c %s "$1" 2> /dev/null || echo -1; }
    local logs=(gpus.csv "$name.total.pwr" "$name.cpu.pwr") still=()
    local -A at_start
    for log in "${logs[@]}"; do at_start[$log]=$(size "$log"); done
    grown() {
        if [ "$1" = "$perf_log" ]; then grep -q Joules "$1"; else [ "$(size "$1")" -gt "${at_start[$1]}" ]; fi
    }
    for _ in $(seq 20); do
        still=()
        for log in "${logs[@]}"; do grown "$log" || still+=("$log"); done
        [ ${#still[@]} -gt 0 ] || break
        sleep 0.5
    done
    for log in ${still[@]+"${still[@]}"}; do
        case $log in
        gpus.csv) why="nvidia-smi wrote no reading" ;;
        *.cpu.pwr) why="perf wrote no reading (perf_event_paranoid, or no perf: set up the CPU meter where perf starts)" ;;
        *) why="set up the site's total-power meter at the marked lines" ;;
        esac
        echo "case.sbatch: $node: no meter writes $log within 10 s: $why" >&2
    done
    if [ ${#still[@]} -gt 0 ]; then
        kill "${meters[@]}"
        exit 1
    fi
    echo "ready --gpus=$gpus $cpu_options $total_options"
    wait
}

# The meters start on each node and say when they run, through a pipe of
# the job's own (a node's files on a shared file system may be seen late
# from another). A job of several nodes meters them in a step of its own,
# beside the application's (--overlap), each node's logs in NODE/.
nodes=${SLURM_JOB_NUM_NODES:-1}
pipe=$(mktemp -d)
trap 'rm -rf "$pipe"' EXIT
mkfifo "$pipe/meters"
if [ "$nodes" -gt 1 ]; then
    scontrol show hostnames "$SLURM_JOB_NODELIST" > nodes
    while read -r node; do mkdir -p "$node"; done < nodes
    srun --overlap --ntasks-per-node=1 --kill-on-bad-exit=1 bash -c "$(declare -f meter_node)"'
        cd "$SLURMD_NODENAME" && meter_node "$1"' meter_node "$name" > "$pipe/meters" &
else
    meter_node "$name" > "$pipe/meters" &
fi
meter_step=$!
ready=0
waited=0
exec 3< "$pipe/meters"
while [ "$ready" -lt "$nodes" ] && [ "$waited" -lt 60 ]; do
    if read -r -t 1 -u 3 word options; then
        [ "$word" != ready ] || ready=$((ready + 1))
    else
        kill -0 "$meter_step" 2> /dev/null || break
        waited=$((waited + 1))
    fi
done
if [ "$ready" -lt "$nodes" ]; then
    echo "case.sbatch: the meters run on $ready of the job's $nodes nodes; the application was not started" >&2
    kill -TERM "$meter_step" 2> /dev/null || true
    wait "$meter_step" 2> /dev/null || true
    exit 1
fi
read -r -a tool_options <<< "$options"
[ "$nodes" -eq 1 ] || tool_options+=(--nodes=@nodes)

# Phases, each marked in "phases" by a line as `date` writes it (with its
# offset, so one instant on every node): first an idle minute, the meters
# running and the nodes doing nothing, whose mean power the figures are
# given net of; then the application. Mark phases inside it the same way
# (mark load begin ... mark load end).
mark() { echo "$(date --iso-8601=ns) $1 $2" >> phases; }
: > phases
mark idle begin
sleep "${IDLE_SECONDS:-60}"
mark idle end

# >>> The application.
mark compute begin
srun ./my_application
mark compute end
# The meters' last readings after the last mark, so that they cover it.
sleep 2

kill -TERM "$meter_step"
wait "$meter_step" 2> /dev/null || true
exec 3<&-
# --once: a job that Slurm runs again (requeued, or an array submitted
# again) adds no second row for its case. Each phase's figures, gross and
# net of the idle minute's power, follow the summary in the job's output;
# --phase-rows would add a row for each, labelled CASE/PHASE. The case's
# record goes in with its row, into the records beside the table, and its
# picture stays in its directory.
records="$(dirname "$(readlink -f "results$id.txt")")/records$id.jsonl"
rm -rf "$pipe"
exec energy-totals --once "${tool_options[@]}" --gpu-log=gpus.csv \
    --phases=phases --idle=idle --record="$records" --plot="$name.svg" --label="$name" "$name" 1 "$id"
