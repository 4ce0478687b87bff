"""Fake kernel32: the Win32 ABI layer over a pluggable serial backend.

The ABI layer (Kernel32) decodes arguments and structs, validates handles,
keeps the last-error code and a call log.  The serial line itself sits behind
SerialBackend so that a real tty can replace ScriptedLine without touching
the ABI code.  Backends fail by raising PortError with a Win32 error code.
"""

import bisect
import datetime
import struct
from collections import namedtuple
from dataclasses import dataclass, fields

from .errors import ApiMisuse

INVALID_HANDLE_VALUE = 0xFFFFFFFF
GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
OPEN_EXISTING = 3
FILE_ATTRIBUTE_NORMAL = 0x80
MAXDWORD = 0xFFFFFFFF

ERROR_FILE_NOT_FOUND = 2
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_BAD_COMMAND = 22
ERROR_GEN_FAILURE = 31
ERROR_INVALID_PARAMETER = 87
ERROR_OPERATION_ABORTED = 995

CE_RXOVER = 0x1
CE_OVERRUN = 0x2
CE_RXPARITY = 0x4
CE_FRAME = 0x8

NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY = range(5)
ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS = range(3)

# DCB bitfield word
F_BINARY = 1 << 0
F_PARITY = 1 << 1
F_OUTX_CTS_FLOW = 1 << 2
F_OUTX_DSR_FLOW = 1 << 3
F_OUTX = 1 << 8
F_INX = 1 << 9

Call = namedtuple("Call", "name args result error now", defaults=(0, None))
Call.__doc__ = """One kernel32 call: name, decoded args (strings and struct
snapshots where the function reads them), the returned EAX, the last-error
code the call set (0: it succeeded and left it alone) and the clock's `now`
when it was made."""


class PortError(Exception):
    """A failing call: `code` becomes the caller's last error, `why` says it in words."""

    def __init__(self, code, why=None):
        super().__init__(why or f"Win32 error {code}")
        self.code = code
        self.why = why


def _struct_codec(fmt):
    """Class decorator: pack/unpack a dataclass with a fixed struct layout."""
    def wrap(cls):
        cls.FORMAT = fmt
        cls.SIZE = struct.calcsize(fmt)

        def unpack(klass, data):
            return klass(*struct.unpack(fmt, bytes(data)))

        def pack(self):
            return struct.pack(fmt, *(getattr(self, f.name) for f in fields(self)))

        cls.unpack = classmethod(unpack)
        cls.pack = pack
        return cls
    return wrap


@_struct_codec("<IIIHHHBBBBBBBBH")
@dataclass
class Dcb:
    """Win32 DCB, 28 bytes."""
    DCBlength: int = 28
    BaudRate: int = 1200
    flags: int = F_BINARY
    wReserved: int = 0
    XonLim: int = 2048
    XoffLim: int = 512
    ByteSize: int = 7
    Parity: int = EVENPARITY
    StopBits: int = ONESTOPBIT
    XonChar: int = 0x11
    XoffChar: int = 0x13
    ErrorChar: int = 0
    EofChar: int = 0
    EvtChar: int = 0
    wReserved1: int = 0


@_struct_codec("<IIIII")
@dataclass
class CommTimeouts:
    """Win32 COMMTIMEOUTS, five DWORDs."""
    ReadIntervalTimeout: int = 0
    ReadTotalTimeoutMultiplier: int = 0
    ReadTotalTimeoutConstant: int = 0
    WriteTotalTimeoutMultiplier: int = 0
    WriteTotalTimeoutConstant: int = 0


COMSTAT_FORMAT = "<III"  # flags, cbInQue, cbOutQue


def build_comm_dcb(mode, dcb):
    """Apply a "baud=9600 parity=n data=8 stop=1" mode string to dcb.

    Returns False on a syntax it does not know, leaving dcb untouched.
    """
    parity = {"n": NOPARITY, "o": ODDPARITY, "e": EVENPARITY, "m": MARKPARITY, "s": SPACEPARITY}
    stop = {"1": ONESTOPBIT, "1.5": ONE5STOPBITS, "2": TWOSTOPBITS}
    new = Dcb.unpack(dcb.pack())
    for word in mode.split():
        key, sep, value = word.lower().partition("=")
        if not sep:
            return False
        if key == "baud" and value.isdigit():
            new.BaudRate = int(value)
        elif key == "parity" and value in parity:
            new.Parity = parity[value]
        elif key == "data" and value in ("5", "6", "7", "8"):
            new.ByteSize = int(value)
        elif key == "stop" and value in stop:
            new.StopBits = stop[value]
        else:
            return False
    # Documented: BuildCommDCB leaves XON/XOFF and hardware flow control disabled.
    new.flags &= ~(F_OUTX | F_INX | F_OUTX_CTS_FLOW | F_OUTX_DSR_FLOW)
    for f in fields(Dcb):
        setattr(dcb, f.name, getattr(new, f.name))
    return True


class VirtualClock:
    """Millisecond clock that only moves when told to.

    `now` is unbounded; GetTickCount sees it modulo 2**32.  Each GetTickCount
    returns the current value and then advances it by `step`.
    """

    def __init__(self, start=0, step=1):
        self.now = start
        self.step = step

    def tick_count(self):
        value = self.now & 0xFFFFFFFF
        self.now += self.step
        return value

    def advance(self, ms):
        self.now += ms


class SerialBackend:
    """What the kernel32 layer needs from a serial line.

    One handle at a time: open() starts it, close() ends it.  A method fails
    by raising PortError; its code becomes the caller's last error.  When the
    device under an open handle vanishes the handle is dead for good: every
    call but close() fails, even once the device is back.
    """

    def open(self, name):
        """Start a handle with empty queues.  Refuse an absent device
        (ERROR_FILE_NOT_FOUND) and one already held, by anyone, through a
        dead handle too (ERROR_ACCESS_DENIED)."""
        raise NotImplementedError

    def close(self):
        """End the handle, dead or alive; never fails."""
        raise NotImplementedError

    def check(self):
        """Fail if the open handle is dead."""
        raise NotImplementedError

    def configure(self, dcb):
        """Apply line settings (a Dcb)."""
        raise NotImplementedError

    def set_timeouts(self, timeouts):
        """Apply a CommTimeouts."""
        raise NotImplementedError

    def status(self):
        """(error_flags, in_queue); fetching clears the error flags."""
        raise NotImplementedError

    def read(self, n, timeout_ms):
        """Up to n bytes, waiting at most timeout_ms (None: forever)."""
        raise NotImplementedError


class ScriptedLine(SerialBackend):
    """A serial line driven by the test.

    feed(data, at=tick) queues bytes arriving at a virtual tick; until then
    they are neither counted nor readable, and they are lost if no live
    handle is open at that tick.  A read with nothing to deliver moves the
    clock forward by its time-out, as a blocking read would.

    Device life: unplug(error) / replug() (or `present`), `busy` for another
    program holding the port, glitch() for transient status failures.
    """

    def __init__(self, clock=None, present=True):
        self.clock = clock if clock is not None else VirtualClock()
        self._present = present
        self.busy = False        # another program holds the port
        self.fake_in_queue = None  # overrides the reported count when set
        self.is_open = False     # a handle is open, alive or dead
        self.dead = None         # the error an open handle fails with once its device vanished
        self.opened_name = None
        self.dcb = None          # what the open handle was configured with
        self.timeouts = None
        self._pending_errors = 0
        self._glitches = []
        self._arrivals = []  # (tick, seq, byte), kept sorted
        self._seq = 0

    # --- test controls ---
    def feed(self, data, at=None):
        """Queue bytes that arrive at tick `at` (default: now)."""
        at = self.clock.now if at is None else at
        for b in bytes(data):
            bisect.insort(self._arrivals, (at, self._seq, b))
            self._seq += 1

    def inject_errors(self, flags):
        """Raise CE_* flags, reported once by the next successful status()."""
        self._pending_errors |= flags

    def unplug(self, error=ERROR_BAD_COMMAND):
        """The device disappears: an open handle dies, failing with `error`
        from now on; what was received and not read is lost."""
        self._settle()
        if self.is_open and self.dead is None:
            self.dead = error
        self._present = False
        self._lose_arrived()

    def replug(self):
        """The device is back under the same name; a dead handle stays dead."""
        self._settle()
        self._present = True

    @property
    def present(self):
        return self._present

    @present.setter
    def present(self, value):
        if value:
            self.replug()
        elif self._present:
            self.unplug()

    @property
    def unplugged(self):
        return not self._present

    def glitch(self, error=ERROR_GEN_FAILURE, times=1):
        """The next `times` status queries fail with `error`; the handle stays usable."""
        self._glitches += [error] * times

    def pending(self):
        """Bytes queued but not yet read, whether arrived or not."""
        self._settle()
        return bytes(b for _, _, b in self._arrivals)

    def _arrived(self):
        return bisect.bisect_right(self._arrivals, (self.clock.now, float("inf"), 0))

    def _lose_arrived(self):
        del self._arrivals[:self._arrived()]

    def _settle(self):
        # Bytes reach no queue while no live handle is open.
        if not self.is_open or self.dead is not None:
            self._lose_arrived()

    # --- SerialBackend ---
    def open(self, name):
        self._settle()
        if not self._present:
            raise PortError(ERROR_FILE_NOT_FOUND, f"{name}: no such device")
        if self.busy or self.is_open:
            raise PortError(ERROR_ACCESS_DENIED, f"{name}: in use")
        self.is_open = True
        self.dead = None
        self.opened_name = name
        self.dcb = self.timeouts = None
        self._pending_errors = 0

    def close(self):
        self._settle()
        self.is_open = False  # its queue is dropped by the next _settle
        self.dead = None
        self._pending_errors = 0

    def check(self):
        if self.dead is not None:
            raise PortError(self.dead, "device gone")

    def configure(self, dcb):
        self.check()
        self.dcb = dcb

    def set_timeouts(self, timeouts):
        self.check()
        self.timeouts = timeouts

    def status(self):
        self.check()
        if self._glitches:
            raise PortError(self._glitches.pop(0), "transient failure")
        errors, self._pending_errors = self._pending_errors, 0
        count = self._arrived() if self.fake_in_queue is None else self.fake_in_queue
        return errors, count

    def read(self, n, timeout_ms):
        self.check()
        deadline = None if timeout_ms is None else self.clock.now + timeout_ms
        while self._arrived() < n and len(self._arrivals) > self._arrived():
            next_at = self._arrivals[self._arrived()][0]
            if deadline is not None and next_at > deadline:
                break
            self.clock.now = next_at
        got = min(n, self._arrived())
        if got < n:
            if deadline is None:
                raise ApiMisuse("ReadFile without time-outs would block forever on an idle line")
            self.clock.now = max(self.clock.now, deadline)
        data = bytes(b for _, _, b in self._arrivals[:got])
        del self._arrivals[:got]
        return data


# name -> argument kinds; kinds drive the call log decoding:
# "str" = LPCSTR, "dcb"/"timeouts" = struct read by the function, else raw.
_API = {}
# name -> what the function returns when it fails (functions that can fail)
_FAILS = {}

_NO_FAILURE = object()


def _api(*kinds, fails=_NO_FAILURE):
    def deco(fn):
        _API[fn.__name__] = kinds
        if fails is not _NO_FAILURE:
            _FAILS[fn.__name__] = fails
        return fn
    return deco


class Kernel32:
    """The fake kernel32 functions, called with raw 32-bit arguments.

    `mem` must provide read(addr, n) -> bytes and write(addr, data).
    `local_time` is a datetime, or a callable giving one at each call
    (datetime.datetime.now for the real local time).
    """

    FIRST_HANDLE = 0x00000044

    def __init__(self, backend, mem, clock):
        self.backend = backend
        self.mem = mem
        self.clock = clock
        self.local_time = datetime.datetime(2007, 2, 14, 12, 0, 0)
        self.log = []
        self.last_error = 0
        self.handle = None  # the one open handle, alive or dead
        self._next_handle = self.FIRST_HANDLE
        self._injected = {}  # name -> error codes of its next calls
        self.dcb = Dcb()  # the port's settings as GetCommState reports them
        self.timeouts = CommTimeouts()
        self.queue_sizes = None

    @staticmethod
    def provides(name):
        return name in _API

    @staticmethod
    def arg_count(name):
        return len(_API[name])

    def inject_failure(self, name, error, times=1):
        """The next `times` calls of `name` fail with `error` and do nothing else."""
        if name not in _FAILS:
            raise ValueError(f"{name} cannot fail: one of {', '.join(sorted(_FAILS))}")
        self._injected.setdefault(name, []).extend([error] * times)

    def dispatch(self, name, args):
        """Run one function, log it and return its EAX."""
        kinds = _API[name]
        logged = tuple(self._decode(kind, a) for kind, a in zip(kinds, args))
        now = getattr(self.clock, "now", None)
        error = 0
        try:
            injected = self._injected.get(name)
            if injected:
                if name == "ReadFile" and args[3]:
                    self.mem.write(args[3], bytes(4))  # documented: zeroed before any check
                raise PortError(injected.pop(0), "injected failure")
            result = getattr(self, name)(*args)
        except PortError as e:
            error = self.last_error = e.code
            result = _FAILS[name]
        result &= 0xFFFFFFFF
        self.log.append(Call(name, logged, result, error, now))
        return result

    def calls(self, name=None):
        """The log, or only the calls of one function."""
        return [c for c in self.log if name is None or c.name == name]

    def _decode(self, kind, value):
        if kind == "str":
            return self._cstring(value).decode("latin-1") if value else None
        if kind == "dcb":
            return Dcb.unpack(self.mem.read(value, Dcb.SIZE)) if value else None
        if kind == "timeouts":
            return CommTimeouts.unpack(self.mem.read(value, CommTimeouts.SIZE)) if value else None
        return value

    def _cstring(self, addr):
        out = bytearray()
        while True:
            at = addr + len(out)
            chunk = self.mem.read(at, 64 - at % 64)  # never past a page end
            end = chunk.find(b"\0")
            if end >= 0:
                return bytes(out + chunk[:end])
            out += chunk

    def _port(self, h):
        """Fail unless h is the open handle; handle values are never reused."""
        if self.handle is None or h != self.handle:
            raise PortError(ERROR_INVALID_HANDLE, f"handle {h:#x} is not open")

    # --- the API ---
    @_api("str", "raw", "raw", "raw", "raw", "raw", "raw", fails=INVALID_HANDLE_VALUE)
    def CreateFileA(self, name, access, share, security, disposition, attributes, template):
        # Communications devices: exclusive, existing, no template.
        if share != 0 or disposition != OPEN_EXISTING or template != 0:
            raise PortError(ERROR_INVALID_PARAMETER)
        self.backend.open(self._cstring(name).decode("latin-1"))
        if self.handle is not None:
            self.backend.close()
            raise ApiMisuse("the serial backend opened a port that is already open")
        self.handle = self._next_handle
        self._next_handle += 4
        # A fresh device instance: its settings are the driver's defaults.
        self.dcb = Dcb()
        self.timeouts = CommTimeouts()
        self.queue_sizes = None
        return self.handle

    @_api("raw", fails=0)
    def CloseHandle(self, h):
        self._port(h)
        self.backend.close()
        self.handle = None
        return 1

    @_api("raw", "raw", "raw", fails=0)
    def SetupComm(self, h, in_queue, out_queue):
        self._port(h)
        self.backend.check()
        self.queue_sizes = (in_queue, out_queue)
        return 1

    @_api("raw", "raw", fails=0)
    def GetCommState(self, h, p_dcb):
        self._port(h)
        self.backend.check()
        self.mem.write(p_dcb, self.dcb.pack())
        return 1

    @_api("str", "raw", fails=0)
    def BuildCommDCBA(self, p_mode, p_dcb):
        dcb = Dcb.unpack(self.mem.read(p_dcb, Dcb.SIZE))
        if not build_comm_dcb(self._cstring(p_mode).decode("latin-1"), dcb):
            raise PortError(ERROR_INVALID_PARAMETER)
        self.mem.write(p_dcb, dcb.pack())
        return 1

    @_api("raw", "dcb", fails=0)
    def SetCommState(self, h, p_dcb):
        self._port(h)
        self.backend.check()
        dcb = Dcb.unpack(self.mem.read(p_dcb, Dcb.SIZE))
        if not (5 <= dcb.ByteSize <= 8 and dcb.Parity <= SPACEPARITY
                and dcb.StopBits <= TWOSTOPBITS and dcb.BaudRate > 0):
            raise PortError(ERROR_INVALID_PARAMETER)
        self.backend.configure(dcb)
        self.dcb = dcb
        return 1

    @_api("raw", "timeouts", fails=0)
    def SetCommTimeouts(self, h, p_timeouts):
        self._port(h)
        timeouts = CommTimeouts.unpack(self.mem.read(p_timeouts, CommTimeouts.SIZE))
        self.backend.set_timeouts(timeouts)
        self.timeouts = timeouts
        return 1

    @_api("raw", "raw", "raw", fails=0)
    def ClearCommError(self, h, p_errors, p_comstat):
        self._port(h)
        errors, in_queue = self.backend.status()
        if p_errors:
            self.mem.write(p_errors, struct.pack("<I", errors))
        if p_comstat:
            self.mem.write(p_comstat, struct.pack(COMSTAT_FORMAT, 0, in_queue & 0xFFFFFFFF, 0))
        return 1

    @_api("raw", "raw", "raw", "raw", "raw", fails=0)
    def ReadFile(self, h, p_buffer, n, p_read, p_overlapped):
        if p_overlapped:
            raise ApiMisuse("ReadFile: overlapped reads are not emulated")
        if not p_read:
            raise ApiMisuse("ReadFile: lpNumberOfBytesRead is NULL without OVERLAPPED")
        self.mem.write(p_read, struct.pack("<I", 0))
        self._port(h)
        data = self.backend.read(n, self._read_timeout(n))
        self.mem.write(p_buffer, data)
        self.mem.write(p_read, struct.pack("<I", len(data)))
        return 1

    def _read_timeout(self, n):
        """Total read time-out in ms from COMMTIMEOUTS; None means none at all."""
        t = self.timeouts
        total = t.ReadTotalTimeoutMultiplier * n + t.ReadTotalTimeoutConstant
        if t.ReadIntervalTimeout == MAXDWORD and total == 0:
            return 0  # documented: return at once with what is there
        if total == 0:
            return None
        return total

    @_api()
    def GetLastError(self):
        return self.last_error

    @_api("raw")
    def SetLastError(self, code):
        self.last_error = code
        return 0

    @_api()
    def GetTickCount(self):
        return self.clock.tick_count()

    @_api("raw")
    def GetLocalTime(self, p_systemtime):
        t = self.local_time() if callable(self.local_time) else self.local_time
        self.mem.write(p_systemtime, struct.pack(
            "<8H", t.year, t.month, (t.weekday() + 1) % 7, t.day,
            t.hour, t.minute, t.second, t.microsecond // 1000))
        return 0
