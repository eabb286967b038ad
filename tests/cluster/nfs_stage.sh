#!/usr/bin/env bash
# Two client nodes appending to one table over NFS, for real: an NFS server
# (NFS-Ganesha, with rpcbind and rpc.statd) in a network namespace of its
# own, and two virtual machines (QEMU, Debian's kernel, the host's root
# read-only over 9p) on a bridge inside it, each running 64 appends at once
# into one table on the mount. The scenarios:
#   NFSv4.1, and NFSv3 with its lock manager: every run exits 0, the table
#     holds exactly the 128 rows the cases give one by one, and while a lock
#     is held from one node no run on either finishes;
#   NFSv3 with no rpc.statd on the server, so that no lock can be had: every
#     run exits 255 with "couldn't write results" and the table is untouched;
#   NFSv3 mounted nolock, and local_lock=all, whose locks are each node's
#     own: every run exits 0, the 128 rows each exactly once, nothing left
#     beside the table; and with a lock file left by a run killed on node a
#     in place, the same.
# Needs root; installs Debian's packages for all this if they are missing.
#
#   tests/cluster/nfs_stage.sh [BUILD_DIR]
#
# KEEP_WORK=1 keeps the stage's folder (logs, consoles, the export) for a look.
set -euo pipefail
stage="NFS stage"
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
. "$here/common.sh"
per_node=64
start_time=$SECONDS

[ "$(id -u)" -eq 0 ] || skip "needs root, for network namespaces and the server"
[ -c /dev/net/tun ] || skip "no /dev/net/tun, for the client nodes' network"
[ "$(uname -m)" = x86_64 ] || skip "the client nodes are x86-64 machines"
[ -x "$build/energy-totals" ] || { echo "FAIL: no $build/energy-totals: build it first" >&2; exit 1; }
work=$(mktemp -d /tmp/energy-totals-nfs.XXXXXX)
chmod 755 "$work"
ns="energy-totals-nfs-$$"
server_pids=()
guest_pids=()

# stop PID...: stops each, newest first, and waits for it to go.
stop() {
    local i pid
    for ((i = $#; i >= 1; i--)); do
        pid=${!i}
        kill "$pid" 2> /dev/null || continue
        for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2> /dev/null || true
        wait "$pid" 2> /dev/null || true
    done
}
stop_server() { stop "${server_pids[@]}"; server_pids=(); }
cleanup() {
    stop "${guest_pids[@]}"
    stop_server
    ip netns del "$ns" 2> /dev/null || true
    if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
install_packages nfs-ganesha nfs-ganesha-vfs rpcbind nfs-common qemu-system-x86 \
    linux-image-amd64 busybox-static kmod cpio iproute2
ip netns add "$ns" || skip "can't make a network namespace"
cc -O2 -o "$work/hold_lock" "$here/hold_lock.c"
# The newest of Debian's generic kernels, whose modules (9p, NFS) the nodes
# load from the host's root.
kernel=$(ls -v /boot/vmlinuz-*-amd64 2> /dev/null | grep -v cloud | tail -1)
[ -n "$kernel" ] || skip "no Debian kernel for the client nodes in /boot"
kernel_version=${kernel#/boot/vmlinuz-}
"$here/make_initramfs.sh" "$kernel_version" "$work/initrd.img"
# QEMU's own translation: a node boots in a few seconds, and it needs no
# KVM, which a virtual build machine may lack or run far slower than that.
accel=tcg

# The bridge, the server's address on it, and a tap for each node.
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link set lo up
in_ns ip link add br0 type bridge
in_ns ip addr add 192.168.77.1/24 dev br0
in_ns ip link set br0 up
for tap in tap-a tap-b; do
    in_ns ip tuntap add "$tap" mode tap
    in_ns ip link set "$tap" master br0
    in_ns ip link set "$tap" up
done
# The lock manager calls the clients back by name.
printf '127.0.0.1 localhost\n192.168.77.1 etserver\n192.168.77.2 etnodea\n192.168.77.3 etnodeb\n' \
    > "$work/hosts"

# The cases, on the export: node a runs the first half, node b the second.
export LC_ALL=C
make_cases "$work/export" $((2 * per_node))
mkdir -p "$work/bin" "$work/out"
cp "$build/energy-totals" "$work/bin/"
cp "$here/nfs_guest.sh" "$work/"
(cd "$work/export" && for d in runs/*/; do
    (cd "$d" && "$work/bin/energy-totals" "$(basename "$d")" 1 8 > /dev/null); done)
cases=("$work"/export/runs/*/)
for ((i = 0; i < ${#cases[@]}; i++)); do
    name=$(basename "${cases[i]}")
    if [ "$i" -lt "$per_node" ]; then node=a; else node=b; fi
    printf '%s\0' "$name" >> "$work/cases-$node"
done

# start_server WITH_STATD: rpcbind, rpc.statd (or not) and Ganesha, in the
# namespace, with a /run and a hosts file of their own.
start_server() {
    rm -rf "$work/srv"
    mkdir -p "$work/srv/statd/sm" "$work/srv/statd/sm.bak" "$work/srv/recovery"
    cat > "$work/srv/ganesha.conf" <<CONF
NFS_CORE_PARAM {
    Protocols = 3, 4;
    Enable_NLM = true;
    Enable_RQUOTA = false;
    Bind_addr = 192.168.77.1;
}
NFSV4 {
    Graceless = true;
    RecoveryBackend = fs;
    RecoveryRoot = "$work/srv/recovery";
}
EXPORT {
    Export_Id = 1;
    Path = "$work/export";
    Pseudo = /export;
    Protocols = 3, 4;
    Transports = TCP;
    Access_Type = RW;
    Squash = No_Root_Squash;
    FSAL { Name = VFS; }
}
CONF
    : > "$work/srv/pids"
    ip netns exec "$ns" unshare -m --propagation private bash -c '
        work=$1
        mount -t tmpfs tmpfs /run
        mount --bind "$work/hosts" /etc/hosts
        mkdir -p /run/ganesha /run/rpcbind
        rpcbind -f -w & echo $! >> "$work/srv/pids"
        for _ in $(seq 50); do rpcinfo -p 127.0.0.1 > /dev/null 2>&1 && break; sleep 0.1; done
        if [ "$2" = 1 ]; then
            rpc.statd -F -L -P "$work/srv/statd" & echo $! >> "$work/srv/pids"
            for _ in $(seq 50); do rpcinfo -p 127.0.0.1 | grep -q status && break; sleep 0.1; done
            rpcinfo -p 127.0.0.1 | grep -q status || echo "rpc.statd did not start" >&2
        fi
        ganesha.nfsd -F -f "$work/srv/ganesha.conf" -L "$work/srv/ganesha.log" \
            -p "$work/srv/ganesha.pid" & echo $! >> "$work/srv/pids"
        wait' server "$work" "$1" &
    server_pids=($!)
    for _ in $(seq 100); do [ "$(wc -l < "$work/srv/pids")" -eq $((2 + $1)) ] && break; sleep 0.1; done
    mapfile -t -O 1 server_pids < "$work/srv/pids"
    for _ in $(seq 300); do
        in_ns rpcinfo -p 192.168.77.1 2> /dev/null | grep -q nlockmgr && break
        sleep 0.1
    done
    in_ns rpcinfo -p 192.168.77.1 2> /dev/null | grep -q nlockmgr ||
        { tail -20 "$work/srv/ganesha.log" >&2; echo "FAIL: $stage: the server did not start" >&2; exit 1; }
}

# boot NODE ADDRESS VERS PLAN OPTS: starts a client node.
boot() {
    local mac
    mac=52:54:00:77:00:0$([ "$1" = a ] && echo 2 || echo 3)
    # Started directly, not through in_ns, so that $! is QEMU itself.
    ip netns exec "$ns" qemu-system-x86_64 -machine "accel=$accel" -m 512 -kernel "$kernel" -initrd "$work/initrd.img" \
        -append "console=ttyS0 panic=-1 quiet et_init=$work/nfs_guest.sh et_node=$1 et_ip=$2 et_vers=$3 et_plan=$4 et_opts=$5 et_work=$work" \
        -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
        -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
        -fsdev "local,id=out,path=$work/out,security_model=none" -device virtio-9p-pci,fsdev=out,mount_tag=out \
        -netdev "tap,id=net,ifname=tap-$1,script=no,downscript=no" -device "virtio-net-pci,netdev=net,mac=$mac" \
        -display none -monitor none -serial "file:$work/out/console-$1.log" -no-reboot \
        < /dev/null > "$work/out/qemu-$1.log" 2>&1 &
    guest_pids+=($!)
}

# value NODE WHAT: what a node left in the out folder.
value() { cat "$work/out/$1.$2" 2> /dev/null || echo "(none)"; }

fail_scenario() {
    echo "FAIL: $stage: $scenario: $*" >&2
    for n in a b; do
        echo "--- node $n:" >&2
        cat "$work/out/$n.log" >&2 2> /dev/null || true
        tail -5 "$work/out/console-$n.log" >&2 2> /dev/null || true
        cat "$work/out/$n.errors" >&2 2> /dev/null || true
    done
    tail -5 "$work/srv/ganesha.log" >&2 || true
    exit 1
}

# scenario NAME VERS WITH_STATD PLAN [OPTS]
run_scenario() {
    scenario=$1
    local t0=$SECONDS
    : > "$work/export/results7.txt"
    rm -f "$work"/out/*
    cp "$work"/cases-* "$work/out/"
    start_server "$3"
    boot a 192.168.77.2 "$2" "$4" "${5:-}"
    boot b 192.168.77.3 "$2" "$4" "${5:-}"
    local deadline=$((SECONDS + 240))
    while [ $SECONDS -lt $deadline ]; do
        kill -0 "${guest_pids[0]}" 2> /dev/null || kill -0 "${guest_pids[1]}" 2> /dev/null || break
        sleep 0.5
    done
    stop "${guest_pids[@]}"
    guest_pids=()
    stop_server
    for n in a b; do [ -e "$work/out/$n.done" ] || fail_scenario "node $n did not finish"; done
    local want=0 rows
    [ "$4" = broken ] && want=255
    for n in a b; do
        [ "$(value "$n" statuses | xargs)" = "$per_node $want" ] ||
            fail_scenario "node $n's runs exited with (count status) $(value "$n" statuses | xargs), not all $want"
    done
    if [ "$4" = append ]; then
        for n in a b; do
            [ "$(value "$n" early)" = 0 ] ||
                fail_scenario "$(value "$n" early) runs on node $n finished while the lock was held on node a"
        done
        expect_rows "$work/export/expected8.txt" "$work/export/results7.txt"
        rows=$(wc -l < "$work/export/results7.txt")
        echo "$stage: $scenario: $((2 * per_node)) runs on 2 nodes, all exit 0, $rows rows each exactly once" \
            "(nodes a, b: $(value a seconds) s, $(value b seconds) s; $(($(value a waited) + $(value b waited))) runs said they waited for the lock held on node a, none finished under it)"
    elif [ "$4" = plain ] || [ "$4" = stale ]; then
        expect_rows "$work/export/expected8.txt" "$work/export/results7.txt"
        rows=$(wc -l < "$work/export/results7.txt")
        left=$(cd "$work/export" && ls -A | grep -c '^results7\.txt\.' || true)
        [ "$left" = 0 ] || fail_scenario "$left files left beside the table: $(cd "$work/export" && ls -A | grep '^results7\.txt\.' | head -3 | xargs)"
        echo "$stage: $scenario: $((2 * per_node)) runs on 2 nodes, all exit 0, $rows rows each exactly once" \
            "(nodes a, b: $(value a seconds) s, $(value b seconds) s; nothing left beside the table)"
    else
        [ ! -s "$work/export/results7.txt" ] || fail_scenario "the table was changed: $(wc -c < "$work/export/results7.txt") bytes"
        for n in a b; do
            [ "$(value "$n" failures)" = "$per_node" ] || fail_scenario "node $n printed \"couldn't write results\" $(value "$n" failures) times"
        done
        echo "$stage: $scenario: $((2 * per_node)) runs on 2 nodes, all exit 255 with \"couldn't write results\" ($(value a errors | xargs)), the table untouched"
    fi
    echo "$stage: $scenario took $((SECONDS - t0)) s"
}

run_scenario "NFSv4.1" 4.1 1 append
run_scenario "NFSv3 with NLM" 3 1 append
run_scenario "NFSv3, no statd on the server" 3 0 broken
# Mounts whose locks are each node's own: the lock file beside the table
# keeps the nodes apart, and a lock file left by a killed run is broken.
run_scenario "NFSv3 nolock" 3 1 plain nolock
run_scenario "NFSv3 local_lock=all" 3 1 plain local_lock=all
run_scenario "NFSv3 nolock, a holder killed" 3 1 stale nolock
echo "$stage: passed in $((SECONDS - start_time)) s"
