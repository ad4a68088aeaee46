#!/usr/bin/env python3
"""The demonstration's --summary-json: both calls with who placed them and how
they ended, bytes per channel each way with goodput against 64 kbit/s."""
import json
import subprocess
import sys
import tempfile
from pathlib import Path

with tempfile.TemporaryDirectory() as tmp:
    path = Path(tmp) / "summary.json"
    subprocess.run([sys.argv[1], "--quiet", "--summary-json", str(path)], check=True)
    s = json.loads(path.read_text())
fails = []
calls = {c["party"]: c for c in s["calls"]}
out, inc = calls.get("0299887766"), calls.get("0311223344")
if not out or out["direction"] != "out" or "driver" not in out["placed_by"] or out["end"] != "cleared by the driver":
    fails.append(f"the outgoing call: {out}")
if not inc or inc["direction"] != "in" or inc["cause_name"] != "normal clearing" or inc["connected"] is None:
    fails.append(f"the incoming call: {inc}")
ch = {c["channel"]: c for c in s["channels"]}
b1, b2 = ch["B1"], ch["B2"]
if (b1["to_network"]["bytes"], b1["from_network"]["bytes"], b2["from_network"]["bytes"]) != (120, 120, 320):
    fails.append(f"bytes per channel: {s['channels']}")
want = 320 * 8 / b2["connected_seconds"] / 64000
if abs(b2["from_network"]["goodput"] - want) > 1e-9 or not 0 < want < 1:
    fails.append(f"B2 goodput {b2['from_network']['goodput']} against {want}")
if s["status"] != 0 or not s["verdict"].startswith("passed"):
    fails.append(f"verdict {s['verdict']}")
for f in fails:
    print("FAIL:", f)
print(f"summary: {len(fails)} failed checks")
sys.exit(1 if fails else 0)
