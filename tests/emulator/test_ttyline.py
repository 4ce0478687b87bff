"""The real-device backend on a pseudo-terminal: what the DLL's calls turn into."""

import os
import termios
import threading
import time

import pytest

from dllemu import CE_FRAME, CE_OVERRUN, Dcb
from dllemu.kernel32 import NOPARITY, build_comm_dcb
from dllemu.ttyline import CMSPAR, MonotonicClock, TtyLine, device_problem, termios_mode


@pytest.fixture
def pty():
    """(master fd, slave path); the test end plays the balance."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    yield master, path
    try:
        os.close(master)
    except OSError:
        pass


@pytest.fixture
def line(pty):
    line = TtyLine(pty[1])
    assert line.open("Com5:"), line.problem
    yield line
    line.close()


def attrs_of(path):
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


@pytest.mark.parametrize("mode, speed, cflags, iflags", [
    ("baud=9600 parity=n data=8 stop=1", termios.B9600, termios.CS8, 0),
    ("baud=1200 parity=e data=7 stop=1", termios.B1200, termios.CS7 | termios.PARENB,
     termios.INPCK),
    ("baud=4800 parity=o data=7 stop=2", termios.B4800,
     termios.CS7 | termios.PARENB | termios.PARODD | termios.CSTOPB, termios.INPCK),
    ("baud=19200 parity=m data=8 stop=1", termios.B19200,
     termios.CS8 | termios.PARENB | termios.PARODD | CMSPAR, termios.INPCK),
    ("baud=300 parity=s data=5 stop=1.5", termios.B300,
     termios.CS5 | termios.PARENB | CMSPAR | termios.CSTOPB, termios.INPCK),
])
def test_mode_string_becomes_raw_termios(mode, speed, cflags, iflags):
    dcb = Dcb()
    assert build_comm_dcb(mode, dcb)
    assert termios_mode(dcb) == (iflags, termios.CREAD | termios.CLOCAL | cflags, speed)


def test_configure_applies_the_mode_to_the_device(pty, line):
    dcb = Dcb()
    build_comm_dcb("baud=4800 parity=o data=8 stop=2", dcb)
    assert line.configure(dcb)
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = attrs_of(pty[1])
    # A pty keeps the speed and stop bits but forces CS8 without parity.
    assert (ispeed, ospeed) == (termios.B4800, termios.B4800)
    assert cflag & termios.CSTOPB and cflag & termios.CLOCAL
    assert not lflag & (termios.ICANON | termios.ECHO | termios.ISIG)
    assert not iflag & (termios.ICRNL | termios.IXON)
    assert not oflag & termios.OPOST


def test_a_rate_termios_lacks_is_refused(line):
    assert not line.configure(Dcb(BaudRate=12345, ByteSize=8, Parity=NOPARITY))


def test_bytes_pass_untranslated_and_are_counted(pty, line):
    master, _ = pty
    line.configure(Dcb(BaudRate=9600, ByteSize=8, Parity=NOPARITY))
    os.write(master, b"+ 1.5 g\r\n\x03\x11")
    time.sleep(0.05)
    assert line.status() == (True, 0, 11)
    assert line.read(4, 100) == b"+ 1."
    assert line.status() == (True, 0, 7)
    assert line.read(20, 50) == b"5 g\r\n\x03\x11"
    os.set_blocking(master, False)
    with pytest.raises(BlockingIOError):
        os.read(master, 10)  # nothing echoed back to the balance


@pytest.mark.parametrize("arrives_after", [None, 0.15])
def test_read_waits_the_time_out_and_no_longer(pty, line, arrives_after):
    master, _ = pty
    start = time.monotonic()
    if arrives_after is not None:
        threading.Timer(arrives_after, os.write, (master, b"Z")).start()
    data = line.read(1, 600)
    took = time.monotonic() - start
    if arrives_after is None:
        assert data == b"" and 0.59 <= took < 1.5
    else:
        assert data == b"Z" and arrives_after <= took < 0.5


def test_other_side_gone_fails_status_and_read(pty, line):
    master, _ = pty
    os.write(master, b"12.5 g\r\n")
    time.sleep(0.05)
    assert line.status()[0]
    os.close(master)
    assert line.status() == (False, 0, 0)
    assert line.read(1, 100) is None


def test_port_is_exclusive_and_free_again_after_close(pty, line):
    second = TtyLine(pty[1])
    assert not second.open("Com5:")
    assert "in use" in second.problem
    line.close()
    assert second.open("Com1:") and second.opened_name == "Com1:"
    second.close()


def test_driver_error_counters_become_ce_flags_once(line, monkeypatch):
    counters = dict(line._read_icount() or {}, frame=0, overrun=0, parity=0, brk=0, buf_overrun=0)
    line._icount = dict(counters)
    monkeypatch.setattr(line, "_read_icount", lambda: dict(counters))
    counters.update(frame=2, overrun=1)
    assert line.status() == (True, CE_FRAME | CE_OVERRUN, 0)
    assert line.status() == (True, 0, 0)


def test_device_problems_are_named(tmp_path, pty):
    assert device_problem(pty[1]) is None
    assert "no such device" in device_problem(str(tmp_path / "ttyUSB9"))
    assert "not a tty" in device_problem("/dev/null")
    regular = tmp_path / "file"
    regular.write_text("")
    assert "not a tty" in device_problem(str(regular))


def test_monotonic_tick_count_follows_real_time_and_wraps():
    clock = MonotonicClock(start=2**32 - 30)
    first = clock.tick_count()
    time.sleep(0.08)
    second = clock.tick_count()
    assert first >= 2**32 - 30
    assert second < first  # wrapped
    assert 80 <= (second - first) % 2**32 < 1000
