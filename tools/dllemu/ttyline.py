"""The real serial line: a Linux tty behind SerialBackend.

A USB adapter (/dev/ttyUSB0), a built-in port or a pseudo-terminal serves the
DLL's serial calls: its DCB becomes termios settings, ClearCommError counts
the driver's input queue, ReadFile waits at most the DLL's time-out.  With
MonotonicClock and the real local time (Kernel32.local_time =
datetime.datetime.now) the DLL runs as it would on a Windows host.

Its life follows Windows': each open looks the path up anew (a symlink
too), starts with an empty input queue, and a handle whose tty vanished
(hung up: the other side of a pty closed, an adapter unplugged) fails every
call until it is closed.
"""

import errno
import fcntl
import os
import select
import stat
import struct
import termios
import time

from .kernel32 import (CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY, ERROR_ACCESS_DENIED,
                       ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE, ERROR_INVALID_PARAMETER, F_INX,
                       F_OUTX, F_OUTX_CTS_FLOW, MARKPARITY, NOPARITY, ODDPARITY, ONESTOPBIT,
                       SPACEPARITY, PortError, SerialBackend)

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

# errno of a failed open or setting -> the Win32 code CreateFileA/SetCommState would give
_WIN32_ERROR = {
    errno.ENOENT: ERROR_FILE_NOT_FOUND, errno.ENODEV: ERROR_FILE_NOT_FOUND,
    errno.ENXIO: ERROR_FILE_NOT_FOUND, errno.ENOTDIR: ERROR_FILE_NOT_FOUND,
    errno.ELOOP: ERROR_FILE_NOT_FOUND,
    errno.EACCES: ERROR_ACCESS_DENIED, errno.EPERM: ERROR_ACCESS_DENIED,
    errno.EBUSY: ERROR_ACCESS_DENIED, errno.EAGAIN: ERROR_ACCESS_DENIED,
    errno.EINVAL: ERROR_INVALID_PARAMETER,
}


def win32_error(err):
    """The Win32 error code for an errno; ERROR_GEN_FAILURE when none fits."""
    return _WIN32_ERROR.get(err, ERROR_GEN_FAILURE)


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
    the system's uptime, as on Windows.  `now` is the same count unwrapped.
    """

    def __init__(self, start=None):
        self._origin = time.monotonic_ns() // 1_000_000
        self._offset = self._origin if start is None else start

    @property
    def now(self):
        return self._offset + time.monotonic_ns() // 1_000_000 - self._origin

    def tick_count(self):
        return self.now & 0xFFFFFFFF

    def sleep(self, ms):
        time.sleep(ms / 1000)


def device_failure(path):
    """(Win32 error code, why) if `path` cannot serve as a serial line, else None."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return ERROR_FILE_NOT_FOUND, f"{path}: no such device"
    except OSError as e:
        return win32_error(e.errno), f"{path}: {e.strerror}"
    # Something that is no serial port: for the DLL, its port does not exist.
    if not stat.S_ISCHR(st.st_mode):
        return ERROR_FILE_NOT_FOUND, f"{path}: not a tty (not a character device)"
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return win32_error(e.errno), f"{path}: {e.strerror}"
    try:
        if not os.isatty(fd):
            return ERROR_FILE_NOT_FOUND, f"{path}: not a tty"
        try:
            fcntl.ioctl(fd, TIOCGSID, b"\0" * 4)
        except OSError:
            return None
        # Raw mode would wreck a shell's terminal.
        return (ERROR_ACCESS_DENIED,
                f"{path}: a session's controlling terminal (a shell?), not a serial line")
    finally:
        os.close(fd)


def device_problem(path):
    """Why `path` cannot serve as a serial line, or None if it can."""
    failure = device_failure(path)
    return failure and failure[1]


class TtyLine(SerialBackend):
    """A real tty as the DLL's serial port.

    `device` is the path opened whatever port name the DLL asks for (Com5:,
    Com1:): one device stands for the one port a DLL knows.  `problem` says
    why the last open failed or why the open handle died; `opened_path` is
    the tty the open handle reached (a symlink resolved).  A handle whose
    tty vanished fails with `gone_error`: by default ERROR_ACCESS_DENIED, as
    from Windows' own USB CDC driver.
    """

    def __init__(self, device, gone_error=ERROR_ACCESS_DENIED):
        self.device = str(device)
        self.gone_error = gone_error
        self.clock = MonotonicClock()
        self.fd = None
        self.dead = None
        self.opened_name = None
        self.opened_path = None
        self.problem = None
        self.dcb = None
        self.timeouts = None
        self._icount = None
        self._poll = None

    @property
    def is_open(self):
        return self.fd is not None

    def _refuse(self, code, why):
        self.problem = f"{self.device}: {why}"
        return PortError(code, self.problem)

    # --- SerialBackend ---
    def open(self, name):
        if self.fd is not None:
            raise self._refuse(ERROR_ACCESS_DENIED, "already open")
        failure = device_failure(self.device)
        if failure:
            self.problem = failure[1]
            raise PortError(*failure)
        try:
            fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as e:
            raise self._refuse(win32_error(e.errno), e.strerror) from None
        try:
            # Windows opens a port exclusively; the nearest here is the lock pyserial takes.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            # A comm handle never edits, echoes or translates: raw from the start.
            attrs = termios.tcgetattr(fd)
            attrs[0:4] = [0, 0, attrs[2] | termios.CREAD | termios.CLOCAL, 0]
            attrs[6][termios.VMIN] = 0
            attrs[6][termios.VTIME] = 0
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            # What came while nobody held the port is not for this handle.
            termios.tcflush(fd, termios.TCIFLUSH)
        except OSError as e:
            os.close(fd)
            busy = e.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
            raise self._refuse(win32_error(e.errno),
                               "in use by another program" if busy else e.strerror) from None
        except termios.error as e:
            os.close(fd)
            raise self._refuse(win32_error(e.args[0]), e.args[-1]) from None
        self.fd = fd
        self.dead = None
        self.problem = None
        self.opened_name = name
        self.opened_path = os.path.realpath(self.device)
        self.dcb = self.timeouts = None
        self._poll = select.poll()
        self._poll.register(fd, select.POLLIN)
        self._icount = self._read_icount()

    def close(self):
        if self.fd is None:
            return
        try:
            os.close(self.fd)  # also drops the lock
        except OSError:
            pass
        self.fd = None
        self.dead = None
        self._poll = None

    def check(self):
        if self.fd is None:
            raise PortError(ERROR_GEN_FAILURE, f"{self.device}: not open")
        if self.dead is not None:
            raise PortError(self.dead, self.problem)
        if any(ev & _HANGUP for _, ev in self._poll.poll(0)):
            # Linux hangs a tty up when its pty master closes or its adapter goes.
            self._gone("hung up (the other side closed, or the adapter was unplugged)")

    def _gone(self, why):
        # Like a surprise-removed device's handle: dead until closed, whatever comes back.
        self.dead = self.gone_error
        self.problem = f"{self.device}: {why}"
        raise PortError(self.dead, self.problem)

    def configure(self, dcb):
        self.check()
        mode = termios_mode(dcb)
        if mode is None:
            raise PortError(ERROR_INVALID_PARAMETER, f"{self.device}: termios cannot set "
                            f"{dcb.BaudRate} baud, {dcb.ByteSize} data bits")
        iflag, cflag, speed = mode
        try:
            attrs = termios.tcgetattr(self.fd)
            attrs[0:6] = [iflag, 0, cflag, 0, speed, speed]
            termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        except termios.error as e:
            if e.args[0] == errno.EIO:
                self._gone(e.args[-1])
            raise PortError(win32_error(e.args[0]), f"{self.device}: {e.args[-1]}") from None
        self.dcb = dcb

    def set_timeouts(self, timeouts):
        self.check()
        self.timeouts = timeouts

    def status(self):
        self.check()
        try:
            count, = struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0" * 4))
        except OSError as e:
            self._gone(e.strerror)
        return self._new_errors(), count

    def read(self, n, timeout_ms):
        self.check()
        deadline = None if timeout_ms is None else time.monotonic() + timeout_ms / 1000
        data = b""
        while len(data) < n:
            wait = -1 if deadline is None else max(0, round((deadline - time.monotonic()) * 1000))
            events = self._poll.poll(wait)
            if any(ev & _HANGUP for _, ev in events):
                self._gone("hung up during a read")
            if events:
                try:
                    chunk = os.read(self.fd, n - len(data))
                except BlockingIOError:
                    chunk = None
                except OSError as e:
                    self._gone(e.strerror)
                if chunk == b"":
                    self._gone("end of file (hung up)")
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
