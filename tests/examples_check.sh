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

cat > "$work/bin/nvidia-smi" <<'STUB'
#!/bin/sh
case "$*" in
*uuid*) echo GPU-0000aaaa; echo GPU-0000bbbb ;;
*) while :; do printf '%s, 150.00\n' "$(date -u '+%Y/%m/%d %H:%M:%S.%3N')"; sleep 0.05; done ;;
esac
STUB
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/srun"
chmod +x "$work/bin/nvidia-smi" "$work/bin/srun"
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

(cd "$work/runs/case 1" && bash "$source/examples/case.sbatch" > /dev/null 2> "$work/case.err")
[ -s "$work/runs/case 1/gpupower2.out" ] || { echo "FAIL: case.sbatch started no meter for GPU 2"; exit 1; }
[ ! -e "$work/runs/case 1/gpupower3.out" ] || { echo "FAIL: case.sbatch metered a third GPU"; exit 1; }
row=$(tail -n 1 "$work/results7.txt")
case "$row" in
*"		case 1") ;;
*) echo "FAIL: case.sbatch added no row labelled 'case 1': $row"; cat "$work/case.err"; exit 1 ;;
esac
gpu2=$(printf '%s\n' "$row" | awk -F '\t+' '{ print $6 }')
[ "$gpu2" != 0 ] || { echo "FAIL: case.sbatch gave GPU2 no energy: $row"; exit 1; }

cp "$source/examples/gpupower1.out" "$work/runs/case 2/"
find "$work/runs" -mindepth 1 -maxdepth 1 -type d | LC_ALL=C sort > "$work/cases.list"
SLURM_ARRAY_TASK_ID=2 bash "$source/examples/sweep.sbatch" "$work/cases.list" 7 > /dev/null
row=$(tail -n 1 "$work/results7.txt")
case "$row" in
*"		case 2") ;;
*) echo "FAIL: sweep.sbatch added no row labelled 'case 2': $row"; exit 1 ;;
esac
[ "$(wc -l < "$work/results7.txt")" -eq 3 ] || { echo "FAIL: the table should hold a heading and two rows"; exit 1; }
echo "examples: case.sbatch and sweep.sbatch each added their labelled row"
