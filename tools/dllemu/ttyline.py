"""The real serial line: a Linux tty behind SerialBackend.

A USB adapter (/dev/ttyUSB0), a built-in port or a pseudo-terminal serves the
DLL's serial calls: its DCB becomes termios settings, ClearCommError counts
the driver's input queue, ReadFile waits at most the DLL's time-out.  With
MonotonicClock and the real local time (Kernel32.local_time =
datetime.datetime.now) the DLL runs as it would on a Windows host.
"""

import errno
import fcntl
import os
import select
import stat
import struct
import termios
import time

from .kernel32 import (CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY, F_INX, F_OUTX,
                       F_OUTX_CTS_FLOW, MARKPARITY, NOPARITY, ODDPARITY, ONESTOPBIT,
                       SPACEPARITY, SerialBackend)

CE_BREAK = 0x10

# Missing from Python's termios module; values of Linux on x86 and arm.
CMSPAR = 0o10000000000
TIOCGSID = 0x5429

_ICOUNT = struct.Struct("<20i")  # struct serial_icounter_struct
_ICOUNT_FIELDS = ("cts", "dsr", "rng", "dcd", "rx", "tx", "frame", "overrun", "parity", "brk",
                  "buf_overrun")
_ICOUNT_ERRORS = {"frame": CE_FRAME, "overrun": CE_OVERRUN, "parity": CE_RXPARITY,
                  "brk": CE_BREAK, "buf_overrun": CE_RXOVER}

_DATA_BITS = {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}
_HANGUP = select.POLLHUP | select.POLLERR | select.POLLNVAL


def baud_constant(rate):
    """termios speed constant for a standard rate, or None."""
    return getattr(termios, f"B{rate}", None) if rate > 0 else None


def termios_mode(dcb):
    """(c_iflag, c_cflag, speed) for a DCB, or None if termios cannot say it.

    Raw: no echo, no line editing, no CR/LF translation.
    """
    speed = baud_constant(dcb.BaudRate)
    if speed is None or dcb.ByteSize not in _DATA_BITS:
        return None
    cflag = termios.CREAD | termios.CLOCAL | _DATA_BITS[dcb.ByteSize]
    iflag = 0
    if dcb.Parity != NOPARITY:
        cflag |= termios.PARENB
        iflag |= termios.INPCK
        if dcb.Parity in (ODDPARITY, MARKPARITY):
            cflag |= termios.PARODD
        if dcb.Parity in (MARKPARITY, SPACEPARITY):
            cflag |= CMSPAR
    if dcb.StopBits != ONESTOPBIT:
        cflag |= termios.CSTOPB  # Linux has no 1.5: two is the nearest
    if dcb.flags & F_OUTX_CTS_FLOW:
        cflag |= termios.CRTSCTS
    if dcb.flags & F_OUTX:
        iflag |= termios.IXON
    if dcb.flags & F_INX:
        iflag |= termios.IXOFF
    return iflag, cflag, speed


class MonotonicClock:
    """GetTickCount from the monotonic clock: milliseconds, wrapping at 2**32.

    `start` sets the first value (to test the wrap); by default the count is
    the system's uptime, as on Windows.
    """

    def __init__(self, start=None):
        self._origin = time.monotonic_ns() // 1_000_000
        self._offset = self._origin if start is None else start

    def tick_count(self):
        return (self._offset + time.monotonic_ns() // 1_000_000 - self._origin) & 0xFFFFFFFF


def device_problem(path):
    """Why `path` cannot serve as a serial line, or None if it can."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return f"{path}: no such device"
    except OSError as e:
        return f"{path}: {e.strerror}"
    if not stat.S_ISCHR(st.st_mode):
        return f"{path}: not a tty (not a character device)"
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return f"{path}: {e.strerror}"
    try:
        if not os.isatty(fd):
            return f"{path}: not a tty"
        try:
            fcntl.ioctl(fd, TIOCGSID, b"\0" * 4)
        except OSError:
            return None
        # Raw mode would wreck a shell's terminal.
        return f"{path}: a session's controlling terminal (a shell?), not a serial line"
    finally:
        os.close(fd)


class TtyLine(SerialBackend):
    """A real tty as the DLL's serial port.

    `device` is the path opened whatever port name the DLL asks for (Com5:,
    Com1:): one device stands for the one port a DLL knows.  After a failed
    open, `problem` says why.
    """

    def __init__(self, device):
        self.device = str(device)
        self.clock = MonotonicClock()
        self.fd = None
        self.opened_name = None
        self.problem = None
        self.dcb = None
        self.timeouts = None
        self._icount = None
        self._poll = None

    @property
    def is_open(self):
        return self.fd is not None

    # --- SerialBackend ---
    def open(self, name):
        if self.fd is not None:
            self.problem = f"{self.device}: already open"
            return False
        self.problem = device_problem(self.device)
        if self.problem:
            return False
        try:
            fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as e:
            self.problem = f"{self.device}: {e.strerror}"
            return False
        try:
            # Windows opens a port exclusively; the nearest here is the lock pyserial takes.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            # A comm handle never edits, echoes or translates: raw from the start.
            attrs = termios.tcgetattr(fd)
            attrs[0:4] = [0, 0, attrs[2] | termios.CREAD | termios.CLOCAL, 0]
            attrs[6][termios.VMIN] = 0
            attrs[6][termios.VTIME] = 0
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        except OSError as e:
            os.close(fd)
            busy = e.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
            why = "in use by another program" if busy else e.strerror
            self.problem = f"{self.device}: {why}"
            return False
        except termios.error as e:
            os.close(fd)
            self.problem = f"{self.device}: {e.args[-1]}"
            return False
        self.fd = fd
        self.opened_name = name
        self._poll = select.poll()
        self._poll.register(fd, select.POLLIN)
        self._icount = self._read_icount()
        return True

    def close(self):
        if self.fd is None:
            return
        try:
            os.close(self.fd)  # also drops the lock
        except OSError:
            pass
        self.fd = None
        self._poll = None

    def configure(self, dcb):
        mode = termios_mode(dcb)
        if self.fd is None or mode is None:
            return False
        iflag, cflag, speed = mode
        try:
            attrs = termios.tcgetattr(self.fd)
            attrs[0:6] = [iflag, 0, cflag, 0, speed, speed]
            termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        except termios.error:
            return False
        self.dcb = dcb
        return True

    def set_timeouts(self, timeouts):
        self.timeouts = timeouts
        return self.fd is not None

    def status(self):
        if self.fd is None:
            return False, 0, 0
        # A pty whose other side closed, or an unplugged adapter: the port is gone.
        if any(ev & _HANGUP for _, ev in self._poll.poll(0)):
            return False, 0, 0
        try:
            count, = struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0" * 4))
        except OSError:
            return False, 0, 0
        return True, self._new_errors(), count

    def read(self, n, timeout_ms):
        if self.fd is None:
            return None
        deadline = None if timeout_ms is None else time.monotonic() + timeout_ms / 1000
        data = b""
        while len(data) < n:
            wait = -1 if deadline is None else max(0, round((deadline - time.monotonic()) * 1000))
            events = self._poll.poll(wait)
            if any(ev & _HANGUP for _, ev in events):
                return None
            if events:
                try:
                    chunk = os.read(self.fd, n - len(data))
                except BlockingIOError:
                    chunk = None
                except OSError:
                    return None
                if chunk == b"":
                    return None  # end of file on a tty: hung up
                data += chunk or b""
            if deadline is not None and time.monotonic() >= deadline:
                break
        return data

    # --- receive errors, where the driver counts them ---
    def _read_icount(self):
        """The driver's error counters, or None (a pty has none)."""
        buf = bytearray(_ICOUNT.size)
        try:
            fcntl.ioctl(self.fd, termios.TIOCGICOUNT, buf)
        except OSError:
            return None
        return dict(zip(_ICOUNT_FIELDS, _ICOUNT.unpack(buf)))

    def _new_errors(self):
        if self._icount is None:
            return 0
        now = self._read_icount()
        if now is None:
            return 0
        flags = 0
        for name, flag in _ICOUNT_ERRORS.items():
            if now[name] != self._icount[name]:
                flags |= flag
        self._icount = now
        return flags
