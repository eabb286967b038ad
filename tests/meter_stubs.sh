# Stand-ins for a node's meters, for the job scripts' checks: nvidia-smi
# (two GPUs), perf (two sockets' package energy), lscpu and srun, written
# as commands into the directory $1.
#
#   . tests/meter_stubs.sh; make_meter_stubs DIR [with_srun]
make_meter_stubs() {
    cat > "$1/nvidia-smi" <<'STUB'
#!/bin/sh
case "$*" in
*timestamp*)
    echo "timestamp, index, power.draw.instant [W]"
    while :; do
        t=$(date -u '+%Y/%m/%d %H:%M:%S.%3N')
        printf '%s, 0, 150.00 W\n%s, 1, 120.00 W\n' "$t" "$t"
        sleep 0.05
    done ;;
*index*) echo 0; echo 1 ;;
*power.draw.instant*) echo "150.00 W"; echo "120.00 W" ;;
esac
STUB
    cat > "$1/perf" <<'STUB'
#!/bin/sh
# perf stat -a --per-socket -I 1000 -e power/energy-pkg/, to standard error:
# two sockets' package energy, a line each an interval.
t=0
echo "#           time socket cpus             counts   unit events" >&2
while :; do
    t=$((t + 1))
    printf '%6d.000000000 S0        1              94.07 Joules power/energy-pkg/\n' "$t" >&2
    printf '%6d.000000000 S1        1              98.44 Joules power/energy-pkg/\n' "$t" >&2
    sleep 0.1
done
STUB
    printf '#!/bin/sh\necho "# Socket"; echo 0; echo 1\n' > "$1/lscpu"
    chmod +x "$1/nvidia-smi" "$1/perf" "$1/lscpu"
    if [ "${2:-}" = with_srun ]; then
        printf '#!/bin/sh\nexec "$@"\n' > "$1/srun"
        chmod +x "$1/srun"
    fi
}
