# Shared by the cluster stages: what they need, the sweep's cases, and the
# check of the table. Sourced, not run.

# skip WHY: a stage that can't run here says so loudly; in CI that fails it,
# by hand it is skipped.
skip() {
    echo "!!! $stage: CAN'T RUN HERE: $*" >&2
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $stage needs this in CI" >&2
        exit 1
    fi
    echo "$stage: skipped" >&2
    exit 0
}

# install_packages PACKAGE...: installs those that are missing, without
# letting their daemons start (no policy-rc.d of the machine's own is changed).
install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local made_policy=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        made_policy=1
    fi
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"; } > "$work/apt.log" 2>&1 ||
        { [ -n "$made_policy" ] && rm -f /usr/sbin/policy-rc.d; tail -20 "$work/apt.log" >&2;
          skip "could not install ${missing[*]}"; }
    [ -n "$made_policy" ] && rm -f /usr/sbin/policy-rc.d
    return 0
}

# started PID: remember a process to stop at the end.
started_pids=()
started() { started_pids+=("$1"); }

# stop_started: stops every process this stage started, by its pid, newest
# first, and waits for each to go.
stop_started() {
    local i pid
    for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
        pid=${started_pids[i]}
        kill "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    done
    started_pids=()
}

# make_cases DIR COUNT: COUNT case directories under DIR/runs, named with
# blanks and quotes as users name them, each with logs of its own (the GPU
# log's readings differ from case to case, so every row differs) and links
# (relative, so that they hold wherever DIR is mounted) to the sweep's table
# results7.txt and, as results8.txt, to expected8.txt in DIR.
make_cases() {
    local dir=$1 count=$2 i name d
    mkdir -p "$dir/runs"
    : > "$dir/results7.txt"
    : > "$dir/expected8.txt"
    for ((i = 1; i <= count; i++)); do
        case $((i % 3)) in
            0) name=$(printf "case %02d" "$i") ;;
            1) name=$(printf "case'%02d" "$i") ;;
            *) name=$(printf 'case"%02d' "$i") ;;
        esac
        d="$dir/runs/$name"
        mkdir "$d"
        awk -v i="$i" 'BEGIN { for (l = 0; l < 40; l++) printf "10:00:%04.1f A %d.5\n", l / 2, 300 + i }' > "$d/$name.total.pwr"
        awk -v i="$i" 'BEGIN { print "time host p0 d0 t0 f0 p1"; for (l = 0; l < 20; l++) printf "10:00:%02d n1 %d 1 2 3 %d\n", l, 90 + i, 80 + i }' > "$d/$name.cpu.pwr"
        awk -v i="$i" 'BEGIN { for (l = 0; l < 200; l++) printf "%d.25 W\n", 100 + i }' > "$d/gpupower1.out"
        ln -s ../../results7.txt "$d/results7.txt"
        ln -s ../../expected8.txt "$d/results8.txt"
    done
}

# expect_rows EXPECTED TABLE: the table holds exactly the expected rows, in
# any order: none lost, torn, glued or doubled.
expect_rows() {
    local expected=$1 table=$2
    if ! diff <(sort "$expected") <(sort "$table") > "$work/rows.diff"; then
        echo "FAIL: $stage: the table's rows are not the expected ones:" >&2
        head -20 "$work/rows.diff" >&2
        exit 1
    fi
}
