#!/usr/bin/env python3
"""Checks that host/ keeps its layers: each folder includes only folders below it.

    nt     the executive: scheduler, memory, objects and I/O, registry, threads
    check  what watches the machine: trace, faults, verifier, event log
    ndis   the NDIS wrapper and the layers above the miniport
    isdn   the ISDN driver below the miniport and its exchange
    pe     the loader of the NT image, which binds its imports to all of them

At the root, host.h and runtime.h include no folder; the public headers
host_*.h (tools/check_public_api.py lists them) each gather the folder
headers of what they expose; host.cpp assembles the machine and
host_views.cpp answers host.h's questions about the executive.
Exit status 1 names every include that points upwards.
"""
import pathlib
import re
import sys

LAYERS = ["nt", "check", "ndis", "isdn", "pe"]
root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "host")
include = re.compile(r'#include "([a-z]+)/')
bad = []
for path in sorted(root.rglob("*")):
    if path.suffix not in (".h", ".cpp", ".in"):
        continue
    rel = path.relative_to(root)
    here = rel.parts[0] if len(rel.parts) > 1 else None
    for n, line in enumerate(path.read_text().splitlines(), 1):
        m = include.match(line)
        if not m or m.group(1) not in LAYERS:
            continue
        if here is None:
            if rel.name not in ("host.cpp", "host_views.cpp") and not rel.name.startswith("host_"):
                bad.append(f"{rel}:{n}: the root's headers include no folder ({m.group(1)}/)")
        elif LAYERS.index(m.group(1)) > LAYERS.index(here):
            bad.append(f"{rel}:{n}: {here}/ may not include {m.group(1)}/, which sits above it")
for b in bad:
    print(b)
print(f"host layers: {len(bad)} upward include(s)")
sys.exit(1 if bad else 0)
