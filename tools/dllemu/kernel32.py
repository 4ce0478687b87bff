"""Fake kernel32: the Win32 ABI layer over a pluggable serial backend.

The ABI layer (Kernel32) decodes arguments and structs, validates handles and
keeps a call log.  The serial line itself sits behind SerialBackend so that a
real tty can replace ScriptedLine without touching the ABI code.
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
ERROR_INVALID_HANDLE = 6
ERROR_GEN_FAILURE = 31
ERROR_INVALID_PARAMETER = 87

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

Call = namedtuple("Call", "name args result")
Call.__doc__ = """One kernel32 call: name, decoded args (strings and struct
snapshots where the function reads them), and the returned EAX."""


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
    """What the kernel32 layer needs from a serial line."""

    def open(self, name):
        """Open the device; False if it does not exist or is busy."""
        raise NotImplementedError

    def close(self):
        raise NotImplementedError

    def configure(self, dcb):
        """Apply line settings (a Dcb); False if refused."""
        raise NotImplementedError

    def set_timeouts(self, timeouts):
        """Apply a CommTimeouts; False if refused."""
        raise NotImplementedError

    def status(self):
        """(ok, error_flags, in_queue); fetching clears the error flags."""
        raise NotImplementedError

    def read(self, n, timeout_ms):
        """Up to n bytes, waiting at most timeout_ms (None: forever).

        Returns bytes, or None when the read itself fails.
        """
        raise NotImplementedError


class ScriptedLine(SerialBackend):
    """A serial line driven by the test.

    feed(data, at=tick) queues bytes arriving at a virtual tick; until then
    they are neither counted nor readable.  A read with nothing to deliver
    moves the clock forward by its time-out, as a blocking read would.
    """

    def __init__(self, clock=None, present=True):
        self.clock = clock if clock is not None else VirtualClock()
        self.present = present
        self.unplugged = False
        self.fake_in_queue = None  # overrides the reported count when set
        self.is_open = False
        self.opened_name = None
        self.dcb = None
        self.timeouts = None
        self._pending_errors = 0
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

    def unplug(self):
        """Status queries and reads fail until replug()."""
        self.unplugged = True

    def replug(self):
        self.unplugged = False

    def pending(self):
        """Bytes queued but not yet read, whether arrived or not."""
        return bytes(b for _, _, b in self._arrivals)

    def _arrived(self):
        return bisect.bisect_right(self._arrivals, (self.clock.now, float("inf"), 0))

    # --- SerialBackend ---
    def open(self, name):
        if not self.present or self.is_open:
            return False
        self.is_open = True
        self.opened_name = name
        return True

    def close(self):
        self.is_open = False

    def configure(self, dcb):
        self.dcb = dcb
        return True

    def set_timeouts(self, timeouts):
        self.timeouts = timeouts
        return True

    def status(self):
        if self.unplugged:
            return False, 0, 0
        errors, self._pending_errors = self._pending_errors, 0
        count = self._arrived() if self.fake_in_queue is None else self.fake_in_queue
        return True, errors, count

    def read(self, n, timeout_ms):
        if self.unplugged:
            return None
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


# name -> (argument kinds, method name); kinds drive the call log decoding:
# "str" = LPCSTR, "dcb"/"timeouts" = struct read by the function, else raw.
_API = {}


def _api(*kinds):
    def deco(fn):
        _API[fn.__name__] = kinds
        return fn
    return deco


class Kernel32:
    """The fake kernel32 functions, called with raw 32-bit arguments.

    `mem` must provide read(addr, n) -> bytes and write(addr, data).
    `local_time` is a datetime, or a callable giving one at each call
    (datetime.datetime.now for the real local time).
    """

    HANDLE = 0x00000044

    def __init__(self, backend, mem, clock):
        self.backend = backend
        self.mem = mem
        self.clock = clock
        self.local_time = datetime.datetime(2007, 2, 14, 12, 0, 0)
        self.log = []
        self.last_error = 0
        self.handle = None
        self.dcb = Dcb()  # the port's settings as GetCommState reports them
        self.timeouts = CommTimeouts()
        self.queue_sizes = None

    @staticmethod
    def provides(name):
        return name in _API

    @staticmethod
    def arg_count(name):
        return len(_API[name])

    def dispatch(self, name, args):
        """Run one function, log it and return its EAX."""
        kinds = _API[name]
        logged = tuple(self._decode(kind, a) for kind, a in zip(kinds, args))
        result = getattr(self, name)(*args) & 0xFFFFFFFF
        self.log.append(Call(name, logged, result))
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

    def _valid(self, h):
        if self.handle is not None and h == self.handle:
            return True
        self.last_error = ERROR_INVALID_HANDLE
        return False

    def _fail(self, error):
        self.last_error = error
        return 0

    # --- the API ---
    @_api("str", "raw", "raw", "raw", "raw", "raw", "raw")
    def CreateFileA(self, name, access, share, security, disposition, attributes, template):
        # Communications devices: exclusive, existing, no template.
        if share != 0 or disposition != OPEN_EXISTING or template != 0:
            self.last_error = ERROR_INVALID_PARAMETER
            return INVALID_HANDLE_VALUE
        if self.handle is not None or not self.backend.open(self._cstring(name).decode("latin-1")):
            self.last_error = ERROR_FILE_NOT_FOUND
            return INVALID_HANDLE_VALUE
        self.handle = self.HANDLE
        return self.handle

    @_api("raw")
    def CloseHandle(self, h):
        if not self._valid(h):
            return 0
        self.backend.close()
        self.handle = None
        return 1

    @_api("raw", "raw", "raw")
    def SetupComm(self, h, in_queue, out_queue):
        if not self._valid(h):
            return 0
        self.queue_sizes = (in_queue, out_queue)
        return 1

    @_api("raw", "raw")
    def GetCommState(self, h, p_dcb):
        if not self._valid(h):
            return 0
        self.mem.write(p_dcb, self.dcb.pack())
        return 1

    @_api("str", "raw")
    def BuildCommDCBA(self, p_mode, p_dcb):
        dcb = Dcb.unpack(self.mem.read(p_dcb, Dcb.SIZE))
        if not build_comm_dcb(self._cstring(p_mode).decode("latin-1"), dcb):
            return self._fail(ERROR_INVALID_PARAMETER)
        self.mem.write(p_dcb, dcb.pack())
        return 1

    @_api("raw", "dcb")
    def SetCommState(self, h, p_dcb):
        if not self._valid(h):
            return 0
        dcb = Dcb.unpack(self.mem.read(p_dcb, Dcb.SIZE))
        if not (5 <= dcb.ByteSize <= 8 and dcb.Parity <= SPACEPARITY
                and dcb.StopBits <= TWOSTOPBITS and dcb.BaudRate > 0):
            return self._fail(ERROR_INVALID_PARAMETER)
        if not self.backend.configure(dcb):
            return self._fail(ERROR_GEN_FAILURE)
        self.dcb = dcb
        return 1

    @_api("raw", "timeouts")
    def SetCommTimeouts(self, h, p_timeouts):
        if not self._valid(h):
            return 0
        timeouts = CommTimeouts.unpack(self.mem.read(p_timeouts, CommTimeouts.SIZE))
        if not self.backend.set_timeouts(timeouts):
            return self._fail(ERROR_GEN_FAILURE)
        self.timeouts = timeouts
        return 1

    @_api("raw", "raw", "raw")
    def ClearCommError(self, h, p_errors, p_comstat):
        if not self._valid(h):
            return 0
        ok, errors, in_queue = self.backend.status()
        if not ok:
            return self._fail(ERROR_GEN_FAILURE)
        if p_errors:
            self.mem.write(p_errors, struct.pack("<I", errors))
        if p_comstat:
            self.mem.write(p_comstat, struct.pack(COMSTAT_FORMAT, 0, in_queue & 0xFFFFFFFF, 0))
        return 1

    @_api("raw", "raw", "raw", "raw", "raw")
    def ReadFile(self, h, p_buffer, n, p_read, p_overlapped):
        if p_overlapped:
            raise ApiMisuse("ReadFile: overlapped reads are not emulated")
        if not p_read:
            raise ApiMisuse("ReadFile: lpNumberOfBytesRead is NULL without OVERLAPPED")
        self.mem.write(p_read, struct.pack("<I", 0))
        if not self._valid(h):
            return 0
        data = self.backend.read(n, self._read_timeout(n))
        if data is None:
            return self._fail(ERROR_GEN_FAILURE)
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
    def GetTickCount(self):
        return self.clock.tick_count()

    @_api("raw")
    def GetLocalTime(self, p_systemtime):
        t = self.local_time() if callable(self.local_time) else self.local_time
        self.mem.write(p_systemtime, struct.pack(
            "<8H", t.year, t.month, (t.weekday() + 1) % 7, t.day,
            t.hour, t.minute, t.second, t.microsecond // 1000))
        return 0
