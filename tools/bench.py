#!/usr/bin/python3
"""Cost per call of the emulated pondix DLLs, as a Markdown table.

    /usr/bin/python3 tools/bench.py [--dll-dir build/windows]

For each DLL: x86 instructions executed inside the DLL and kernel32 calls
made by one call, and the file's size. The emulator's counts do not depend on
the machine or its load; each figure is measured on two fresh emulators and
the command fails if they differ.
"""

import argparse
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from dllemu import Emulator, ScriptedLine  # noqa: E402

DLLS = ("pondix5.dll", "pondix1.dll")
LINE = b"  +12.345 g\r\n"
# A full 256-byte input queue: print lines and continuous-format lines.
FULL_QUEUE = LINE * 16 + b"ST,GS,+     12.345 g  \r\n" * 2
assert len(LINE) == 13 and len(FULL_QUEUE) == 256

# (label, bytes waiting before the call, export, channel, result kind)
CALLS = [
    ("`ea(0)`, nothing waiting", b"", "ea", 0, "int"),
    ("`ea(0)`, one 13-byte line waiting", LINE, "ea", 0, "int"),
    ("`ea(0)`, full 256-byte queue", FULL_QUEUE, "ea", 0, "int"),
    ("`ead(2)` (date-time)", b"", "ead", 2, "double"),
    ("`nead(0)`", b"", "nead", 0, "str"),
    ("`titre`", b"", "titre", None, "str"),
]


def measure(path):
    """[(instructions, Counter of kernel32 names)] for CALLS, in order."""
    line = ScriptedLine()
    emu = Emulator.load(path, backend=line)
    emu.attach()
    # The line in progress when the port opened is never read: end it, so
    # that the lines measured are read as a host's would be.
    line.feed(b"\r\n")
    emu.call_register("ea", 0)
    out = []
    for _, waiting, name, channel, returns in CALLS:
        line.feed(waiting)
        args = () if channel is None else (channel,)
        r = emu.call_register(name, *args, returns=returns)
        if waiting and line.pending():
            raise RuntimeError(f"{name} left {len(line.pending())} bytes unread")
        if name == "ea" and waiting and r.eax_signed != 12345:
            raise RuntimeError(f"{name} read {r.eax_signed}, not the 12345 mg sent")
        out.append((r.instructions, Counter(c.name for c in r.kernel32_calls)))
    return out


def kernel32_text(counts):
    total = sum(counts.values())
    if not total:
        return "0"
    return f"{total} ({', '.join(f'{n} {k}' for k, n in sorted(counts.items()))})"


def table(dll_dir):
    dlls = [dll_dir / d for d in DLLS if (dll_dir / d).is_file()]
    if not dlls:
        raise SystemExit(f"no {' or '.join(DLLS)} in {dll_dir}: build them with "
                         "`cmake --preset windows && cmake --build --preset windows`")
    figures = {}
    for path in dlls:
        first, second = measure(path), measure(path)
        if first != second:
            raise SystemExit(f"{path.name}: counts differ between two runs: {first} / {second}")
        figures[path] = first
    header = "| call |" + "".join(f" {p.name} instructions | {p.name} kernel32 calls |"
                                  for p in dlls)
    rows = [header, "|---|" + "---:|---:|" * len(dlls)]
    for k, (label, *_) in enumerate(CALLS):
        cells = "".join(f" {figures[p][k][0]} | {kernel32_text(figures[p][k][1])} |" for p in dlls)
        rows.append(f"| {label} |{cells}")
    rows.append("| DLL size, bytes |" + "".join(f" {p.stat().st_size} | |" for p in dlls))
    return "\n".join(rows)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dll-dir", type=Path,
                        default=Path(__file__).resolve().parents[1] / "build" / "windows")
    args = parser.parse_args(argv)
    print(table(args.dll_dir))


if __name__ == "__main__":
    main()
