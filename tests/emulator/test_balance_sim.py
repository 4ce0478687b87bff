"""tools/balance_sim.py: the bytes of each line format, on a real
pseudo-terminal and written at once, what --record says was sent, and the
fixture files of tests/fixtures against their manifest."""

import json
import os
import re
import subprocess
import sys
import tty
from decimal import Decimal

import pytest

from conftest import REPO

import balance_sim

SIM = REPO / "tools" / "balance_sim.py"
FIXTURES = REPO / "tests" / "fixtures"
MANIFEST = json.loads((FIXTURES / "formats.json").read_text())
PYTHON = sys.executable
PATIENCE = 60  # seconds before a wait counts as a hang; normally a few
CLOCK = ["--clock", "2026-12-11 10:15:32"]


def start_simulator(tmp_path, *options):
    record = tmp_path / "sent.jsonl"
    sim = subprocess.Popen([PYTHON, str(SIM), "--link", "", "--record", str(record), *options],
                           stdout=subprocess.PIPE, text=True)
    banner = sim.stdout.readline()
    assert banner.startswith("balance_sim: /dev/"), banner
    return sim, banner.split()[1], record


def read_wire(device, sim):
    """Everything the simulator sends until it closes the port."""
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        data = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # EIO: the simulator closed its side
                break
            if not chunk:
                break
            data += chunk
    finally:
        os.close(fd)
    sim.wait(timeout=PATIENCE)
    return data


def written(*options, record=None):
    """The bytes of one run, from --write."""
    extra = ["--record", str(record)] if record else []
    r = subprocess.run([PYTHON, str(SIM), *options, "--write", "-", *extra], capture_output=True,
                       timeout=PATIENCE)
    assert r.returncode == 0 and r.stderr == b"", r.stderr
    return r.stdout


def read_records(path):
    return [json.loads(x) for x in path.read_text().splitlines()]


def texts(data):
    """The lines' texts, without CR LF and framing bytes (SOH, EOT)."""
    parts = data.decode("ascii").split("\r\n")
    assert parts.pop() in ("", "\x04")  # every line ends in CR LF, a block's EOT after it
    return [p.lstrip("\x01\x04") for p in parts]


CONTINUOUS = re.compile(r"(ST|US),(GS|NT),[+-] *\d+\.\d{3}  g  |OL,(GS|NT),  +OL  g  "
                        r"|US,(GS|NT), _{10}  g  |ERR 4")
PRINTED = re.compile(r"[+-] *\d+\.\d{3} g   | +OL g   | -{10} g   |ERR 4")


@pytest.mark.parametrize("mode", ["continuous", "print"])
def test_simulator_wire_format(tmp_path, mode):
    sim, device, _ = start_simulator(tmp_path, "--mode", mode, "--script",
                                     "0:0.3 -12.5:0.5 OL:0.2 NT 0.5:0.3 UL:0.2 ERR:0.2", "--rate",
                                     "20", "--settle", "0.5", "--print-every", "0.2", "--once",
                                     "--wait", "--speed", "4")
    data = read_wire(device, sim).decode("ascii")
    lines = data.split("\r\n")
    assert lines.pop() == ""  # every line ends in CR LF
    assert not any("\r" in x or "\n" in x for x in lines)
    texts = [x for x in lines if x]
    width, pattern = (22, CONTINUOUS) if mode == "continuous" else (16, PRINTED)
    for text in texts:
        assert pattern.fullmatch(text), text
        assert len(text) == (5 if text == "ERR 4" else width)
    blanks = 2 if mode == "continuous" else 0
    assert lines == [x for text in texts for x in [text] + [""] * blanks]
    if mode == "continuous":
        drift = [float(x[6:17].replace(" ", "")) for x in texts if x.startswith("US,GS,")
                 and "_" not in x]
        assert len(drift) >= 5 and abs(drift[-1] + 12.5) < abs(drift[0] + 12.5)
        assert texts[-1] == "ERR 4" and "ST,NT,+     0.500  g  " in texts
        assert "US,NT, __________  g  " in texts
    else:
        assert texts == ["+     0.000 g   "] * 2 + ["-    12.500 g   "] * 3 + [
            "         OL g   ", "+     0.500 g   ", "+     0.500 g   ", " ---------- g   ",
            "ERR 4"]


def each(lines, blanks):
    return [x for line in lines for x in [line] + [""] * blanks]


def glp(time, result, ident="123456"):
    return ["Date: 11/12/2026", f"Time: {time}", "", f"ID No: {ident}", "", result, "", ""]


STEPS = "0:1 152.734:1 NT -0.25:1 GS 1999.999:1 OL:1 UL:1 ERR:1"

# One line a second (streamed) or one print per held mass: each step shows once.
LAYOUTS = [
    (["--format", "continuous"], STEPS, each([
        "ST,GS,+     0.000  g  ", "ST,GS,+   152.734  g  ", "ST,NT,-     0.250  g  ",
        "ST,GS,+  1999.999  g  ", "OL,GS,         OL  g  ", "US,GS, __________  g  ",
        "ERR 4"], 2)),
    (["--format", "continuous", "--unit", "kg", "--blank", "1"], "152.734:1 NT -48.21:1 OL:1",
     each(["ST,GS,+  0.152734 kg  ", "ST,NT,-  0.048210 kg  ", "OL,NT,         OL kg  "], 1)),
    # Eight decimals: no exponent notation.
    (["--format", "continuous", "--unit", "kg", "--decimals", "5", "--blank", "0"],
     "0.00001:1 -99.99999:1", ["ST,GS,+0.00000001 kg  ", "ST,GS,-0.09999999 kg  "]),
    (["--format", "continuous", "--unit", "pcs", "--unit-weight", "0.25", "--blank", "0"],
     "152.734:1 -1:1", ["ST,GS,+       611 PCS ", "ST,GS,-         4 PCS "]),
    (["--mode", "print"], STEPS, [
        "+     0.000 g   ", "+   152.734 g   ", "-     0.250 g   ", "+  1999.999 g   ",
        "         OL g   ", " ---------- g   ", "ERR 4"]),
    (["--format", "print1"], "0:1 152.734:1 NT -0.25:1 GS 1999.999:1 0:1 OL:1 UL:1 ERR:1", [
        "No.           00", "Total      0.000 g ", "", "",
        "GROSS    152.734 g ", "No.           01", "Total    152.734 g ", "", "",
        "NET       -0.250 g ", "No.           02", "Total    152.484 g ", "", "",
        "GROSS   1999.999 g ", "No.           03", "Total   2152.483 g ", "", "",
        "No.           03", "Total   2152.483 g ", "", "",
        "GROSS         OL g ", "", "", "GROSS ---------- g ", "", "", "ERR 4", "", ""]),
    (["--format", "print1", "--unit", "kg"], "152.734:1 1.5:1", [
        "GROSS   0.152734kg ", "No.           01", "Total   0.152734kg ", "", "",
        "GROSS   0.001500kg ", "No.           02", "Total   0.154234kg ", "", ""]),
    (["--format", "print2"], STEPS, [
        "        0.000 g ", "      152.734 g ", "-       0.250 g ", "     1999.999 g ",
        "^^^^^^^^^^^^^ g ", "_____________ g ", "E  4"]),
    (["--format", "print2", "--unit", "lb"], "152.734:1 -0.25:1 UL:1",
     ["     0.336721lb ", "-    0.000551lb ", "_____________lb "]),
    (["--format", "print2", "--unit", "pcs", "--unit-weight", "2.5"], "152.734:1 -12.5:1 OL:1",
     ["           61PCS", "-           5PCS", "^^^^^^^^^^^^^PCS"]),
    (["--format", "print2", "--unit", "%", "--reference", "200"], "152.734:1 -0.25:1",
     ["       76.367 % ", "-       0.125 % "]),
    (["--format", "single"], STEPS, [
        "0.000 g", "152.734 g", "-0.250 g", "1999.999 g", "^^^^^^^^ g", "-------- g", "Err 7"]),
    (["--format", "single", "--decimals", "1", "--decimal-comma"], "12.5:1 -0.3:1",
     ["12,5 g", "-0,3 g"]),
    (["--format", "glp"] + CLOCK, "152.734:1 NT -0.25:1 GS OL:1 ERR:1",
     glp("10:15:32", "Gross: 152.734 g") + glp("10:15:33", "Net: -0.250 g")
     + glp("10:15:34", "Gross: OL g") + glp("10:15:35", "Err 7")),
    (["--format", "glp-soh", "--id", "A-77", "--unit", "kg"] + CLOCK, "152.734:1 UL:1",
     ["\x01Date: 11/12/2026", "Time: 10:15:32", "", "ID No: A-77", "", "Gross: 0.152734 kg",
      "", "", "\x04\x01Date: 11/12/2026", "Time: 10:15:33", "", "ID No: A-77", "",
      "Gross: ________ kg", "", "", "\x04"]),
]


@pytest.mark.parametrize("options, script, lines", LAYOUTS,
                         ids=[" ".join(options[:6]) for options, _, _ in LAYOUTS])
def test_format_layout(options, script, lines):
    data = written(*options, "--script", script, "--settle", "0", "--rate", "1")
    expected = "\r\n".join(lines)
    assert data.decode("ascii") == expected + ("" if expected.endswith("\x04") else "\r\n")


PTY_SCRIPT = "0:0.3 -12.5:0.5 OL:0.2 NT 0.5:0.3 UL:0.2 GS 7.25:0.2 ERR:0.2"


@pytest.mark.parametrize("fmt, unit", [
    ("continuous", "g"), ("print", "g"), ("print1", "kg"), ("print2", "pcs"), ("single", "g"),
    ("glp", "g"), ("glp-soh", "%"),
])
def test_pty_carries_the_written_bytes_and_record_says_what(tmp_path, fmt, unit):
    options = ["--format", fmt, "--unit", unit, "--script", PTY_SCRIPT, "--rate", "20",
               "--settle", "0.5", "--print-every", "0.2", *CLOCK]
    sim, device, sent = start_simulator(tmp_path, *options, "--once", "--wait", "--speed", "4")
    data = read_wire(device, sim)
    assert data == written(*options)
    records = read_records(sent)
    lines = texts(data)
    assert [r["text"] for r in records] == [x for x in lines if x]
    assert {(r["format"], r["unit"] or unit) for r in records} == {(fmt, unit)}
    kinds = {r["kind"] for r in records}
    assert kinds >= {"no-mass", "mass" if unit in ("g", "kg") else "other-unit"}
    masses = [Decimal(r["value"]) for r in records if r["kind"] == "mass"]
    assert all(r["value"] is None for r in records if r["kind"] != "mass")
    if unit in ("g", "kg"):
        assert {Decimal("-12.5"), Decimal("0.5"), Decimal("7.25")} <= set(masses)
        stable = [r["stable"] for r in records if r["kind"] == "mass"]
        # Only streamed formats send the drift towards a mass.
        assert (False in stable) == (fmt in ("continuous", "single"))
    trouble = [r["text"] for r in records if r["kind"] == "no-mass"]
    assert len(set(trouble)) == 3  # overload, underload, error: each its own line


def test_print1_memory_clears_when_the_script_starts_over():
    steps = balance_sim.parse_script("5:1 0:1 7:1", 3)
    fmt = balance_sim.Print1()
    readings = balance_sim.scenario(steps, fmt.streamed, settle=0)
    counts = [line.text for _ in range(6) for line in fmt.block(next(readings))
              if line.text.startswith(("No.", "Total"))]
    first = ["No.           01", "Total      5.000 g ", "No.           01",
             "Total      5.000 g ", "No.           02", "Total     12.000 g "]
    assert counts == first * 2


@pytest.mark.parametrize("options, message", [
    (["--script", "5 UL:x"], "bad --script: step 'UL:x': 'x' is not a number of seconds"),
    (["--script", "5 LO:1"], "bad --script: step 'LO:1': not a mass, OL, UL, ERR, NT or GS"),
    (["--script", "12345678.901"], "bad --script: 12345678.901 g takes more than 10 characters "
                                   "in the continuous format"),
    (["--format", "print1", "--script", "-9999999.999"],
     "-9999999.999 g takes more than 11 characters in the print1 format"),
    (["--format", "print1", "--unit", "pcs"], "the print1 format shows g, kg, lb, not pcs"),
    (["--format", "print", "--mode", "continuous"],
     "--mode continuous and --format print disagree"),
    (["--unit", "pcs", "--unit-weight", "0"], "'0' is not more than 0"),
    (["--format", "glp", "--clock", "11/12/2026"], "'11/12/2026' is not YYYY-MM-DD HH:MM:SS"),
])
def test_bad_options_are_refused(options, message):
    r = subprocess.run([PYTHON, str(SIM), *options, "--write", "-"], capture_output=True,
                       text=True, timeout=PATIENCE)
    assert r.returncode == 2 and r.stdout == ""
    assert message in r.stderr


def test_widths_are_per_format():
    # 12 characters fit print2's value field, not the continuous one's.
    assert texts(written("--format", "print2", "--script", "12345678.901:1", "--settle", "0")) == [
        " 12345678.901 g "]


# --- the fixture files and their manifest ---

FILES = MANIFEST["files"]
KINDS = {"mass", "other-unit", "no-mass", "not-weight", "blank"}
SCALE = {"g": 0, "": 0, "kg": 3, "mg": -3}


def test_every_fixture_file_is_in_the_manifest():
    on_disk = {p.name for p in FIXTURES.glob("*.bin")} - {"adam_continuous.bin", "adam_print.bin"}
    assert on_disk == set(FILES)


@pytest.mark.parametrize("name", FILES)
def test_fixture_bytes_are_the_manifest_lines(name):
    lines = FILES[name]["lines"]
    expected = "".join(x.get("before", "") + x["text"] + "\r\n" + x.get("after", "")
                       for x in lines)
    assert (FIXTURES / name).read_bytes() == expected.encode("ascii")
    for line in lines:
        assert line["kind"] in KINDS, line
        assert not any(ord(c) < 32 for c in line["text"]), line
        assert ("mass" in line) == (line["kind"] == "mass"), line
        assert (line["kind"] == "blank") == (line["text"].strip() == ""), line
        if line["kind"] == "mass":
            # The number on the line, in its unit, is the mass given in grams.
            m = re.search(r"(\d+(?:[.,]\d+)?) *([kKmM]?[gG]?) *$", line["text"])
            assert m, line
            number = Decimal(m[1].replace(",", ".")).scaleb(SCALE[m[2].lower()])
            negative = "-" in line["text"][:m.start()]
            assert (-number if negative else number) == Decimal(line["mass"]), line


GENERATED = [name for name in FILES if "simulator" in FILES[name]]


@pytest.mark.parametrize("name", GENERATED)
def test_simulator_still_writes_its_fixtures(tmp_path, name):
    entry = FILES[name]
    record = tmp_path / "sent.jsonl"
    assert written(*entry["simulator"], record=record) == (FIXTURES / name).read_bytes()
    said = [(r["text"], r["kind"], r["value"]) for r in read_records(record)]
    assert said == [(x["text"], x["kind"], x.get("mass")) for x in entry["lines"]
                    if x["kind"] != "blank"]
