"""pondixcheck.exe run as a technician runs it, in the emulator: its report
and its verdict for a balance that reads, no port, a busy port, a silent
line, lines without a mass in grams, a line that fails while it listens."""

import pytest

from conftest import dll_dir
from dllemu import CE_FRAME, Emulator, ScriptedLine
from dllemu.kernel32 import ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND

READ, NO_PORT, NO_WEIGHT, USAGE = 0, 1, 2, 3
EXE_PATH = r"C:\lab\pondixcheck.exe"


class Timeline(ScriptedLine):
    """A scripted line whose device also does things at given ticks."""

    def __init__(self, events=(), **options):
        super().__init__(**options)
        self.events = sorted(events, key=lambda e: e[0])

    def _due(self):
        while self.events and self.events[0][0] <= self.clock.now:
            self.events.pop(0)[1](self)

    def open(self, name):
        self._due()
        return super().open(name)

    def status(self):
        self._due()
        return super().status()


def check(args, line=None, files=None):
    exe = Emulator.load_exe(dll_dir() / "pondixcheck.exe", backend=line or ScriptedLine(),
                            windows_path=EXE_PATH, count_instructions=False)
    exe.kernel32.files = files or {}
    result = exe.run(command_line="pondixcheck.exe " + args, budget=200_000_000)
    return result, exe


def lines_at(line, start, step, *texts):
    for k, text in enumerate(texts):
        line.feed(text, at=start + k * step)


def test_a_balance_that_streams_is_read_and_the_verdict_is_0():
    line = ScriptedLine()
    lines_at(line, 300, 200, b"2.345 g  \r\n", b"ST,GS,+     12.345  g  \r\n\r\n\r\n",
             b"No.         01\r\n", b"ST,GS,+      1.5  kg  \r\n", b"OL,GS,         OL  g  \r\n",
             b"ST,GS,+     12.346  g  \r\n")
    r, _ = check("pondix5.dll --seconds 3", line)
    out = r.stdout_text
    assert r.exit_code == READ, out
    for expected in [
            "settings: C:\\lab\\pondix5.ini (none there: the build's port and mode)",
            "port: Com5:   mode: baud=9600 parity=n data=8 stop=1",
            "open: ok",
            '"2.345 g  "  not read: its start may have been lost',
            '"ST,GS,+     12.345  g  "  -> 12.345 g',
            '""  (empty)',
            '"No.         01"  not a weight line: ignored',
            '"ST,GS,+      1.5  kg  "  -> 1500 g',
            '"OL,GS,         OL  g  "  -> -777: overload',
            "verdict: 3 weight lines read, the last 12.346 g: the DLL reads this balance."]:
        assert expected in out, out


@pytest.mark.parametrize("setup, words, likely", [
    ("absent", "The system cannot find the file specified. (error 2)", "no such port"),
    ("busy", "Access is denied. (error 5)", "another program holds the port"),
])
def test_a_port_that_does_not_open_says_why_and_the_verdict_is_1(setup, words, likely):
    line = ScriptedLine(present=setup != "absent")
    line.busy = setup == "busy"
    r, exe = check("pondix1.dll --seconds 2", line)
    out = r.stdout_text
    assert r.exit_code == NO_PORT, out
    assert "port: Com1:" in out
    assert f"open: failed at CreateFileA: {words}" in out
    assert likely in out and "verdict: no port" in out
    # It kept trying, once a second, as the DLL would.
    attempts = exe.kernel32.calls("CreateFileA")
    assert 2 <= len(attempts) <= 4
    assert {c.error for c in attempts} == {ERROR_FILE_NOT_FOUND if setup == "absent"
                                           else ERROR_ACCESS_DENIED}


@pytest.mark.parametrize("feed, verdict", [
    ([], "no bytes at all. Check the balance's RS-232 settings"),
    ([b"\r\n", b"   0.12345lb \r\n", b"         125PCS\r\n"], "none with a mass in grams"),
    ([b"\xf0\x0f\xf0\x0f\xf0\xf0"], "6 bytes but no complete line: wrong baud rate or parity?"),
    ([b"\r\n", b"Date: 11/12/2026\r\n", b"Time: 10:15:32\r\n"], "no weight line"),
])
def test_no_weight_line_gives_the_verdict_2(feed, verdict):
    line = ScriptedLine()
    lines_at(line, 100, 300, *feed)
    r, _ = check("pondix5.dll --seconds 2", line)
    assert r.exit_code == NO_WEIGHT, r.stdout_text
    assert verdict in r.stdout_text


def test_a_port_that_opened_while_listening_is_not_reported_as_no_port():
    # Plugged in after the start, pulled out again before the end, silent.
    line = Timeline([(1200, lambda l: l.replug()), (2500, lambda l: l.unplug())], present=False)
    r, _ = check("pondix5.dll --seconds 4", line)
    out = r.stdout_text
    assert "port open again" in out and "port lost" in out, out
    assert r.exit_code == NO_WEIGHT, out
    assert "verdict: no bytes at all" in out


def test_the_ini_beside_the_tool_names_the_port_and_mode_it_checks():
    line = ScriptedLine()
    lines_at(line, 100, 300, b"\r\n", b"Net: 123.456 g\r\n")
    ini = "[port]\r\nname=COM12\r\nmode=baud=4800 parity=n data=8 stop=1\r\n"
    r, exe = check("pondix5.dll --seconds 1", line, {r"C:\lab\pondix5.ini": ini})
    out = r.stdout_text
    assert r.exit_code == READ, out
    assert "settings: C:\\lab\\pondix5.ini (read)" in out
    assert "port: \\\\.\\COM12   mode: baud=4800 parity=n data=8 stop=1" in out
    assert exe.kernel32.calls("CreateFileA")[0].args[0] == r"\\.\COM12"
    assert line.dcb.BaudRate == 4800


def test_a_dll_named_with_its_folder_has_its_ini_there():
    ini = "[port]\r\nmode=baud=9600 parity=q\r\n"
    r, exe = check(r'"D:\host\channels\pondix1.dll"', ScriptedLine(),
                   {r"D:\host\channels\pondix1.ini": ini})
    out = r.stdout_text
    assert r.exit_code == NO_PORT, out
    assert "open: failed at BuildCommDCBA: The parameter is incorrect. (error 87)" in out
    assert "the mode is not one Windows understands" in out
    # A mode that will never parse: no listening, no retry.
    assert len(exe.kernel32.calls("CreateFileA")) == 1


def test_faults_while_listening_are_told_as_they_happen():
    def unplug(line):
        line.unplug()

    def replug(line):
        line.replug()

    line = Timeline([(1000, unplug), (1500, replug)])
    lines_at(line, 100, 200, b"\r\n", b"ST,GS,+     12.345  g  \r\n")
    line.feed(b"ST,GS,+     12.3", at=600)
    line.feed(b"46  g  \r\n", at=700)
    r, _ = check("pondix5.dll --seconds 4", line)
    out = r.stdout_text
    assert r.exit_code == READ, out
    lost = out.index("port lost (adapter unplugged?)")
    again = out.index("port open again")
    assert out.index("-> 12.345 g") < lost < again


def test_a_receive_error_drops_the_bytes_and_says_so():
    class Noisy(ScriptedLine):
        def status(self):
            if self.clock.now >= 500 and not getattr(self, "done", False):
                self.done = True
                self.inject_errors(CE_FRAME)
            return super().status()

    line = Noisy()
    lines_at(line, 100, 200, b"\r\n", b"ST,GS,+     12.345  g  \r\n", b"ST,GS,+     99.",
             b"999  g  \r\nST,GS,+     12.346  g  \r\n")
    r, _ = check("pondix5.dll --seconds 2", line)
    out = r.stdout_text
    assert "receive error (overrun, parity or framing)" in out, out
    assert "-> 99.999 g" not in out and "-> 12.346 g" in out


@pytest.mark.parametrize("args, why", [
    ("pondix5.dll --seconds", "--seconds takes a number of seconds from 1 to 3600"),
    ("pondix5.dll --seconds 0", "--seconds takes a number of seconds from 1 to 3600"),
    ("pondix5.dll --color", "unknown argument"),
    ("balance.dll", "name the DLL as pondixN.dll"),
])
def test_a_command_line_it_does_not_understand_is_exit_3(args, why):
    r, exe = check(args)
    assert r.exit_code == USAGE
    assert why in r.stdout_text and "usage: pondixcheck" in r.stdout_text
    assert not exe.kernel32.calls("CreateFileA")
