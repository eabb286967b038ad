#!/usr/bin/env python3
"""The record, the picture and the series of a case, read back as their
readers read them: the record by Python's JSON parser, the picture by its
XML parser and drawn by rsvg-convert into pixels that show each trace
where it should be, the series summed by a trapezoid of this script's own
against the summary. And the bundled case's picture, regenerated, is the
committed examples/case1.svg.

    tests/record_check.py BUILD_DIR SOURCE_DIR
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib

build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
tool = os.path.join(build, "energy-totals")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(cwd, *words):
    env = dict(os.environ, TZ="UTC")
    r = subprocess.run([tool, *words], cwd=cwd, capture_output=True, env=env)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def summary_figure(output, label):
    for line in output.splitlines():
        if line.startswith(label + ": "):
            return float(line.split(": ")[1])
    return None


def png_pixels(path):
    """The pixels of an 8-bit RGB or RGBA PNG, as rows of bytes, and the
    bytes a pixel."""
    data = open(path, "rb").read()
    at, idat, width, height, bpp = 8, b"", 0, 0, 4
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
            bpp = 4 if colour == 6 else 3
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, stride, rows = zlib.decompress(idat), width * bpp, []
    prior = bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prior[i]
            c = prior[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prior = line
    return bpp, rows


work = tempfile.mkdtemp()
try:
    # A case of known power: the node at 1000 W, CPU1 100 J and CPU2 50 J a
    # second, GPU1 at 200 W and GPU2 at 300 W, each 0.1 s, for 100 s; GPU2
    # stalls from 40 to 60 s. Phases: idle, then compute.
    case = os.path.join(work, "c")
    os.mkdir(case)
    start = 1714557600
    with open(os.path.join(case, "c.total.pwr"), "w") as f:
        for i in range(200):
            f.write("%.1f A 1000\n" % (start + i * 0.5))
    with open(os.path.join(case, "c.cpu.pwr"), "w") as f:
        f.write("time h pkg0 a b c pkg1\n")
        for s in range(1, 101):
            f.write("%d h 100 a b c 50\n" % (start + s))
    with open(os.path.join(case, "gpus.csv"), "w") as f:
        f.write("timestamp, index, power.draw.instant [W]\n")
        for i in range(1001):
            for g, watts in ((0, 200), (1, 300)):
                if g == 1 and 400 < i < 600:
                    continue
                f.write("%.1f, %d, %d.00 W\n" % (start + i / 10, g, watts))
    with open(os.path.join(case, "marks"), "w") as f:
        f.write("%d idle begin\n%d idle end\n%d compute begin\n%d compute end\n" %
                (start + 1, start + 11, start + 20, start + 90))
    open(os.path.join(case, "results.txt"), "w").close()
    label = 'c"1\\ \xe9\udcff'.encode("utf-8", "surrogateescape").decode("latin-1")
    label_bytes = label.encode("latin-1")
    r = subprocess.run([tool, "--gpu-log=gpus.csv", "--phases=marks", "--idle=idle", "--record=runs.jsonl",
                        "--plot=c.svg", "--series=c.csv", b"--label=" + label_bytes, "c", "1", "0"],
                       cwd=case, capture_output=True, env=dict(os.environ, TZ="UTC"))
    output = r.stdout.decode()
    check(r.returncode == 0, "the run with a record: status %d, %s" % (r.returncode, r.stderr))
    records = [json.loads(line) for line in open(os.path.join(case, "runs.jsonl"), encoding="utf-8")]
    check(len(records) == 1, "one record a run")
    rec = records[0]
    check(rec["schema"] == 1 and rec["tool"] == "energy-totals", "the record's schema")
    # The label's bytes: UTF-8 as it is, a byte that is no UTF-8 as its value.
    check(rec["label"] == 'c"1\\ \xe9\xff', "the label read back: %r" % rec["label"])
    check(repr(rec["figures"]["total_energy"]) == repr(summary_figure(output, "total energy"))
          or abs(rec["figures"]["total_energy"] - summary_figure(output, "total energy")) < 1e-6,
          "the record's total energy is the summary's")
    for k, name in ((0, "GPU1"), (1, "GPU2")):
        check(abs(rec["figures"]["gpu"][k] - summary_figure(output, name)) < 1e-6, name + " in the record")
    gpu2 = [m for m in rec["meters"] if m["meter"] == "GPU2"][0]
    check(gpu2["gaps"] == 1 and abs(gpu2["largest_gap"] - 20) < 0.2, "GPU2's stall as a gap: %r" % gpu2)
    check(abs(gpu2["median_period"] - 0.1) < 1e-6 and gpu2["column"].startswith("power.draw.instant"),
          "GPU2's period and column: %r" % gpu2)
    node = rec["meters"][0]
    check(abs(node["mean_watts"] - 1000) < 1e-6 and node["peak_watts"] == 1000, "the node's mean and peak")
    check([p["name"] for p in rec["phases"]] == ["idle", "compute", "unmarked"], "the phases in the record")
    check(abs(rec["phases"][1]["net"]["gpu"][0]) < 1e-6, "GPU1's compute net of idle: 0 at a steady 200 W")
    check("coverage:GPU2" not in rec["flags"], "GPU2 covers the run but for its gap")
    # A record file that can't be made is named as itself, never as the
    # table, and nothing suggests making a table.
    table_before = open(os.path.join(case, "results.txt"), "rb").read()
    for bad in ("/nonexistent/r.jsonl", "."):
        code, output, errors = run(case, "--gpu-log=gpus.csv", "--record=" + bad, "c", "1", "0")
        check(code == 255 and ("energy-totals: %s: " % bad) in errors and "--heading" not in errors,
              "a record file that can't be made: %d %r" % (code, errors))
    check(open(os.path.join(case, "results.txt"), "rb").read() == table_before, "the table as it was")
    # A case with every kind of warning has them all, each with its code.
    odd = os.path.join(work, "odd")
    os.mkdir(odd)
    with open(os.path.join(odd, "o.total.pwr"), "w") as f:
        f.write("10:00:00 A 400\n\n10:00:00 A x\n10:00:01 A 12W\n10:00:01 A nan\n10:00:02 A -5\n10:00:02 A 400")
    with open(os.path.join(odd, "o.cpu.pwr"), "w") as f:
        f.write("t h 1 a b c 2\n10:00:01 h 5 a b c\n")
    with open(os.path.join(odd, "gpupower1.out"), "w") as f:
        f.write("".join("%d W\n" % (6000 + i) for i in range(30)))
    code, output, errors = run(odd, "--record=r.jsonl", "o", "0", "0")
    rec = json.loads(open(os.path.join(odd, "r.jsonl")).read())
    codes = [w["code"] for w in rec["warnings"]]
    check(len(codes) == errors.count("\n") and len(codes) >= 6, "every warning recorded: %r / %r" % (codes, errors))
    check("other" not in codes and "warnings" in rec["flags"], "each warning has its code: %r" % codes)
    check(rec["warnings"][0]["text"] == errors.splitlines()[0], "a warning's text as said")
    # --check --record lists each case with something to look at: the odd
    # one, and the first, whose GPU2 stalled.
    shutil.copy(os.path.join(odd, "r.jsonl"), os.path.join(case, "more.jsonl"))
    with open(os.path.join(case, "more.jsonl"), "a") as f:
        f.write(open(os.path.join(case, "runs.jsonl")).read())
    code, output, errors = run(case, "--check=results.txt", "--record=more.jsonl")
    check(code == 1 and output.startswith("record of (no label): warnings, coverage:CPU1") and
          "2 records, 2 to look at" in output, "--check --record: %d %r" % (code, output))
    # A GPU whose log stopped half way is listed for its coverage.
    half = os.path.join(work, "half")
    shutil.copytree(case, half)
    with open(os.path.join(half, "gpus.csv"), "w") as f:
        f.write("timestamp, index, power.draw.instant [W]\n")
        for i in range(1001):
            f.write("%.1f, 0, 200.00 W\n" % (start + i / 10))
            if i <= 500:
                f.write("%.1f, 1, 300.00 W\n" % (start + i / 10))
    open(os.path.join(half, "runs.jsonl"), "w").close()
    run(half, "--gpu-log=gpus.csv", "--record=runs.jsonl", "c", "0", "0")
    code, output, errors = run(half, "--check=results.txt", "--record=runs.jsonl")
    check("coverage:GPU2" in output and "coverage:GPU1" not in output, "the GPU that stopped half way: %r" % output)
    # The series, summed by a trapezoid here, is each GPU's figure.
    rows = [line.split(",") for line in open(os.path.join(case, "c.csv")).read().splitlines()]
    check(rows[0] == ["seconds", "meter", "watts"], "the series' header")
    for name in ("GPU1", "GPU2"):
        points = [(float(s), float(w)) for s, m, w in rows[1:] if m == name]
        energy = sum((points[i][1] + points[i - 1][1]) * (points[i][0] - points[i - 1][0]) / 2
                     for i in range(1, len(points)))
        check(abs(energy - summary_figure(r.stdout.decode(), name)) < 1e-6 * energy, "the series of " + name)
    # The picture: XML, and drawn, each trace at its power's height, and
    # none of GPU2's in its stall.
    svg = ET.parse(os.path.join(case, "c.svg")).getroot()
    check(svg.tag.endswith("svg"), "the picture is SVG")
    if shutil.which("rsvg-convert") is None:
        check(False, "rsvg-convert is needed to draw the picture (librsvg2-bin)")
    else:
        subprocess.run(["rsvg-convert", "-o", os.path.join(case, "c.png"), os.path.join(case, "c.svg")], check=True)
        bpp, pixels = png_pixels(os.path.join(case, "c.png"))
        # The axes: 0 to 500 W over 444 pixels from y = 40; 0 to 100.5 s
        # over 868 pixels from x = 72.
        ticks = [float(t.text) for t in svg.iter("{http://www.w3.org/2000/svg}text") if t.get("text-anchor") == "end"]
        top_watts = max(ticks)

        def colour_near(x, watts, rgb):
            y = round(40 + 444 - watts / top_watts * 444)
            return any(abs(pixels[yy][x * bpp] - rgb[0]) < 40 and abs(pixels[yy][x * bpp + 1] - rgb[1]) < 40 and
                       abs(pixels[yy][x * bpp + 2] - rgb[2]) < 40 for yy in range(y - 2, y + 3))

        x_at = lambda seconds: round(72 + (seconds + 0.5) / 100.5 * 868)
        check(colour_near(x_at(30), 1000, (0, 0, 0)), "the node's trace at 1000 W")
        check(colour_near(x_at(30), 200, (0xd6, 0x27, 0x28)), "GPU1's trace at 200 W")
        check(colour_near(x_at(30), 300, (0xff, 0x7f, 0x0e)), "GPU2's trace at 300 W")
        check(not colour_near(x_at(50), 300, (0xff, 0x7f, 0x0e)), "no GPU2 trace in its stall")
        check(colour_near(x_at(30), 150, (0x1f, 0x5f, 0xa8)) or colour_near(x_at(30), 100, (0x1f, 0x5f, 0xa8)),
              "CPU1's trace at 100 W")
    # A label with characters XML forbids, and readings of inf: the
    # picture is still XML, with no coordinate that is no number, and its
    # legend counts what it did not draw.
    odd_picture = os.path.join(work, "odd_picture")
    shutil.copytree(case, odd_picture)
    with open(os.path.join(odd_picture, "gpus.csv"), "w") as f:
        f.write("timestamp, index, power.draw.instant [W]\n")
        for i in range(1001):
            f.write("%.1f, 0, %s W\n" % (start + i / 10, "inf" if 300 <= i < 303 else "200.00"))
    r = subprocess.run([tool, "--gpu-log=gpus.csv", "--plot=c.svg", "--label=a\xef\xbf\xbe\x01b".encode("latin-1"),
                        "c", "0", "0"], cwd=odd_picture, capture_output=True)
    check(r.returncode == 0, "the run with inf readings: %d %r" % (r.returncode, r.stderr))
    try:
        odd_svg = ET.parse(os.path.join(odd_picture, "c.svg")).getroot()
        paths = " ".join(p.get("d", "") for p in odd_svg.iter("{http://www.w3.org/2000/svg}path"))
        texts = [t.text or "" for t in odd_svg.iter("{http://www.w3.org/2000/svg}text")]
        check("nan" not in paths and "inf" not in paths, "no coordinate that is no number")
        check(texts[0] == "a\ufffd\ufffdb", "the title's forbidden characters as U+FFFD: %r" % texts[0])
        check(any(t.startswith("GPU1:") and "3 readings no finite number" in t for t in texts),
              "the legend counts the readings not drawn: %r" % texts)
    except ET.ParseError as e:
        check(False, "the picture with a forbidden label and inf readings is XML: %s" % e)
    # The bundled case's picture is the committed one.
    bundled = os.path.join(work, "bundled")
    os.mkdir(bundled)
    for name in ("case1.total.pwr", "case1.cpu.pwr", "gpupower1.out"):
        shutil.copy(os.path.join(source, "examples", name), bundled)
    run(bundled, "--plot=case1.svg", "case1", "0", "0")
    check(open(os.path.join(bundled, "case1.svg")).read() == open(os.path.join(source, "examples", "case1.svg")).read(),
          "examples/case1.svg is the bundled case's picture (make it again with: cd examples && "
          "energy-totals --plot=case1.svg case1 0 0)")
finally:
    shutil.rmtree(work)
if failures:
    sys.exit(1)
print("record, picture and series read back as their readers read them")
