#!/usr/bin/env python3
"""Checks that tools/, tests/, fuzz/ and bench/ reach the host through its public headers only.

    host.h           the machine: start it, load the driver, run it, look at what it holds
    host_records.h   the trace's records, value names, the event log
    host_faults.h    injected failures
    host_registry.h  the registry and .reg files
    host_ndis.h      the NDIS wrapper and RAS, NDISWAN and NDIS TAPI above the miniport
    host_isdn.h      the ISDN driver below it and its exchange
    host_image.h     the NT image loaded in place of the linked driver

Everything else under host/ is private to it. A few of the host's own unit
tests look inside the part they test; each is listed in WHITE_BOX with the
headers it may include and why. Also checks that tools/CMakeLists.txt keeps
driver/ off the simulator library's public include path: tools know the
driver only by DriverEntry.
Exit status 1 names every file and line that breaks a rule.
"""
import pathlib
import re
import sys

PUBLIC = {"host.h", "host_records.h", "host_faults.h", "host_registry.h", "host_ndis.h", "host_isdn.h",
          "host_image.h"}
CLIENTS = ["tools", "tests", "fuzz", "bench"]
# The host's white-box unit tests: file -> {internal header: why}.
WHITE_BOX = {
    "tests/host_kernel_test.cpp": {"nt/kernel.h": "tests the scheduler's contexts, waits and timers themselves"},
    "tests/host_io_test.cpp": {"nt/io_manager.h": "tests the I/O manager's IRPs and devices themselves"},
    "tests/host_verifier_test.cpp": {"check/verifier.h": "tests the verifier's rules themselves",
                                     "nt/memory.h": "checks the pool's fill pattern in a stop's detail"},
    "tests/host_eventlog_test.cpp": {"check/message_table.h": "tests the message table's parsing itself"},
    "fuzz/fuzz_isdn_messages.cpp": {"nt/io_manager.h": "stands in for the ISDN driver, so it serves its IRPs"},
}

include = re.compile(r'\s*#\s*include\s*[<"]([^>"]+)[>"]')
sim_includes = re.compile(r"target_include_directories\s*\(\s*tolvanex_sim\b([^)]*)\)", re.S)


def check(root, white_box):
    """Every broken rule under `root`, as "file:line: what"."""
    host = root / "host"
    bad = []
    for client in CLIENTS:
        for path in sorted((root / client).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".in", ".inc") or not path.is_file():
                continue
            rel = path.relative_to(root).as_posix()
            allowed = white_box.get(rel, {})
            for n, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                m = include.match(line)
                if not m:
                    continue
                name = m.group(1)
                # A name beside the including file is that file's own neighbour.
                if (path.parent / name).is_file() or not (host / name).is_file():
                    continue
                if name not in PUBLIC and name not in allowed:
                    bad.append(f"{rel}:{n}: includes {name}, which is private to host/; use one of "
                               + ", ".join(sorted(PUBLIC)))
    for rel, headers in white_box.items():
        text = (root / rel).read_text() if (root / rel).is_file() else ""
        for name in headers:
            if f'#include "{name}"' not in text:
                bad.append(f"{rel}: listed as white-box for {name}, which it no longer includes; drop it from WHITE_BOX")

    # The simulator library's public include path: tools/ and Lua, never driver/.
    cmake = root / "tools" / "CMakeLists.txt"
    text = cmake.read_text() if cmake.is_file() else ""
    for m in sim_includes.finditer(text):
        scope = None
        for arg in m.group(1).split():
            if arg in ("PUBLIC", "PRIVATE", "INTERFACE", "SYSTEM", "BEFORE", "AFTER"):
                scope = arg if arg not in ("SYSTEM", "BEFORE", "AFTER") else scope
            elif scope in ("PUBLIC", "INTERFACE") and re.search(r"(^|[/}])driver(/|$)", arg):
                n = text.count("\n", 0, m.start()) + 1
                bad.append(f"tools/CMakeLists.txt:{n}: puts {arg} on tolvanex_sim's {scope} include path")
    return bad


def self_test():
    """The check on a tree of its own: a private include, a stale exception,
    driver/ made public; then the same tree put right."""
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        root = pathlib.Path(d)
        for f in ("host/host.h", "host/host_isdn.h", "host/nt/kernel.h", "host/nt/memory.h"):
            (root / f).parent.mkdir(parents=True, exist_ok=True)
            (root / f).write_text("")
        (root / "tests").mkdir()
        (root / "tools").mkdir()
        (root / "tests/x_test.cpp").write_text('#include <gtest/gtest.h>\n#include "host.h"\n#include "nt/kernel.h"\n')
        (root / "tests/y_test.cpp").write_text('#include "host_isdn.h"\n')
        (root / "tools/CMakeLists.txt").write_text(
            "add_library(tolvanex_sim STATIC a.cpp)\n"
            "target_include_directories(tolvanex_sim PRIVATE ${CMAKE_SOURCE_DIR}/driver)\n"
            "target_include_directories(tolvanex_sim SYSTEM PUBLIC ${LUA_INCLUDE_DIR}\n"
            "                           ${CMAKE_SOURCE_DIR}/driver)\n")
        got = check(root, {"tests/y_test.cpp": {"nt/memory.h": "gone"}})
        want = ["tests/x_test.cpp:3: includes nt/kernel.h, which is private",
                "tests/y_test.cpp: listed as white-box for nt/memory.h",
                "tools/CMakeLists.txt:3: puts ${CMAKE_SOURCE_DIR}/driver on tolvanex_sim's PUBLIC include path"]
        assert len(got) == len(want) and all(g.startswith(w) for g, w in zip(got, want)), got
        (root / "tests/x_test.cpp").write_text('#include "host.h"\n')
        (root / "tools/CMakeLists.txt").write_text("target_include_directories(tolvanex_sim PUBLIC tools)\n")
        assert check(root, {}) == [], check(root, {})
    print("host public headers: the check finds what it should")


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        self_test()
        sys.exit(0)
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    bad = check(root, WHITE_BOX)
    for b in bad:
        print(b)
    print(f"host public headers: {len(bad)} problem(s)")
    sys.exit(1 if bad else 0)
