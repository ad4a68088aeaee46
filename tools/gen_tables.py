#!/usr/bin/env python3
"""Writes, from the platform headers, the OID, status and TAPI constant names
(ndis_names.inc, which the host's trace and the tools share) and the field
table of every record (ndis_tables.inc), so that a scenario can name a
request's fields as the headers do. The build runs it whenever a header
changes, so neither can drift from platform/.

usage: gen_tables.py TABLES_OUTPUT NAMES_OUTPUT"""
import re
import sys
from pathlib import Path

root = Path(__file__).resolve().parent.parent
headers = [root / "platform" / n for n in ("ndis.h", "ndiswan.h", "ndistapi.h")]
text = "\n".join(h.read_text() for h in headers)
record_text = "\n".join(h.read_text() for h in headers[1:])

def names(prefix):
    seen = []
    for m in re.finditer(r"^#define (" + prefix + r"\w*)\s+\S", text, re.M):
        if m.group(1) not in seen:
            seen.append(m.group(1))
    return seen

records = []
for m in re.finditer(r"typedef struct _(\w+) \{(.*?)\} (\w+)[,;]", record_text, re.S):
    body, name = m.group(2), m.group(3)
    records.append((name, body))
known = {n for n, _ in records}

def fields(body, prefix=""):
    out = []
    for line in body.splitlines():
        line = line.split("//")[0].strip()
        f = re.match(r"(\w+)\s+(\w+)(\[(\d+)\])?;", line)
        if not f:
            continue
        ftype, fname, arr = f.group(1), f.group(2), f.group(4)
        if ftype in known:
            sub = dict(records)[ftype]
            if ftype.startswith("LINE_DIAL_PARAMS") or ftype == "NDIS_WAN_QUALITY":
                out += fields(sub, prefix + fname + ".")
            else:
                out.append(("record", prefix + fname, ftype))
        elif arr == "1":
            out.append(("tail", prefix + fname, ftype))
        elif arr:
            out.append(("array", prefix + fname, ftype))
        else:
            out.append(("scalar", prefix + fname, ftype))
    return out

lines = ["// Written by tools/gen_tables.py from platform/ at build time.", "",
         "#define SCALAR(T, f) {#f, offsetof(T, f), sizeof(static_cast<T *>(nullptr)->f), FieldKind::Scalar, nullptr}",
         "#define BYTES(T, f) {#f, offsetof(T, f), sizeof(static_cast<T *>(nullptr)->f), FieldKind::Bytes, nullptr}",
         "#define RECORD(T, f, R) {#f, offsetof(T, f), sizeof(R), FieldKind::Record, &k##R}",
         "#define TAIL(T, f) {#f, offsetof(T, f), 0, FieldKind::Tail, nullptr}", ""]
name_lines = ["// Written by tools/gen_tables.py from platform/ at build time.", ""]
for kind, prefix in (("kOidNames", "OID_"), ("kStatusNames", "NDIS_STATUS_"),
                     ("kCallStateNames", "LINECALLSTATE_"), ("kDevStateNames", "LINEDEVSTATE_"),
                     ("kMessageNames", "LINE_"), ("kErrNames", "NDIS_STATUS_TAPI_"),
                     ("kOtherNames", "LINE[A-Z]+_")):
    items = [n for n in names(prefix)]
    if kind == "kOtherNames":
        items = [n for n in items if not n.startswith(("LINECALLSTATE_", "LINEDEVSTATE_"))]
    if prefix == "LINE_":
        items = [n for n in items if re.match(r"LINE_[A-Z]+$", n)]
    if kind == "kErrNames":
        continue
    name_lines.append(f"constexpr Named {kind}[] = {{")
    name_lines += [f'    {{"{n}", static_cast<std::uint32_t>({n})}},' for n in items]
    name_lines.append("};")
    name_lines.append("")

for name, body in records:
    fs = fields(body)
    lines.append(f"const RecordField k{name}Fields[] = {{")
    for kind, fname, ftype in fs:
        off = f"offsetof({name}, {fname})"
        if kind == "scalar":
            lines.append(f'    SCALAR({name}, {fname}),')
        elif kind == "record":
            lines.append(f'    RECORD({name}, {fname}, {ftype}),')
        elif kind == "tail":
            lines.append(f'    TAIL({name}, {fname}),')
        else:
            lines.append(f'    BYTES({name}, {fname}),')
    lines.append("};")
    lines.append(f'const RecordInfo k{name}{{"{name}", sizeof({name}), k{name}Fields}};')
    lines.append("")

lines.append("const RecordInfo *const kRecords[] = {")
lines += [f"    &k{n}," for n, _ in records]
lines.append("};")
lines += ["", "#undef SCALAR", "#undef BYTES", "#undef RECORD", "#undef TAIL"]
def write(out, text):
    if not out.exists() or out.read_text() != text:
        out.write_text(text)


if len(sys.argv) != 3:
    sys.exit(__doc__.splitlines()[-1])
write(Path(sys.argv[1]), "\n".join(lines) + "\n")
write(Path(sys.argv[2]), "\n".join(name_lines).rstrip("\n") + "\n")
