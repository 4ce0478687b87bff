"""The simulated balance on a real pseudo-terminal, read by the real DLL
through the emulated host: tools/balance_sim.py, tools/pondix_host.py and
tools/demo run as a user runs them."""

import datetime
import json
import os
import signal
import struct
import subprocess
import sys
import time
import uuid

import pytest

from conftest import REPO, dll_dir

TOOLS = REPO / "tools"
PYTHON = sys.executable
NO_PORT = -777.0
OLE_EPOCH = datetime.datetime(1899, 12, 30)

# Every stable mass held 0.3 s at this speed; the host reads every 20 ms.
SPEED = 5
SCRIPT = "0:1.5 12.345:1.5 OL:0.5 12.345:1.5 NT 0:1.5 -0.25:1.5 ERR:0.5 GS 1999.999:1.5 0.1:1.5"
STABLE = ["0", "12.345", "12.345", "0", "-0.25", "1999.999", "0.1"]
PATIENCE = 60  # seconds before a wait counts as a hang; normally a few


def wait_until(predicate, what, timeout=PATIENCE):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.02)


def read_jsonl(path):
    if not path.exists():
        return []
    lines = path.read_text().splitlines()
    # The last line may be half-written while the writer runs.
    return [json.loads(x) for x in lines if x.endswith("}")]


def start_simulator(tmp_path, *options):
    record = tmp_path / "sent.jsonl"
    sim = subprocess.Popen([PYTHON, str(TOOLS / "balance_sim.py"), "--link", "", "--record",
                            str(record), *options], stdout=subprocess.PIPE, text=True)
    banner = sim.stdout.readline()
    assert banner.startswith("balance_sim: /dev/"), banner
    return sim, banner.split()[1], record


def start_host(tmp_path, dll, device, *options):
    record = tmp_path / "read.jsonl"
    host = subprocess.Popen([PYTHON, str(TOOLS / "pondix_host.py"), "--dll", str(dll), "--device",
                             device, "--interval", "0.02", "--record", str(record), *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return host, record


def interrupt(host):
    """Ctrl-C; the host's (return code, stdout, stderr)."""
    host.send_signal(signal.SIGINT)
    out, err = host.communicate(timeout=PATIENCE)
    return host.returncode, out, err


def sent_masses(record):
    return {rec["value"] for rec in read_jsonl(record) if rec["value"] is not None}


def assert_only_sent_masses(readings, sent):
    grams = {float(v) for v in sent}
    milligrams = {float(v) * 1000.0 for v in sent}
    # Until a first line arrives the DLL answers 0; -777 when it has no mass.
    while readings and readings[0]["g"] == readings[0]["mg"] == 0.0:
        readings = readings[1:]
    for r in readings:
        if r["g"] == NO_PORT or r["mg"] == NO_PORT:
            continue
        assert r["g"] in grams, f"{r['g']} g was never sent"
        assert r["mg"] in milligrams, f"{r['mg']} mg was never sent"


def readings_after(path, moment):
    return sum(r["t"] > moment for r in read_jsonl(path))


def split_at(readings, moment):
    """The readings wholly before `moment`; those after it must all be -777."""
    before = [r for r in readings if r["t"] < moment]
    after = [r for r in readings if r["t"] > moment + 0.5]
    stale = [(r["g"], r["mg"]) for r in after if (r["g"], r["mg"]) != (NO_PORT, NO_PORT)]
    assert not stale, f"{stale[:3]} after the port went away"
    assert after, "no reading after the port went away"
    return before


def changes(readings):
    """The successive distinct answers, in grams (None for -777)."""
    out = []
    for r in readings:
        g = None if r["g"] == NO_PORT else r["g"]
        if not out or out[-1] != g:
            out.append(g)
    return out


def in_order(sequence, expected):
    it = iter(sequence)
    return all(any(x == e for x in it) for e in expected)


@pytest.mark.parametrize("fmt, dll, convention", [
    ("continuous", "pondix5.dll", "register"),
    ("print", "pondix1.dll", "stdcall"),
    ("glp-soh", "pondix5.dll", "stdcall"),
    ("print1", "pondix1.dll", "register"),
])
def test_scripted_masses_arrive_exactly_and_nothing_else(tmp_path, fmt, dll, convention):
    dll = dll_dir() / dll
    sim, device, sent = start_simulator(tmp_path, "--format", fmt, "--script", SCRIPT,
                                        "--speed", str(SPEED), "--once", "--wait")
    host, read = start_host(tmp_path, dll, device, "--convention", convention)
    try:
        sim.wait(timeout=PATIENCE)
        gone = time.time()
        wait_until(lambda: readings_after(read, gone + 0.5) >= 10,
                   "readings after the simulator stopped")
        rc, out, err = interrupt(host)
    finally:
        for p in (host, sim):
            p.kill()
            p.wait()
    assert (rc, err) == (0, "")
    assert f"port Com{dll.name[6]}: -> {device} (9600 baud, 8N1)" in out
    assert "readings in" in out

    readings = read_jsonl(read)
    lines = read_jsonl(sent)
    before = split_at(readings, gone)
    drifting = [x for x in lines if x["value"] is not None and not x["stable"]]
    assert bool(drifting) == (fmt == "continuous")
    assert_only_sent_masses(before, sent_masses(sent))
    # Each stable mass of the script in order, in g and in mg, with no mass
    # while the balance is overloaded and while it reports an error. Print
    # format 1 leaves out a weight line at zero.
    stable = [float(v) for v in STABLE if fmt != "print1" or float(v) != 0]
    seen = changes(before)
    assert in_order(seen, [12.345, None, 12.345]), seen
    assert in_order(seen, [-0.25, None, 1999.999]), seen
    assert in_order([g for g in seen if g is not None], stable), seen
    assert all(r["mg"] == r["g"] * 1000.0 for r in before if r["g"] != NO_PORT)
    for r in readings:
        stamp = OLE_EPOCH + datetime.timedelta(days=r["ole"])
        assert abs(stamp - datetime.datetime.fromtimestamp(r["t"])) < datetime.timedelta(seconds=1)


def test_unplugging_mid_run_gives_no_mass_not_the_last_mass(tmp_path):
    sim, device, sent = start_simulator(tmp_path, "--script", "5.5:600", "--settle", "0.2",
                                        "--rate", "20", "--wait")
    host, read = start_host(tmp_path, dll_dir() / "pondix5.dll", device)
    try:
        wait_until(lambda: sum(r["g"] == 5.5 for r in read_jsonl(read)) >= 5, "5.5 g")
        unplugged_at = time.time()
        sim.kill()  # no goodbye: like pulling the cable
        sim.wait()
        gone = time.time()
        wait_until(lambda: readings_after(read, gone + 0.5) >= 10, "readings after the unplug")
        rc, out, err = interrupt(host)
    finally:
        for p in (host, sim):
            p.kill()
            p.wait()
    assert (rc, err) == (0, "")
    assert "!! -777: NO MASS" in out and "!! port lost" in out
    before = split_at(read_jsonl(read), unplugged_at)
    assert before[-1]["g"] == 5.5
    assert_only_sent_masses(before, sent_masses(sent))


def test_adapter_pulled_out_and_plugged_back_reads_again_without_restarting(tmp_path):
    link = tmp_path / "ttyUSB0"
    options = ("--settle", "0", "--rate", "20", "--link", str(link))
    first = subprocess.Popen([PYTHON, str(TOOLS / "balance_sim.py"), "--script", "5.5:600",
                              *options], stdout=subprocess.PIPE, text=True)
    assert first.stdout.readline().startswith("balance_sim: /dev/")
    host, read = start_host(tmp_path, dll_dir() / "pondix5.dll", str(link))
    second = None
    try:
        wait_until(lambda: any(r["g"] == 5.5 for r in read_jsonl(read)), "5.5 g")
        first.kill()
        first.wait()
        gone = time.time()
        wait_until(lambda: readings_after(read, gone + 0.3) >= 20, "readings while unplugged")
        second = subprocess.Popen([PYTHON, str(TOOLS / "balance_sim.py"), "--script", "7.25:600",
                                   *options], stdout=subprocess.PIPE, text=True)
        assert second.stdout.readline().startswith("balance_sim: /dev/")
        back = time.time()
        wait_until(lambda: any(r["g"] == 7.25 for r in read_jsonl(read)), "7.25 g after replug")
        rc, out, err = interrupt(host)
    finally:
        for p in (host, first, second):
            if p is not None:
                p.kill()
                p.wait()
    assert (rc, err) == (0, "")
    readings = read_jsonl(read)
    meanwhile = [(r["g"], r["mg"]) for r in readings if gone + 0.3 < r["t"] < back]
    assert meanwhile and set(meanwhile) == {(NO_PORT, NO_PORT)}
    # Never the mass from before the unplug once it happened.
    assert not [r for r in readings if r["t"] > gone + 0.3 and r["g"] == 5.5]
    again = next(r["t"] for r in readings if r["g"] == 7.25)
    assert again - back < 3, f"readings came back {again - back:.1f} s after the replug"
    assert "!! port lost" in out and "open again" in out


def damaged_dll(tmp_path, damage):
    data = bytearray((dll_dir() / "pondix5.dll").read_bytes())
    if damage == "not a PE":
        data = bytearray(b"MZ but nothing else")
    elif damage == "x86-64 machine":
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        struct.pack_into("<H", data, pe + 4, 0x8664)
    elif damage == "lacks an export":
        at = data.index(b"\0detail\0") + 1
        data[at:at + 6] = b"dxtail"
    path = tmp_path / "damaged.dll"
    path.write_bytes(data)
    return path


@pytest.fixture
def free_pty():
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    yield path
    os.close(master)


@pytest.mark.parametrize("dll, device, message", [
    ("good", "missing", "{device}: no such device"),
    ("good", "/dev/null", "/dev/null: not a tty"),
    ("good", "file", "{device}: not a tty"),
    ("missing", "pty", "{dll}: No such file or directory"),
    ("not a PE", "pty", "{dll}: not a PE file"),
    ("x86-64 machine", "pty", "{dll}: machine 0x8664 is not i386"),
    ("lacks an export", "pty", "{dll}: lacks the export detail"),
])
def test_bad_input_is_one_line_and_a_failure(tmp_path, free_pty, dll, device, message):
    if dll == "good":
        dll = dll_dir() / "pondix5.dll"
    elif dll == "missing":
        dll = tmp_path / "absent.dll"
    else:
        dll = damaged_dll(tmp_path, dll)
    device = {"missing": str(tmp_path / "ttyUSB7"), "file": str(dll), "pty": free_pty}.get(
        device, device)
    r = subprocess.run([PYTHON, str(TOOLS / "pondix_host.py"), "--dll", str(dll), "--device",
                        device, "--duration", "1"], capture_output=True, text=True,
                       timeout=PATIENCE)
    assert r.returncode != 0
    assert r.stderr.startswith("pondix_host: " + message.format(dll=dll, device=device))
    assert r.stderr.count("\n") == 1 and "Traceback" not in r.stderr
    assert r.stdout == ""


def processes_tagged(tag):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if tag in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


@pytest.mark.parametrize("ending", ["duration", "ctrl-c", "killed"])
def test_demo_shows_readings_and_leaves_no_process(tmp_path, ending):
    mark = str(uuid.uuid4())
    tag = f"PONDIX_DEMO_TEST={mark}".encode()
    env = dict(os.environ, PONDIX_DEMO_TEST=mark)
    out_path = tmp_path / "demo.out"
    with open(out_path, "w") as out:
        demo = subprocess.Popen([PYTHON, str(TOOLS / "demo.py"), "--duration",
                                 "2" if ending == "duration" else "0", "--dll",
                                 str(dll_dir() / "pondix5.dll"), "--speed", "3"],
                                stdout=out, stderr=subprocess.STDOUT, env=env)
        try:
            wait_until(lambda: "port Com5:" in out_path.read_text(), "the demo to start")
            assert len(processes_tagged(tag)) == 2  # the demo and its simulator
            if ending != "duration":
                wait_until(lambda: "152.734 g" in out_path.read_text(), "a mass in the demo")
                if ending == "ctrl-c":
                    demo.send_signal(signal.SIGINT)
                else:
                    demo.kill()
            demo.wait(timeout=PATIENCE)
        finally:
            demo.kill()
            demo.wait()
    text = out_path.read_text()
    if ending != "killed":
        assert demo.returncode == 0, text
        assert "152.734 g" in text and "readings in" in text
        assert "Traceback" not in text and "port lost" not in text
    wait_until(lambda: not processes_tagged(tag), "the simulator to go", timeout=10)
