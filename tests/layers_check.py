#!/usr/bin/env python3
"""The layers of src/: a file includes only folders below its own (table/
and case/ side by side, neither including the other) and, within its
folder, only files listed before it in the folder's README.

    tests/layers_check.py SOURCE_DIR
"""
import os
import re
import sys

src = os.path.join(sys.argv[1] if len(sys.argv) > 1 else ".", "src")
rank = {"base": 0, "read": 1, "report": 2, "table": 3, "case": 3, "cli": 4}
faults = []
for folder in rank:
    readme = open(os.path.join(src, folder, "README.md")).read()
    order = re.findall(r"^- `(\w+)`", readme, re.M)
    files = sorted(f for f in os.listdir(os.path.join(src, folder)) if f.endswith((".h", ".cpp")))
    for name in files:
        unit = name.rsplit(".", 1)[0]
        if unit not in order:
            faults.append("%s/%s: not in %s/README.md" % (folder, name, folder))
            continue
        for target in re.findall(r'^#include "([^"]+)"', open(os.path.join(src, folder, name)).read(), re.M):
            if "/" not in target:
                faults.append("%s/%s: includes %s without its folder" % (folder, name, target))
                continue
            where, header = target.split("/", 1)
            other = header.rsplit(".", 1)[0]
            if where == folder:
                if other != unit and (other not in order or order.index(other) > order.index(unit)):
                    faults.append("%s/%s: includes %s, which stands above it" % (folder, name, target))
            elif where not in rank or rank[where] >= rank[folder]:
                faults.append("%s/%s: includes %s, a folder that is not below it" % (folder, name, target))
for f in faults:
    print("FAIL:", f)
if faults:
    sys.exit(1)
print("layers: every include runs down")
