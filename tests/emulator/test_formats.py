"""The balances' real output, byte for byte from tests/fixtures, through the
real DLLs: the reading a host gets after each line, as the manifest says
each line is. -777 while a line says there is no mass in grams."""

import json
import random
from decimal import Decimal
from pathlib import Path

import pytest

FIXTURES = Path(__file__).resolve().parents[1] / "fixtures"
MANIFEST = json.loads((FIXTURES / "formats.json").read_text())
NO_MASS = None


def wire(line):
    return (line.get("before", "") + line["text"] + "\r\n" + line.get("after", "")).encode("latin-1")


def expected(lines):
    """The answer after each line by the rules, read forward: grams or NO_MASS."""
    reading = Decimal(0)
    out = []
    for line in lines:
        # Lines of 5 characters or fewer count only to say there is no mass.
        if len(line["text"]) > 5 or line["kind"] == "no-mass":
            if line["kind"] == "mass":
                reading = Decimal(line["mass"])
            elif line["kind"] in ("other-unit", "no-mass"):
                reading = NO_MASS
        out.append(reading)
    return out


def answer(emu):
    mg = emu.call_register("ea", 0).eax_signed
    g = emu.call_register("ead", 0, returns="double").st0_float
    if mg == -777 and g == -777.0:
        return NO_MASS
    assert round(g * 1000) == mg
    return g


@pytest.mark.parametrize("name", sorted(MANIFEST["files"]))
def test_each_line_of_each_format(pondix, name):
    lines = MANIFEST["files"][name]["lines"]
    for line, reading in zip(lines, expected(lines)):
        pondix.backend.feed(wire(line))
        got = answer(pondix)
        want = NO_MASS if reading is NO_MASS else float(reading)
        assert got == want, f"{name}: after {line['text']!r}"


@pytest.mark.parametrize("name", sorted(MANIFEST["files"]))
def test_each_file_cut_anywhere(pondix, name):
    lines = MANIFEST["files"][name]["lines"]
    data = (FIXTURES / name).read_bytes()
    assert data == b"".join(wire(x) for x in lines)
    final = expected(lines)[-1]
    rng = random.Random(name)
    at = 0
    while at < len(data):
        step = rng.randint(1, 40)
        pondix.backend.feed(data[at:at + step])
        at += step
        answer(pondix)
    assert answer(pondix) == (NO_MASS if final is NO_MASS else float(final))
