#!/usr/bin/env python3
"""Writes a large case into a directory: NAME.total.pwr, NAME.cpu.pwr and
gpupower1.out, with the line counts given, in the shapes meters write.

    make_case.py DIR NAME TOTAL CPU GPU [STYLE]

STYLE is plain (readings of one width: GPU 150-300 W, total 300-500 W),
mixed (readings whose width changes from line to line, GPU 20-300 W, total
50-400 W, and CPU lines of 63 to 66 bytes, a host's full name), stamped (the
plain case, gpupower1.out with a stamp, seconds since the epoch, before each
reading, 0.1 s apart) or onelog (the plain case, and gpus.csv: GPU lines of
four GPUs in one log, nvidia-smi's shape, a stamp every 0.1 s)."""
import random
import sys


def write_lines(path, count, line, header=None):
    rng = random.Random(path)
    with open(path, "w") as f:
        if header:
            f.write(header)
        chunk = []
        for i in range(count):
            chunk.append(line(rng, i))
            if len(chunk) == 100000:
                f.write("".join(chunk))
                chunk = []
        f.write("".join(chunk))


def clock(i):
    s = i // 10
    return f"{s // 3600 % 24:02d}:{s // 60 % 60:02d}:{s % 60:02d}"


def main():
    directory, name = sys.argv[1], sys.argv[2]
    total, cpu, gpu = (int(n) for n in sys.argv[3:6])
    style = sys.argv[6] if len(sys.argv) > 6 else "plain"
    mixed = style == "mixed"
    total_range, gpu_range = ((50, 400), (20, 300)) if mixed else ((300, 500), (150, 300))
    host = "node07.cluster.example.org" if mixed else "node07"
    write_lines(f"{directory}/{name}.total.pwr", total,
                lambda r, i: f"{clock(i)} A {r.uniform(*total_range):.2f}\n")
    write_lines(f"{directory}/{name}.cpu.pwr", cpu,
                lambda r, i: f"{clock(i)} {host} {r.uniform(80, 110):.2f} {r.uniform(9, 13):.2f} "
                             f"{r.uniform(55, 70):.1f} {r.uniform(2.6, 3.2):.2f} {r.uniform(80, 110):.2f}\n",
                header="time host pkg0_J dram0_J temp0_C freq0_GHz pkg1_J\n")
    if style == "stamped":
        write_lines(f"{directory}/gpupower1.out", gpu,
                    lambda r, i: f"{1714557600 + i // 10}.{i % 10}{r.randrange(100):02d}, {r.uniform(*gpu_range):.2f}\n")
    else:
        write_lines(f"{directory}/gpupower1.out", gpu,
                    lambda r, i: f"{r.uniform(*gpu_range):.2f} W\n")
    if style == "onelog":
        write_lines(f"{directory}/gpus.csv", gpu,
                    lambda r, i: f"{1714557600 + i // 40}.{i // 4 % 10}00, {i % 4}, {r.uniform(*gpu_range):.2f} W\n",
                    header="timestamp, index, power.draw [W]\n")


main()
