"""The real-device backend on a pseudo-terminal: what the DLL's calls turn into."""

import fcntl
import os
import termios
import threading
import time

import pytest

from dllemu import (CE_FRAME, CE_OVERRUN, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                    ERROR_FILE_NOT_FOUND, ERROR_INVALID_PARAMETER, ERROR_OPERATION_ABORTED, Dcb,
                    PortError)
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
    line.open("Com5:")
    yield line
    line.close()


def new_pty():
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def refusal(call, *args):
    """The Win32 code a backend call fails with."""
    with pytest.raises(PortError) as caught:
        call(*args)
    return caught.value.code


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
    line.configure(dcb)
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = attrs_of(pty[1])
    # A pty keeps the speed and stop bits but forces CS8 without parity.
    assert (ispeed, ospeed) == (termios.B4800, termios.B4800)
    assert cflag & termios.CSTOPB and cflag & termios.CLOCAL
    assert not lflag & (termios.ICANON | termios.ECHO | termios.ISIG)
    assert not iflag & (termios.ICRNL | termios.IXON)
    assert not oflag & termios.OPOST


def test_a_rate_termios_lacks_is_refused(line):
    dcb = Dcb(BaudRate=12345, ByteSize=8, Parity=NOPARITY)
    assert refusal(line.configure, dcb) == ERROR_INVALID_PARAMETER
    assert line.dcb is None


def test_bytes_pass_untranslated_and_are_counted(pty, line):
    master, _ = pty
    line.configure(Dcb(BaudRate=9600, ByteSize=8, Parity=NOPARITY))
    os.write(master, b"+ 1.5 g\r\n\x03\x11")
    time.sleep(0.05)
    assert line.status() == (0, 11)
    assert line.read(4, 100) == b"+ 1."
    assert line.status() == (0, 7)
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


@pytest.mark.parametrize("noticed_by, gone_error", [
    ("status", None), ("read", ERROR_OPERATION_ABORTED), ("configure", ERROR_BAD_COMMAND),
    ("waiting read", None),
])
def test_a_vanished_tty_kills_its_handle_for_good_and_a_new_open_finds_the_new_one(
        tmp_path, noticed_by, gone_error):
    """The balance simulator restarted on another pty behind the same link."""
    link = tmp_path / "balance"
    first, first_path = new_pty()
    link.symlink_to(first_path)
    options = {} if gone_error is None else {"gone_error": gone_error}
    line = TtyLine(link, **options)
    gone_error = gone_error or ERROR_ACCESS_DENIED
    line.open("Com5:")
    assert line.opened_path == first_path
    os.write(first, b"12.5 g\r\n")
    time.sleep(0.05)
    assert line.status() == (0, 8)
    calls = {"status": line.status, "read": lambda: line.read(1, 100),
             "configure": lambda: line.configure(Dcb(BaudRate=9600, ByteSize=8, Parity=NOPARITY)),
             "set_timeouts": lambda: line.set_timeouts(None)}
    if noticed_by == "waiting read":
        line.read(8, 100)
        threading.Timer(0.1, os.close, (first,)).start()
        assert refusal(line.read, 1, 5000) == gone_error
    else:
        os.close(first)
        assert refusal(calls.pop(noticed_by)) == gone_error
    assert "hung up" in line.problem
    second, second_path = new_pty()
    try:
        link.unlink()
        link.symlink_to(second_path)
        os.write(second, b"sent while nobody had the port\r\n")
        for call in calls.values():
            assert refusal(call) == gone_error
        assert refusal(line.open, "Com5:") == ERROR_ACCESS_DENIED  # the dead handle holds it
        line.close()
        line.open("Com5:")
        assert (line.opened_path, line.problem) == (second_path, None)
        time.sleep(0.05)
        assert line.status() == (0, 0)
        os.write(second, b"+ 3.000 g\r\n")
        assert line.read(11, 500) == b"+ 3.000 g\r\n"
    finally:
        line.close()
        os.close(second)


@pytest.mark.parametrize("when", ["before the first open", "between a close and the next open"])
def test_a_new_open_starts_with_an_empty_queue(pty, when):
    master, path = pty
    line = TtyLine(path)
    if when == "between a close and the next open":
        line.open("Com5:")
        os.write(master, b"unread at the close")
        line.close()
    os.write(master, b"nobody holds the port")
    time.sleep(0.05)
    line.open("Com5:")
    try:
        assert line.status() == (0, 0)
        os.write(master, b"Z")
        assert line.read(5, 200) == b"Z"
    finally:
        line.close()


def test_port_is_exclusive_and_free_again_after_close(pty, line):
    second = TtyLine(pty[1])
    assert refusal(second.open, "Com5:") == ERROR_ACCESS_DENIED
    assert "in use" in second.problem
    line.close()
    second.open("Com1:")
    assert second.opened_name == "Com1:"
    second.close()


def test_driver_error_counters_become_ce_flags_once(line, monkeypatch):
    counters = dict(line._read_icount() or {}, frame=0, overrun=0, parity=0, brk=0, buf_overrun=0)
    line._icount = dict(counters)
    monkeypatch.setattr(line, "_read_icount", lambda: dict(counters))
    counters.update(frame=2, overrun=1)
    assert line.status() == (CE_FRAME | CE_OVERRUN, 0)
    assert line.status() == (0, 0)


@pytest.mark.parametrize("device, error, why", [
    ("absent", ERROR_FILE_NOT_FOUND, "no such device"),
    ("/dev/null", ERROR_FILE_NOT_FOUND, "not a tty"),
    ("regular file", ERROR_FILE_NOT_FOUND, "not a tty (not a character device)"),
    ("locked by another program", ERROR_ACCESS_DENIED, "in use by another program"),
    ("already open", ERROR_ACCESS_DENIED, "already open"),
])
def test_a_refused_open_carries_a_win32_code_and_says_why(tmp_path, pty, device, error, why):
    master, path = pty
    held = None
    if device == "absent":
        path = str(tmp_path / "ttyUSB9")
    elif device == "/dev/null":
        path = device
    elif device == "regular file":
        path = str(tmp_path / "file")
        open(path, "w").close()
    elif device == "locked by another program":
        held = os.open(path, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(held, fcntl.LOCK_EX)
    line = TtyLine(path)
    if device == "already open":
        line.open("Com5:")
    try:
        assert refusal(line.open, "Com5:") == error
        assert line.problem == f"{path}: {why}"
        assert line.is_open == (device == "already open")
    finally:
        line.close()
        if held is not None:
            os.close(held)
    # device_problem cannot see a holder: the open finds out.
    served = device in ("already open", "locked by another program")
    assert device_problem(path) == (None if served else line.problem)


def test_monotonic_tick_count_follows_real_time_and_wraps():
    clock = MonotonicClock(start=2**32 - 30)
    first = clock.tick_count()
    time.sleep(0.08)
    second = clock.tick_count()
    assert first >= 2**32 - 30
    assert second < first  # wrapped
    assert 80 <= (second - first) % 2**32 < 1000
