#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: whole calls both ways, every
request once, the shipped configurations. Run from the source root; the
files are committed, this says how they were made."""
import os
import shutil
import struct

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def u16(v):
    return struct.pack("<H", v)


def text(s):
    b = s.encode()
    return bytes([len(b)]) + b


def write(target, name, data):
    d = os.path.join(root, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# fuzz_requests: op % 12 picks the step (see fuzz_requests.cpp).
def far(which, handle, rest=b""):
    return bytes([8, which, handle - 1]) + rest


wait = lambda ms: bytes([10]) + u16(ms)
outgoing = (bytes([3, 0]) + text("01 40-50.60 70") + wait(1000) + far(0, 2) +
            bytes([9, 0]) + u16(3) + b"\xff\x03\x01" + far(4, 2, bytes([3]) + b"\xc0\x21\x09") +
            bytes([5, 0]) + wait(1000) + far(2, 2) + bytes([6, 0]))
write("requests", "outgoing-call", outgoing)
incoming = (far(3, 1, bytes([3]) + text("0299887766")) + wait(2000) + far(0, 5) + bytes([4, 0]) +
            far(1, 5, bytes([16])) + far(2, 5) + bytes([6, 0]) + bytes([7, 0]))
write("requests", "incoming-call", incoming)
# Every OID of the table once as a query and once as a set, 200 bytes long.
every = b""
for i in range(76):
    every += bytes([0, i]) + u16(200) + u16(0) + bytes([1 if i % 2 else 2])
    every += bytes([0x18, i]) + u16(200) + u16(0) + bytes([1])
write("requests", "every-oid", every[:4000])
write("requests", "reset-mid-call", bytes([3, 1]) + text("123") + wait(500) + far(0, 2) + bytes([11]) + wait(3000))


# fuzz_isdn_messages: op % 8 picks the step (see fuzz_isdn_messages.cpp).
def msg(handle, code, flags=0, status=None, hcom=None, number=None, cause=0, data=b"", length=None):
    b = bytes([0, handle, code, flags])
    if flags & 1:
        b += struct.pack("<I", status)
    if flags & 2:
        b += bytes([hcom])
    if flags & 4:
        b += number.ljust(33, b"\0")[:33]
    b += bytes([cause]) + u16(len(data)) + data
    if flags & 8:
        b += u16(length)
    return b


iwait = lambda ms: bytes([7]) + u16(ms)
write("isdn_messages", "incoming-call",
      msg(1, 0x61, 6, hcom=5, number=b"0299887766") + iwait(2000) + msg(5, 0x62) + bytes([5, 0, 0]) +
      msg(5, 0x7A, data=b"\xc0\x21\x09") + bytes([6, 2]) + b"\xff\x03\x01" + bytes([0]) +
      msg(5, 0x04) + msg(5, 0x03) + msg(5, 0x63, cause=16) + msg(5, 0x64))
write("isdn_messages", "outgoing-call",
      bytes([4, 0]) + text("0140506070") + iwait(1000) + msg(2, 0x62) + msg(2, 0x7A, data=b"\x01\x02") +
      bytes([5, 1, 0]) + iwait(1000) + msg(2, 0x64))
write("isdn_messages", "forged-fields",
      msg(1, 0x61, 6, hcom=6, number=b"9" * 33) + iwait(2000) + msg(6, 0x62) +
      msg(6, 0x7A, 8, data=b"\x7e" * 8, length=0xFFFF) + msg(6, 0x00) + msg(6, 0xEE, 1, status=7) +
      msg(6, 0x63, 2, hcom=0, cause=255))

# fuzz_registry: the shipped configurations.
configs = os.path.join(os.path.dirname(root), "..", "configs")
os.makedirs(os.path.join(root, "registry"), exist_ok=True)
for name in sorted(os.listdir(configs)):
    shutil.copy(os.path.join(configs, name), os.path.join(root, "registry", name))
