#!/usr/bin/env python3
"""Reads the demonstration's JSON Lines trace back: a header, then records
numbered 1, 2, ... with decoded fields, and no raw status where a name exists."""
import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sim = sys.argv[1]
with tempfile.TemporaryDirectory() as tmp:
    path = Path(tmp) / "demo.jsonl"
    subprocess.run([sim, "--quiet", "--trace", str(path)], check=True)
    # The whole file is JSON Lines as json.tool reads it.
    subprocess.run([sys.executable, "-m", "json.tool", "--json-lines", str(path)], check=True,
                   stdout=subprocess.DEVNULL)
    lines = [json.loads(l) for l in path.read_text().splitlines()]

fails = []
def check(cond, what):
    if not cond:
        fails.append(what)

head, records = lines[0], lines[1:]
check(head.get("record") == "header", "the first line is the header")
for key in ("version", "git", "seed", "command_line", "config", "config_sha256"):
    check(key in head, f"the header has {key}")
check(re.fullmatch(r"[0-9a-f]{64}", head.get("config_sha256") or ""), "the configuration's digest is a SHA-256")
check([r["seq"] for r in records] == list(range(1, len(records) + 1)), "sequence numbers run 1, 2, ... without a gap")
check(all(r["time"] <= s["time"] for r, s in zip(records, records[1:])), "virtual time never goes back")
for r in records:
    for key in ("time", "context", "kind", "event", "text", "fields"):
        check(key in r, f"record {r.get('seq')} has {key}")

def events(name):
    return [r for r in records if r["event"] == name]

sends = events("wan.send")
check(sends and all({"packet", "link", "length", "frame"} <= r["fields"].keys() for r in sends),
      "WAN sends carry packet, link, length and frame")
commands = events("isdn.command")
check({r["fields"]["command"] for r in commands} >= {"listen", "call", "send", "clear"},
      "ISDN commands are named")
check(all("req" in r["fields"] and "hcom" in r["fields"] for r in commands), "ISDN commands carry req and hcom")
states = {r["fields"].get("state") for r in events("tapi.event")}
check({"LINECALLSTATE_CONNECTED", "LINECALLSTATE_IDLE"} <= states, "call states are named")
answers = events("tapi.answer")
check(answers and all(r["fields"]["status"].startswith("NDIS_STATUS_") and r["fields"]["oid"].startswith("OID_")
                      for r in answers), "TAPI answers carry OID and status names")
clears = events("exchange.clear")
check(clears and all(r["context"] == "exchange" and r["fields"]["party"] for r in clears),
      "the exchange's clearings are credited to the exchange and name the party")
# Names wherever a name exists: no status shown as a bare number.
for r in records:
    for key, value in r["fields"].items():
        if key.endswith("_value") and isinstance(r["fields"].get(key[:-6]), str):
            name = r["fields"][key[:-6]]
            check(not re.fullmatch(r"0x[0-9A-F]{8}", name) or key[:-6] in ("detail",),
                  f"record {r['seq']}: {key[:-6]} {name} has no name")
    check(not re.search(r"(-> |status )0x[0-9A-F]{8}", r["text"]), f"record {r['seq']}: raw status in '{r['text']}'")

for f in fails[:20]:
    print("FAIL:", f)
print(f"trace: {len(records)} records, {len(fails)} failed checks")
sys.exit(1 if fails else 0)
