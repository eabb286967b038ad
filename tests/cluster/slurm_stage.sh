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
stop_started
echo "$stage: passed in $((SECONDS - start_time)) s"
