"""Fake kernel32: the Win32 ABI layer over a pluggable serial backend.

The ABI layer (Kernel32) decodes arguments and structs, validates handles,
keeps the last-error code and a call log.  The serial line itself sits behind
SerialBackend so that a real tty can replace ScriptedLine without touching
the ABI code.  Backends fail by raising PortError with a Win32 error code.
"""

import bisect
import datetime
import ntpath
import struct
import time
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
ERROR_INSUFFICIENT_BUFFER = 122
ERROR_MOD_NOT_FOUND = 126
ERROR_MR_MID_NOT_FOUND = 317
ERROR_OPERATION_ABORTED = 995
ERROR_RESOURCE_LANG_NOT_FOUND = 1815

STD_INPUT_HANDLE = -10 & 0xFFFFFFFF
STD_OUTPUT_HANDLE = -11 & 0xFFFFFFFF
STD_ERROR_HANDLE = -12 & 0xFFFFFFFF
# Console handles as Windows before 8 gave them: low bits set, so never a kernel handle.
CONSOLE_INPUT, CONSOLE_OUTPUT, CONSOLE_ERROR = 0x3, 0x7, 0xB

FORMAT_MESSAGE_IGNORE_INSERTS = 0x200
FORMAT_MESSAGE_FROM_SYSTEM = 0x1000

INFINITE = 0xFFFFFFFF

# English system message texts (Windows 10), as FormatMessage gives them.
SYSTEM_MESSAGES = {
    0: "The operation completed successfully.",
    1: "Incorrect function.",
    2: "The system cannot find the file specified.",
    3: "The system cannot find the path specified.",
    5: "Access is denied.",
    6: "The handle is invalid.",
    8: "Not enough memory resources are available to process this command.",
    13: "The data is invalid.",
    21: "The device is not ready.",
    22: "The device does not recognize the command.",
    31: "A device attached to the system is not functioning.",
    32: "The process cannot access the file because it is being used by another process.",
    87: "The parameter is incorrect.",
    121: "The semaphore timeout period has expired.",
    122: "The data area passed to a system call is too small.",
    126: "The specified module could not be found.",
    317: "The system cannot find message text for message number 0x%1 in the message file for %2.",
    995: "The I/O operation has been aborted because of either a thread exit or an application "
         "request.",
    1117: "The request could not be performed because of an I/O device error.",
    1167: "The device is not connected.",
    1460: "This operation returned because the timeout period expired.",
    1815: "The specified resource language ID cannot be found in the image file.",
}
# Neutral, user default, system default and en-US: the languages an English system serves.
ENGLISH_LANGIDS = (0x0000, 0x0400, 0x0800, 0x0409)

ANSI = "cp1252"  # the ANSI code page of a Western European Windows

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
    """A failing call: `code` becomes the caller's last error, `why` says it in words.

    `result`: what the function returns then, when not its usual failure value
    (a truncated GetModuleFileNameA returns the buffer size).
    """

    def __init__(self, code, why=None, result=None):
        super().__init__(why or f"Win32 error {code}")
        self.code = code
        self.why = why
        self.result = result


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

    def sleep(self, ms):
        self.advance(ms)


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


# Blanks the profile functions trim; ^Z ends DOS-era files.
_INI_BLANKS = " \t\r\n\v\f\x1a"


def ini_text(content):
    """An ini file's content as text: str as is, bytes by their BOM or else ANSI."""
    if isinstance(content, str):
        return content
    content = bytes(content)
    for bom, codec in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"),
                       (b"\xfe\xff", "utf-16-be")):
        if content.startswith(bom):
            return content[len(bom):].decode(codec, errors="replace")
    return content.decode(ANSI, errors="replace")


def profile_value(text, section, key):
    """The raw value of `key` in `[section]` of an ini text; None when absent.

    As kernel32 reads a profile: names compared without case and without the
    blanks around the looked-up names; a value loses the blanks around it;
    lines starting with ';' are comments; only the first section of a name
    and the first line of a key count; a key line without '=' has no value.
    """
    section = section.strip(_INI_BLANKS).lower()
    key = key.strip(_INI_BLANKS).lower()
    inside = seen = False
    for line in text.split("\n"):
        line = line.strip(_INI_BLANKS)
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and "]" in line:
            if seen:
                return None
            inside = seen = line[1:line.rindex("]")].lower() == section
            continue
        if not inside:
            continue
        name, eq, value = line.partition("=")
        if name.rstrip(_INI_BLANKS).lower() == key:
            return value.lstrip(_INI_BLANKS) if eq else None
    return None


def unquote(value):
    """A value in matching single or double quotes loses them."""
    if len(value) >= 2 and value[0] in "'\"" and value[-1] == value[0]:
        return value[1:-1]
    return value


# name -> argument kinds; kinds drive the call log decoding:
# "str" = LPCSTR, "dcb"/"timeouts" = struct read by the function,
# "buf" = bytes read by the function, as many as the next argument says; else raw.
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

    `mem` must provide read(addr, n) -> bytes and write(addr, data), and
    write_cstring(data) -> addr for GetCommandLineA.
    `local_time` is a datetime, or a callable giving one at each call
    (datetime.datetime.now for the real local time).

    The process around the code:
    - `modules`: HMODULE -> Windows path (GetModuleFileNameA); the loader
      fills it; `process_module` is the EXE's HMODULE, None for a DLL loaded
      alone, whose process is the host at `host_path`.
    - `command_line`: what GetCommandLineA gives (default: the process's
      path in quotes).
    - `files`: Windows path -> content (str, or bytes in ANSI or with a BOM)
      that GetPrivateProfileStringA reads; paths compared without case, a
      bare file name is looked up in `windows_directory`, another relative
      one in `current_directory`.
    - `stdout`, `stderr`: bytes written to the console handles, shown in
      `console_codepage`; `exit_code`: set by ExitProcess.
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
        self.modules = {}
        self.process_module = None
        self.host_path = r"C:\pondix\host.exe"
        self._command_line = None
        self._command_line_at = None
        self.files = {}
        self.windows_directory = r"C:\Windows"
        self.current_directory = r"C:\pondix"
        self.stdout = bytearray()
        self.stderr = bytearray()
        self.console_codepage = "cp850"  # the OEM code page of a Western European console
        self.exit_code = None

    @property
    def process_path(self):
        """The EXE's Windows path: what GetModuleFileNameA(NULL) gives."""
        if self.process_module is not None:
            return self.modules[self.process_module]
        return self.host_path

    @property
    def command_line(self):
        if self._command_line is None:
            return f'"{self.process_path}"'
        return self._command_line

    @command_line.setter
    def command_line(self, text):
        self._command_line = text
        self._command_line_at = None

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
        logged = tuple(self._decode(kind, a, args[i + 1] if kind == "buf" else None)
                       for i, (kind, a) in enumerate(zip(kinds, args)))
        now = getattr(self.clock, "now", None)
        error = 0
        try:
            injected = self._injected.get(name)
            if injected:
                if name in ("ReadFile", "WriteFile") and args[3]:
                    self.mem.write(args[3], bytes(4))  # documented: zeroed before any check
                raise PortError(injected.pop(0), "injected failure")
            result = getattr(self, name)(*args)
        except PortError as e:
            error = self.last_error = e.code
            result = e.result if e.result is not None else _FAILS[name]
        result &= 0xFFFFFFFF
        self.log.append(Call(name, logged, result, error, now))
        return result

    def calls(self, name=None):
        """The log, or only the calls of one function."""
        return [c for c in self.log if name is None or c.name == name]

    def _decode(self, kind, value, size=None):
        if kind == "buf":
            return self.mem.read(value, size) if value and size else b""
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

    def _synchronous(self, name, p_count, p_overlapped):
        """ReadFile and WriteFile without OVERLAPPED: the count is zeroed
        before anything else is checked, as Windows does."""
        if p_overlapped:
            raise ApiMisuse(f"{name}: overlapped calls are not emulated")
        if not p_count:
            raise ApiMisuse(f"{name}: the byte count pointer is NULL without OVERLAPPED")
        self.mem.write(p_count, struct.pack("<I", 0))

    @_api("raw", "raw", "raw", "raw", "raw", fails=0)
    def ReadFile(self, h, p_buffer, n, p_read, p_overlapped):
        self._synchronous("ReadFile", p_read, p_overlapped)
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

    # --- the process: console, command line, module paths, profiles, messages ---
    @_api("raw", fails=INVALID_HANDLE_VALUE)
    def GetStdHandle(self, which):
        handles = {STD_INPUT_HANDLE: CONSOLE_INPUT, STD_OUTPUT_HANDLE: CONSOLE_OUTPUT,
                   STD_ERROR_HANDLE: CONSOLE_ERROR}
        if which not in handles:
            raise PortError(ERROR_INVALID_HANDLE, f"no standard handle {which:#x}")
        return handles[which]

    @_api("raw", "buf", "raw", "raw", "raw", fails=0)
    def WriteFile(self, h, p_buffer, n, p_written, p_overlapped):
        self._synchronous("WriteFile", p_written, p_overlapped)
        sinks = {CONSOLE_OUTPUT: self.stdout, CONSOLE_ERROR: self.stderr}
        if h in sinks:
            sinks[h] += self.mem.read(p_buffer, n) if n else b""
            self.mem.write(p_written, struct.pack("<I", n))
            return 1
        if h == CONSOLE_INPUT or (self.handle is not None and h == self.handle):
            # The DLL never writes to the port; the console input takes no writes.
            raise PortError(ERROR_ACCESS_DENIED, f"writes to handle {h:#x} are not emulated")
        raise PortError(ERROR_INVALID_HANDLE, f"handle {h:#x} is not open")

    @_api()
    def GetCommandLineA(self):
        # One buffer for the life of the process: the program may keep or edit it.
        if self._command_line_at is None:
            self._command_line_at = self.mem.write_cstring(
                self.command_line.encode(ANSI, errors="replace"))
        return self._command_line_at

    @_api("raw")
    def ExitProcess(self, code):
        self.exit_code = code  # the loader ends the emulation after the log entry
        return 0

    @_api("raw")
    def Sleep(self, ms):
        if ms == INFINITE:
            raise ApiMisuse("Sleep(INFINITE) never returns")
        sleep = getattr(self.clock, "sleep", None)
        if sleep is not None:
            sleep(ms)
        elif hasattr(self.clock, "advance"):
            self.clock.advance(ms)
        else:
            time.sleep(ms / 1000)
        return 0

    @_api("raw", "raw", "raw", fails=0)
    def GetModuleFileNameA(self, module, p_buffer, size):
        if module == 0:
            path = self.process_path
        elif module in self.modules:
            path = self.modules[module]
        else:
            raise PortError(ERROR_MOD_NOT_FOUND, f"no module at {module:#x}")
        data = path.encode(ANSI, errors="replace")
        if len(data) < size:
            self.mem.write(p_buffer, data + b"\0")
            return len(data)
        # Documented since Vista: truncated to size characters with the terminator.
        if size:
            self.mem.write(p_buffer, data[:size - 1] + b"\0")
        raise PortError(ERROR_INSUFFICIENT_BUFFER, "buffer too small", result=size)

    def full_path(self, name):
        """A file name as Windows resolves it, in the form `files` keys are compared in."""
        if "\\" not in name and "/" not in name and ":" not in name:
            full = ntpath.join(self.windows_directory, name)
        else:
            full = ntpath.join(self.current_directory, name)
        return ntpath.normcase(ntpath.normpath(full))

    def _file(self, name):
        """The content of a virtual file, None if there is none."""
        wanted = self.full_path(name)
        for path, content in self.files.items():
            if self.full_path(path) == wanted:
                return ini_text(content)
        return None

    @_api("str", "str", "str", "raw", "raw", "str")
    def GetPrivateProfileStringA(self, p_section, p_key, p_default, p_buffer, size, p_file):
        if not p_section or not p_key:
            raise ApiMisuse("GetPrivateProfileStringA: listing sections or keys (a NULL "
                            "section or key) is not emulated")
        if not p_buffer and size:
            raise ApiMisuse("GetPrivateProfileStringA: lpReturnedString is NULL")
        decode = lambda p: self._cstring(p).decode(ANSI, errors="replace")  # noqa: E731
        name = decode(p_file) if p_file else "win.ini"
        text = self._file(name)
        value = None
        if text is not None:
            value = profile_value(text, decode(p_section), decode(p_key))
        if value is None:
            # Documented: trailing blanks of the default are dropped.
            value = decode(p_default).rstrip(" ") if p_default else ""
        data = unquote(value).encode(ANSI, errors="replace")
        n = 0
        if size:
            n = min(len(data), size - 1)
            self.mem.write(p_buffer, data[:n] + b"\0")
        if text is None:
            raise PortError(ERROR_FILE_NOT_FOUND, f"{name}: no such file", result=n)
        return n

    @_api("raw", "raw", "raw", "raw", "raw", "raw", "raw", fails=0)
    def FormatMessageA(self, flags, p_source, message, language, p_buffer, size, p_arguments):
        wanted = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
        if flags != wanted:
            raise ApiMisuse(f"FormatMessageA: flags {flags:#x} are not emulated, only "
                            f"FROM_SYSTEM | IGNORE_INSERTS ({wanted:#x})")
        if language not in ENGLISH_LANGIDS:
            raise PortError(ERROR_RESOURCE_LANG_NOT_FOUND, f"no messages in language {language:#x}")
        if message not in SYSTEM_MESSAGES:
            raise PortError(ERROR_MR_MID_NOT_FOUND, f"no system message {message}")
        data = (SYSTEM_MESSAGES[message] + "\r\n").encode(ANSI)
        if len(data) >= size:
            raise PortError(ERROR_INSUFFICIENT_BUFFER, "buffer too small")
        self.mem.write(p_buffer, data + b"\0")
        return len(data)
