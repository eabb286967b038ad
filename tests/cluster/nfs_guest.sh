#!/bin/bash
# The init of a client node: a virtual machine booted on the host's root,
# read-only over 9p. It loads the NFS client, mounts the server's export and
# runs its share of the cases, in parallel, into the table there; what it
# saw goes to the host folder $et_work/out (9p mount tag "out"), and then it
# powers off. The kernel's command line sets:
#   et_node  a or b             et_ip    its address
#   et_vers  4.1 or 3           et_work  the stage's folder on the host
#   et_plan  append: a holds a lock on the table from outside until both
#            nodes have seen their runs wait; broken: no lock can be had;
#            plain: the runs alone; stale: a leaves the lock file of a run
#            killed on it, and both nodes start their runs after that.
#   et_opts  more mount options (nolock, local_lock=all), or none
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C
out=/run/et/out
poweroff_now() {
    sync
    echo o > /proc/sysrq-trigger
    sleep 30
}
trap poweroff_now EXIT
mount -t proc proc /proc
mount -t sysfs sys /sys
# Scratch space under /run: the stage's folder on the host may be in /tmp.
mount -t tmpfs tmpfs /run
mkdir -p /run/et
cd /run/et
mkdir -p out nfs statd st err stdout
mount -t 9p -o trans=virtio,version=9p2000.L out "$out"
say() { echo "$*" >> "$out/$et_node.log"; }
fail() { say "FAIL: $*"; exit 1; }

hostname "etnode$et_node"
modprobe virtio_net && modprobe nfsv4 && modprobe nfsv3 || fail "can't load the NFS client"
ip link set lo up
ip addr add "$et_ip/24" dev eth0
ip link set eth0 up
if [ "$et_vers" = 3 ]; then
    # NFSv3 locks go through the lock manager, which needs these here too.
    mkdir -p /run/et/statd/sm /run/et/statd/sm.bak
    rpcbind -w 2>> "$out/$et_node.log" || fail "rpcbind"
    for _ in $(seq 50); do rpcinfo -p 127.0.0.1 > /dev/null 2>&1 && break; sleep 0.1; done
    rpc.statd --no-notify -P /run/et/statd 2>> "$out/$et_node.log" || fail "rpc.statd"
fi
# NFSv4 mounts the export's pseudo path, NFSv3 its path on the server.
export_path=/export
[ "$et_vers" = 3 ] && export_path=$et_work/export
for _ in $(seq 20); do
    mount -t nfs -o "vers=$et_vers${et_opts:+,$et_opts}" "192.168.77.1:$export_path" /run/et/nfs 2>> "$out/$et_node.log" && break
    sleep 0.5
done
mountpoint -q /run/et/nfs || fail "can't mount the export"
table=/run/et/nfs/results7.txt
say "mounted with vers=$et_vers${et_opts:+,$et_opts}: $(grep ' /run/et/nfs ' /proc/self/mountinfo)"

# waits for a file to appear, for up to two minutes.
await() {
    for _ in $(seq 1200); do [ -e "$1" ] && return 0; sleep 0.1; done
    fail "no $1"
}

if [ "$et_plan" = append ]; then
    if [ "$et_node" = a ]; then
        "$et_work/hold_lock" "$table" 0 "$out/a.checked" "$out/b.checked" > /run/et/holder.out 2>&1 &
        for _ in $(seq 300); do grep -q locked /run/et/holder.out && break; sleep 0.1; done
        grep -q locked /run/et/holder.out || fail "the holder got no lock: $(cat /run/et/holder.out)"
        touch "$out/a.locked"
    fi
    await "$out/a.locked"
fi

if [ "$et_plan" = stale ]; then
    if [ "$et_node" = a ]; then
        # A run killed while it held the lock file: its holder, named in
        # it, is gone.
        sh -c 'echo "$(hostname) $$" > "$0.lock"; kill -9 $$' "$table"
        [ -e "$table.lock" ] || fail "no lock file left behind"
        touch "$out/a.planted"
    fi
    await "$out/a.planted"
fi

start=$(date +%s%N)
i=0
while IFS= read -r -d '' name; do
    i=$((i + 1))
    (cd "/run/et/nfs/runs/$name" && "$et_work/bin/energy-totals" "$name" 1 7 \
        > "/run/et/stdout/$i" 2> "/run/et/err/$i"; echo $? > "/run/et/st/$i") &
done < "$out/cases-$et_node"
if [ "$et_plan" = append ]; then
    # The lock is held on the other node (or by another process here): no
    # run may finish until it is let go.
    sleep 4
    ls /run/et/st | wc -l > "$out/$et_node.early"
    touch "$out/$et_node.checked"
fi
wait
end=$(date +%s%N)
cat /run/et/st/* | sort | uniq -c > "$out/$et_node.statuses"
grep -l 'waiting for the lock' /run/et/err/* 2>/dev/null | wc -l > "$out/$et_node.waited"
cat /run/et/stdout/* | grep -c "^couldn't write results$" > "$out/$et_node.failures" || true
grep -vh 'waiting for the lock' /run/et/err/* | sort | uniq -c > "$out/$et_node.errors" || true
ms=$(((end - start) / 1000000))
printf '%d.%d\n' $((ms / 1000)) $((ms % 1000 / 100)) > "$out/$et_node.seconds"
umount /run/et/nfs || say "umount failed"
say "done: $i runs"
touch "$out/$et_node.done"
