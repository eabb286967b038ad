#!/usr/bin/env bash
# A sweep where sweeps really run: a four-node Slurm cluster on this machine
# (one slurmctld, four slurmd on 127.0.0.1), 64 cases run as a job array by
# examples/sweep.sbatch, all appending to one table. The table must hold
# exactly the rows the same cases give one by one. Needs root; installs
# Debian's Slurm and MUNGE packages if they are missing.
#
#   tests/cluster/slurm_stage.sh [BUILD_DIR]
set -euo pipefail
stage="slurm stage"
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
. "$here/common.sh"
cases=64
start_time=$SECONDS

[ "$(id -u)" -eq 0 ] || skip "needs root, to start the daemons"
[ -x "$build/energy-totals" ] || { echo "FAIL: no $build/energy-totals: build it first" >&2; exit 1; }
work=$(mktemp -d /tmp/energy-totals-slurm.XXXXXX)
chmod 755 "$work" # munged refuses a socket folder others can't search
trap 'stop_started; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
install_packages slurmctld slurmd slurm-client munge

# MUNGE, for Slurm's authentication, on a socket of its own.
mkdir -m 755 "$work/munge"
mungekey -c -k "$work/munge/munge.key"
munged --key-file="$work/munge/munge.key" --socket="$work/munge/munge.socket" \
    --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" \
    --seed-file="$work/munge/munged.seed"
started "$(cat "$work/munge/munged.pid")"

host=$(hostname)
mkdir -p "$work/state" "$work/spool" "$work/log"
export SLURM_CONF="$work/slurm.conf"
cat > "$SLURM_CONF" <<CONF
ClusterName=energytotals
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=16817
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool/%n
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd-%n.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
SwitchType=switch/none
MpiDefault=none
MailProg=/bin/true
SlurmdParameters=config_overrides
ReturnToService=2
NodeName=n[1-4] NodeHostname=$host NodeAddr=127.0.0.1 Port=[17001-17004] CPUs=16 State=UNKNOWN
PartitionName=sweep Nodes=n[1-4] Default=YES MaxTime=INFINITE State=UP
CONF

slurmctld -f "$SLURM_CONF"
for _ in $(seq 100); do [ -s "$work/slurmctld.pid" ] && break; sleep 0.1; done
started "$(cat "$work/slurmctld.pid")"
for n in 1 2 3 4; do
    slurmd -N "n$n" -f "$SLURM_CONF"
    for _ in $(seq 100); do [ -s "$work/slurmd-n$n.pid" ] && break; sleep 0.1; done
    started "$(cat "$work/slurmd-n$n.pid")"
done
for _ in $(seq 120); do
    [ "$(sinfo -h -t idle -o '%D' 2>/dev/null)" = 4 ] && break
    sleep 0.5
done
[ "$(sinfo -h -t idle -o '%D')" = 4 ] || { sinfo >&2; tail "$work"/log/* >&2; echo "FAIL: $stage: the four nodes did not come up" >&2; exit 1; }
echo "$stage: 4 nodes up after $((SECONDS - start_time)) s"

# The cases, their rows one by one, then the same cases as a job array.
make_cases "$work" "$cases"
export PATH="$build:$PATH"
(cd "$work" && for d in runs/*/; do (cd "$d" && energy-totals --label="$(basename "$d")" "$(basename "$d")" 1 8 > /dev/null); done)
n=$(cd "$work" && set -- runs/*/ && echo $#)
[ "$n" -eq "$cases" ]
array_start=$SECONDS
array_epoch=$(date +%s)
# A lock held on the table from outside keeps every task from appending
# until it is let go; the tasks say that they wait.
cc -O2 -o "$work/hold_lock" "$here/hold_lock.c"
"$work/hold_lock" "$work/results7.txt" 10 > "$work/holder.out" &
holder=$!
started "$holder"
for _ in $(seq 100); do grep -q locked "$work/holder.out" && break; sleep 0.1; done
status=0
find "$work/runs" -mindepth 1 -maxdepth 1 -type d | LC_ALL=C sort > "$work/cases.list"
(cd "$work" && exec sbatch --quiet --array=1-"$n" --wait --output="$work/log/task-%a.out" \
    "$top/examples/sweep.sbatch" "$work/cases.list" 7) &
array=$!
sleep 4.5
held_rows=$(wc -l < "$work/results7.txt")
last_row=$(($(stat -c %Y "$work/results7.txt") - array_epoch))
running=$(squeue -h -t R -r | wc -l)
wait "$holder" || true
wait "$array" || status=$?
seconds=$((SECONDS - array_start))
if [ "$status" -ne 0 ]; then
    echo "FAIL: $stage: the job array failed (sbatch status $status)" >&2
    cat "$work"/log/task-*.out | grep -v '^[A-Za-z ]*: [0-9.-]*$' | head -20 >&2 || true
    exit 1
fi
[ "$held_rows" -eq 0 ] || { echo "FAIL: $stage: $held_rows rows were appended while the lock was held" >&2; exit 1; }
waited=$(grep -l 'waiting for the lock' "$work"/log/task-*.out | wc -l)
[ "$waited" -gt 0 ] || { echo "FAIL: $stage: no task waited for the held lock ($running running)" >&2; exit 1; }
echo "$stage: with the table locked from outside, $running tasks were running, none appended, $waited said they waited"
expect_rows "$work/expected8.txt" "$work/results7.txt"
rows=$(wc -l < "$work/results7.txt")
last_row=$(($(stat -c %Y "$work/results7.txt") - array_epoch))
nodes=$(grep -l 'Launching batch job' "$work"/log/slurmd-n*.log | wc -l)
echo "$stage: $cases runs as a job array, on $nodes of the 4 nodes, in $seconds s (the last row in after $last_row s; the lock was let go after 10): $rows rows, each exactly once, as run one by one"

# A case over several nodes: examples/case.sbatch (its #SBATCH lines, which
# are the site's, left out, and its marked lines for the site's
# total-power meter taken in, ipmitool a stand-in) on 2 and then on 4 of
# the nodes, each node metered by a task of its own into NODE/ (stand-ins
# for nvidia-smi and perf too), then one run with --nodes=@nodes. Its row
# must be there once, and its record's figures the sums, node by node, of
# each node's run alone.
. "$top/tests/meter_stubs.sh"
mkdir "$work/bin"
make_meter_stubs "$work/bin"
printf '#!/bin/sh\necho "    Instantaneous power reading:                   412 Watts"\n' > "$work/bin/ipmitool"
chmod +x "$work/bin/ipmitool"
sed -e '/^#SBATCH/d' -e '/^    # while :; do$/,/^    # meters+=/s/^    # /    /' \
    -e 's/^    # >>> and then read it by its stamps: /    /' "$top/examples/case.sbatch" > "$work/case.sh"
grep -q '^    total_options=--total-time=stamps$' "$work/case.sh" ||
    { echo "FAIL: $stage: case.sbatch's marked lines for the total-power meter are not where they were" >&2; exit 1; }
for nodes in 2 4; do
    name="multi$nodes"
    d="$work/runs/$name"
    mkdir -p "$d"
    ln -s ../../results7.txt "$d/results7.txt"
    printf '#!/bin/sh\nsleep 0.5\n' > "$d/my_application"
    chmod +x "$d/my_application"
    job_status=0
    (cd "$d" && PATH="$work/bin:$PATH" IDLE_SECONDS=1 exec sbatch --quiet --wait --nodes="$nodes" \
        --output="$work/log/$name.out" "$work/case.sh") || job_status=$?
    if [ "$job_status" -ne 0 ]; then
        echo "FAIL: $stage: case.sbatch on $nodes nodes failed (sbatch status $job_status)" >&2
        cat "$work/log/$name.out" >&2
        exit 1
    fi
    [ "$(grep -c "		$name\$" "$work/results7.txt")" -eq 1 ] ||
        { echo "FAIL: $stage: case.sbatch on $nodes nodes did not add its row once" >&2; cat "$work/log/$name.out" >&2; exit 1; }
    for n in $(seq "$nodes"); do
        (cd "$d/n$n" && energy-totals --gpus=2 --cpu-format=perf --cpus=2 --total-time=stamps --gpu-log=gpus.csv --phases=../phases \
            --idle=idle --record="$d/alone.jsonl" "$name" 0 0 > /dev/null 2>&1)
    done
    python3 - "$work/records7.jsonl" "$d/alone.jsonl" "$name" "$nodes" <<'PY' || exit 1
import json, sys
case = [r for r in map(json.loads, open(sys.argv[1])) if r["label"] == sys.argv[3]]
alone = [json.loads(line) for line in open(sys.argv[2])]
nodes = int(sys.argv[4])
def summed(key):
    total = None
    for r in alone:
        f = r["figures"][key]
        total = f if total is None else [a + b for a, b in zip(total, f)] if isinstance(f, list) else total + f
    return total
if len(case) != 1 or len(alone) != nodes or len(case[0]["nodes"]) != nodes:
    sys.exit(f"FAIL: slurm stage: {sys.argv[3]}: {len(case)} records, {len(alone)} nodes alone")
for key in ("total_energy", "cpu", "gpu"):
    if case[0]["figures"][key] != summed(key):
        sys.exit(f"FAIL: slurm stage: {sys.argv[3]}: {key} {case[0]['figures'][key]}, the nodes alone {summed(key)}")
PY
    echo "$stage: case.sbatch on $nodes nodes: one row, its figures the sums of each node's run alone"
done
stop_started
echo "$stage: passed in $((SECONDS - start_time)) s"
