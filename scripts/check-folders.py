#!/usr/bin/python3
"""Checks that the library's folders are in layers: every folder of psd/ and host/ includes only
folders listed below it in ARCHITECTURE.md's table, so no two include each other, directly or
round a circle. Prints each include that breaks the order and exits 1."""
import os
import re
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
include = re.compile(r'^\s*#\s*include\s+"((?:psd|host)/[^/"]+)/[^"]+"')

# The order is the folder column of ARCHITECTURE.md's table, from the bottom up.
order = []
with open(os.path.join(root, "ARCHITECTURE.md"), encoding="utf-8") as f:
    for line in f:
        m = re.match(r"^\|\s*`((?:psd|host)/[a-z]+)`", line)
        if m:
            order.append(m.group(1))
rank = {folder: i for i, folder in enumerate(order)}

problems = []
for top in ("psd", "host"):
    for folder in sorted(os.listdir(os.path.join(root, top))):
        name = top + "/" + folder
        path = os.path.join(root, name)
        if not os.path.isdir(path):
            continue
        if name not in rank:
            problems.append("%s: not in ARCHITECTURE.md's table of folders" % name)
            continue
        for file in sorted(os.listdir(path)):
            if not file.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(path, file), encoding="utf-8") as f:
                for n, line in enumerate(f, 1):
                    m = include.match(line)
                    if not m or m.group(1) == name:
                        continue
                    target = m.group(1)
                    if target not in rank:
                        problems.append("%s/%s:%d: includes %s, which is not in the table"
                                        % (name, file, n, target))
                    elif rank[target] > rank[name]:
                        problems.append("%s/%s:%d: includes %s, which is above it"
                                        % (name, file, n, target))

for p in problems:
    print(p)
if problems:
    sys.exit(1)
print("folders in layers: %d folders, each including only those below it" % len(order))
