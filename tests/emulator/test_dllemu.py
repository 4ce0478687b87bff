"""Tests of the emulator harness, against a small DLL compiled on the fly."""

import math
import struct
import subprocess
from datetime import datetime
from fractions import Fraction

import pytest

from dllemu import (CE_FRAME, CE_OVERRUN, CE_RXPARITY, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                    ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE, ERROR_INSUFFICIENT_BUFFER,
                    ERROR_INVALID_HANDLE, ERROR_MOD_NOT_FOUND, ERROR_MR_MID_NOT_FOUND,
                    ERROR_OPERATION_ABORTED, ERROR_RESOURCE_LANG_NOT_FOUND, INVALID_HANDLE_VALUE,
                    ApiMisuse, BadImage, BudgetExceeded, CommTimeouts, CpuFault, Dcb, Emulator,
                    EmulatorError, FpuFault, ProcessExited, ScriptedLine, UnsupportedImport,
                    VirtualClock)
from dllemu import ttyline
from dllemu.kernel32 import build_comm_dcb
from dllemu.loader import TRAP

SOURCE = r"""
#include <windows.h>

#define EXPORT __declspec(dllexport)
#define REG __attribute__((regparm(3)))

extern IMAGE_DOS_HEADER __ImageBase;
static volatile DWORD entry_seen;

/* Refuses a wrong HINSTANCE, so a bad attach shows up as LoadFailed. */
BOOL WINAPI Entry(HINSTANCE h, DWORD reason, LPVOID reserved)
{
    entry_seen = reason * 16 + (reserved != NULL);
    return h == (HINSTANCE)&__ImageBase;
}
EXPORT DWORD WINAPI seen_entry(void) { return entry_seen; }

EXPORT int REG reg3(int a, int b, int c) { return a * 1000000 + b * 1000 + c; }
EXPORT double REG WINAPI regdbl(int ch, double v) { return v * 2 + ch; }
/* Parameters after the registers mirrored: how a left-to-right pusher lays them out. */
EXPORT double REG WINAPI regdbl2(int ch, double y, double x) { return x * 10 + y + ch * 100; }
EXPORT double WINAPI stdmix(int a, double b, float c, int d) { return a * 1000 + b * 100 + c * 10 + d; }
EXPORT double WINAPI pasmix(int d, float c, double b, int a) { return a * 1000 + b * 100 + c * 10 + d; }

EXPORT long double WINAPI third(void)
{
    volatile long double one = 1, three = 3;
    return one / three;
}

/* Exactly three instructions, one of them breaking the ABI. */
EXPORT __attribute__((naked)) int WINAPI clobber(void)
{
    __asm__("movl $0x12345678, %ebx\n\txorl %eax, %eax\n\tret");
}

EXPORT unsigned WINAPI ticks(void)
{
    unsigned first = GetTickCount();
    return GetTickCount() - first;
}

EXPORT int REG loop(int n)
{
    volatile int s = 0;
    for (int i = 0; i < n; i++) s += i;
    return s;
}

EXPORT void WINAPI spin(void) { for (;;) __asm__ volatile(""); }

EXPORT double WINAPI divide(double a, double b) { return a / b; }
EXPORT double WINAPI divide_wait(double a, double b)
{
    double r = a / b;
    __asm__ volatile("fwait" : "+t"(r));
    return r;
}

static const char *const names[] = { "first", "second" };
EXPORT const char *REG name(int i) { return names[i]; }
EXPORT void WINAPI poke(char *p) { *p = 1; }
EXPORT int REG intdiv(int a, int b) { return a / b; }

/* Each call runs with a sentinel last error, so a success that touched it shows. */
#define UNTOUCHED 0x5EA1EDu
#define STEP(i, call) (SetLastError(UNTOUCHED), steps[2 * (i)] = (DWORD)(call), \
                       steps[2 * (i) + 1] = GetLastError())

/* The open sequence; steps[] gets each call's result and last error. */
EXPORT HANDLE WINAPI port_open(const char *path, const char *mode, DWORD timeout, DWORD *steps)
{
    HANDLE h;
    DCB dcb;
    COMMTIMEOUTS t = { 0, 0, timeout, 0, timeout };
    __builtin_memset(&dcb, 0xEE, sizeof dcb);  /* what GetCommState leaves if it writes nothing */
    STEP(0, h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL));
    STEP(1, SetupComm(h, 256, 256));
    STEP(2, GetCommState(h, &dcb));
    STEP(3, BuildCommDCBA(mode, &dcb));
    STEP(4, SetCommState(h, &dcb));
    STEP(5, SetCommTimeouts(h, &t));
    return h;
}
EXPORT int WINAPI port_queued(HANDLE h, DWORD *errors, DWORD *last)
{
    COMSTAT st;
    BOOL ok;
    SetLastError(UNTOUCHED);
    ok = ClearCommError(h, errors, &st);
    *last = GetLastError();
    return ok ? (int)st.cbInQue : -1;
}
EXPORT int WINAPI port_read(HANDLE h, DWORD *last)
{
    unsigned char b;
    DWORD n;
    BOOL ok;
    SetLastError(UNTOUCHED);
    ok = ReadFile(h, &b, 1, &n, NULL);
    *last = GetLastError();
    if (!ok) return -2;
    return n ? b : -1;
}
EXPORT BOOL WINAPI port_close(HANDLE h, DWORD *last)
{
    BOOL ok;
    SetLastError(UNTOUCHED);
    ok = CloseHandle(h);
    *last = GetLastError();
    return ok;
}
EXPORT void WINAPI local_time(SYSTEMTIME *t) { GetLocalTime(t); }

/* The process around the DLL. */
EXPORT HMODULE WINAPI own_module(void) { return (HMODULE)&__ImageBase; }
EXPORT DWORD WINAPI module_name(HMODULE h, char *buf, DWORD size, DWORD *last)
{
    DWORD n;
    SetLastError(UNTOUCHED);
    n = GetModuleFileNameA(h, buf, size);
    *last = GetLastError();
    return n;
}
EXPORT DWORD WINAPI profile(const char *section, const char *key, const char *def, char *buf,
                            DWORD size, const char *file, DWORD *last)
{
    DWORD n;
    SetLastError(UNTOUCHED);
    n = GetPrivateProfileStringA(section, key, def, buf, size, file);
    *last = GetLastError();
    return n;
}
EXPORT DWORD WINAPI message(DWORD flags, DWORD code, DWORD lang, char *buf, DWORD size,
                            DWORD *last)
{
    DWORD n;
    SetLastError(UNTOUCHED);
    n = FormatMessageA(flags, NULL, code, lang, buf, size, NULL);
    *last = GetLastError();
    return n;
}
EXPORT HANDLE WINAPI std_handle(DWORD which, DWORD *last)
{
    HANDLE h;
    SetLastError(UNTOUCHED);
    h = GetStdHandle(which);
    *last = GetLastError();
    return h;
}
EXPORT BOOL WINAPI write_to(HANDLE h, const void *p, DWORD n, DWORD *written, DWORD *last)
{
    BOOL ok;
    SetLastError(UNTOUCHED);
    ok = WriteFile(h, p, n, written, NULL);
    *last = GetLastError();
    return ok;
}
EXPORT const char *WINAPI command_line(void) { return GetCommandLineA(); }
EXPORT void WINAPI nap(DWORD ms) { Sleep(ms); }
EXPORT void WINAPI quit(UINT code) { ExitProcess(code); }
"""

FORBIDDEN_IMPORTS = r"""
#include <windows.h>
BOOL WINAPI Entry(HINSTANCE h, DWORD r, LPVOID p) { return TRUE; }
__declspec(dllexport) void WINAPI noisy(void) { Beep(440, 10); MessageBeep(0); }
"""


def compile_dll(directory, source, name, *libs):
    c = directory / f"{name}.c"
    c.write_text(source)
    dll = directory / f"{name}.dll"
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-nostdlib", "-shared", "-Wl,-e,_Entry@12",
                    "-Wl,--kill-at", "-o", str(dll), str(c), "-lkernel32", *libs, "-lgcc"],
                   check=True)
    return dll


@pytest.fixture(scope="session")
def testdll(tmp_path_factory):
    return compile_dll(tmp_path_factory.mktemp("dll"), SOURCE, "harness")


@pytest.fixture
def emu(testdll):
    emu = Emulator.load(testdll)
    emu.attach()
    return emu


def test_register_convention_uses_eax_edx_ecx_and_callee_pops_the_double(emu):
    r = emu.call_register("reg3", 1, 2, 3)
    assert (r.eax, r.stack_popped, r.fpu_depth) == (1002003, 0, 0)
    assert emu.call_register(emu.exports["reg3"].ordinal, -4, 0, 0).eax_signed == -4000000
    r = emu.call_register("regdbl", 7, 2.5, returns="double")
    assert (r.st0_float, r.stack_popped, r.fpu_depth) == (12.0, 8, 1)
    r = emu.call_register("regdbl2", 3, 1.0, 2.0, returns="double")
    assert (r.st0_float, r.stack_popped) == (312.0, 16)


@pytest.mark.parametrize("call, export", [(Emulator.call_stdcall, "stdmix"),
                                          (Emulator.call_pascal, "pasmix")])
def test_stack_conventions_push_order_and_callee_pop(emu, call, export):
    r = call(emu, export, 3, 4.0, ("float", 0.5), 9, returns="double")
    assert r.st0_float == 3000 + 400 + 5 + 9
    assert r.stack_popped == 4 + 8 + 4 + 4


def round_to_bits(x, bits, mode):
    """Round x > 0 to `bits` significant bits."""
    e = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** e > x:
        e -= 1
    scaled = x * Fraction(2) ** (bits - 1 - e)
    low = math.floor(scaled)
    if mode == "up":
        m = math.ceil(scaled)
    elif mode == "nearest":
        rest = scaled - low
        m = low + (rest > Fraction(1, 2) or (rest == Fraction(1, 2) and low % 2))
    else:
        m = low
    return m * Fraction(2) ** (e + 1 - bits)


@pytest.mark.parametrize("cw, bits, mode", [
    (0x037F, 64, "nearest"), (0x027F, 53, "nearest"), (0x007F, 24, "nearest"),
    (0x0A7F, 53, "up"), (0x067F, 53, "down"), (0x0F7F, 64, "chop"), (0x0B7F, 64, "up"),
])
def test_st0_is_read_exactly_under_the_callers_control_word(emu, cw, bits, mode):
    r = emu.call_stdcall("third", returns="double", fpu_cw=cw)
    assert r.st0_fraction == round_to_bits(Fraction(1, 3), bits, mode)
    assert (r.fpu_cw, r.fpu_depth) == (cw, 1)
    if bits == 64:
        with pytest.raises(ValueError):
            r.st0_float


def test_st0_parts_of_an_extended_third(emu):
    r = emu.call_stdcall("third", returns="double", fpu_cw=0x037F)
    assert r.st0_parts == (0, 16383 - 2, 0xAAAAAAAAAAAAAAAB)


@pytest.mark.parametrize("export, args, broken", [("clobber", (), {"ebx"}), ("reg3", (1, 2, 3), set())])
def test_callee_saved_registers_are_checked(emu, export, args, broken):
    r = emu.call_register(export, *args)
    assert {reg for reg, kept in r.preserved.items() if not kept} == broken
    assert r.callee_saved_ok == (not broken)


def test_instruction_count_and_budget(emu):
    assert emu.call_stdcall("clobber").instructions == 3
    counts = [emu.call_register("loop", n).instructions for n in (10, 20, 30)]
    assert counts[2] - counts[1] == counts[1] - counts[0] > 0
    with pytest.raises(BudgetExceeded):
        emu.call_stdcall("spin", budget=100_000)


@pytest.mark.parametrize("export, traps_inside", [("divide", False), ("divide_wait", True)])
def test_unmasked_zero_divide_surfaces_as_fpu_fault(emu, export, traps_inside):
    assert emu.call_stdcall(export, 1.0, 0.0, returns="double").st0_float == math.inf
    with pytest.raises(FpuFault) as caught:
        emu.call_stdcall(export, 1.0, 0.0, fpu_cw=0x027B)
    assert caught.value.status_word & 0x04  # ZE
    inside = emu.base <= caught.value.eip < emu.base + emu.size
    assert (inside, caught.value.eip == TRAP) == (traps_inside, not traps_inside)


@pytest.mark.parametrize("fault", ["write to read-only data", "integer divide by zero",
                                   "read of unmapped memory"])
def test_cpu_faults_become_exceptions(emu, fault):
    with pytest.raises(CpuFault):
        if fault == "write to read-only data":
            emu.call_stdcall("poke", emu.call_register("name", 0).eax)
        elif fault == "integer divide by zero":
            emu.call_register("intdiv", 1, 0)
        else:
            emu.call_register("name", 0x10000000)


def test_image_is_relocated_and_entry_gets_its_arguments(testdll):
    emu = Emulator.load(testdll)
    assert emu.base != emu.image_base
    emu.attach()
    assert emu.call_stdcall("seen_entry").eax == 0x10
    texts = [emu.call_register("name", i, returns="str").text for i in (0, 1)]
    assert texts == [b"first", b"second"]
    for reserved, seen in [(0, 0x00), (1, 0x01)]:
        assert emu.detach(reserved).eax == 1
        assert emu.call_stdcall("seen_entry").eax == seen


@pytest.mark.parametrize("damage", ["not a PE", "x86-64 machine", "not a DLL"])
def test_bad_images_are_rejected(testdll, tmp_path, damage):
    data = bytearray(testdll.read_bytes())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if damage == "not a PE":
        data[pe:pe + 4] = b"XX\0\0"
    elif damage == "x86-64 machine":
        struct.pack_into("<H", data, pe + 4, 0x8664)
    else:
        flags = struct.unpack_from("<H", data, pe + 22)[0]
        struct.pack_into("<H", data, pe + 22, flags & ~0x2000)
    path = tmp_path / "damaged.dll"
    path.write_bytes(data)
    with pytest.raises(BadImage):
        Emulator.load(path)


def test_imports_without_a_fake_are_refused_by_name(tmp_path):
    dll = compile_dll(tmp_path, FORBIDDEN_IMPORTS, "forbidden", "-luser32")
    with pytest.raises(UnsupportedImport) as caught:
        Emulator.load(dll)
    assert "Beep" in str(caught.value) and "MessageBeep" in str(caught.value)


# --- the fake kernel32 and the scripted line ---

UNTOUCHED = 0x5EA1ED  # the harness's sentinel last error
OPEN_STEPS = ("CreateFileA", "SetupComm", "GetCommState", "BuildCommDCBA", "SetCommState",
              "SetCommTimeouts")
MODE = "baud=9600 parity=n data=8 stop=1"


def last(code):
    """A last error as seen from C: None when the call left it alone."""
    return None if code == UNTOUCHED else code


def open_steps(emu, timeout=1000, path="COM7:"):
    """{step: (result, last error)} of the harness's open sequence."""
    steps = emu.alloc(4 * 2 * len(OPEN_STEPS))
    emu.call_stdcall("port_open", emu.write_cstring(path), emu.write_cstring(MODE), timeout, steps)
    values = struct.unpack(f"<{2 * len(OPEN_STEPS)}I", emu.read(steps, 8 * len(OPEN_STEPS)))
    return {name: (values[2 * i], last(values[2 * i + 1])) for i, name in enumerate(OPEN_STEPS)}


def open_port(emu, timeout=1000, path="COM7:"):
    return open_steps(emu, timeout, path)["CreateFileA"][0]


def queued(emu, h):
    """(count or -1, error flags, last error)."""
    errors, error = emu.alloc(4), emu.alloc(4)
    emu.write(errors, b"\xff" * 4)
    count = emu.call_stdcall("port_queued", h, errors, error).eax_signed
    return count, emu.read_u32(errors), last(emu.read_u32(error))


def read(emu, h):
    """(byte, -1 for none or -2 for failure; last error)."""
    error = emu.alloc(4)
    return emu.call_stdcall("port_read", h, error).eax_signed, last(emu.read_u32(error))


def close(emu, h):
    """(result, last error)."""
    error = emu.alloc(4)
    return emu.call_stdcall("port_close", h, error).eax, last(emu.read_u32(error))


def reopen(emu, h):
    assert close(emu, h) == (1, None)
    return open_port(emu)


def test_open_sequence_is_logged_and_applied(emu):
    steps = open_steps(emu)
    h = steps["CreateFileA"][0]
    assert [error for _, error in steps.values()] == [None] * len(OPEN_STEPS)
    log = [c for c in emu.kernel32.log if c.name not in ("SetLastError", "GetLastError")]
    assert [c.error for c in log] == [0] * len(OPEN_STEPS)
    log = [(c.name, c.args) for c in log]
    assert log[0] == ("CreateFileA", ("COM7:", 0xC0000000, 0, 0, 3, 0x80, 0))
    assert log[1] == ("SetupComm", (h, 256, 256))
    assert [n for n, _ in log[2:]] == list(OPEN_STEPS[2:])
    dcb = log[4][1][1]
    assert (dcb.BaudRate, dcb.Parity, dcb.ByteSize, dcb.StopBits) == (9600, 0, 8, 0)
    assert emu.backend.dcb == dcb and emu.backend.opened_name == "COM7:"
    assert log[5][1][1] == emu.backend.timeouts == CommTimeouts(0, 0, 1000, 0, 1000)


@pytest.mark.parametrize("mode, fields", [
    ("baud=9600 parity=n data=8 stop=1", (9600, 0, 8, 0)),
    ("BAUD=110 PARITY=O DATA=5 STOP=2", (110, 1, 5, 2)),
    ("parity=m stop=1.5", (1200, 3, 7, 1)),
    ("baud=9600 parity=q", None),
    ("9600", None),
])
def test_mode_string_parser(mode, fields):
    dcb = Dcb()
    ok = build_comm_dcb(mode, dcb)
    assert ok == (fields is not None)
    assert (dcb.BaudRate, dcb.Parity, dcb.ByteSize, dcb.StopBits) == (fields or (1200, 2, 7, 0))


@pytest.mark.parametrize("situation, error", [
    ("absent", ERROR_FILE_NOT_FOUND),
    ("unplugged", ERROR_FILE_NOT_FOUND),
    ("held by another program", ERROR_ACCESS_DENIED),
    ("already open here", ERROR_ACCESS_DENIED),
])
def test_a_refused_open_says_why_and_works_once_the_reason_is_gone(testdll, situation, error):
    line = ScriptedLine(present=situation != "absent")
    emu = Emulator.load(testdll, backend=line)
    emu.attach()
    held = open_port(emu) if situation == "already open here" else None
    if situation == "unplugged":
        line.unplug()
    line.busy = situation == "held by another program"
    steps = open_steps(emu)
    assert steps["CreateFileA"] == (INVALID_HANDLE_VALUE, error)
    # On the invalid handle every step fails but BuildCommDCBA, which needs none.
    assert [steps[s] for s in OPEN_STEPS[1:]] == [
        (0, ERROR_INVALID_HANDLE), (0, ERROR_INVALID_HANDLE), (1, None),
        (0, ERROR_INVALID_HANDLE), (0, ERROR_INVALID_HANDLE)]
    assert queued(emu, INVALID_HANDLE_VALUE)[::2] == (-1, ERROR_INVALID_HANDLE)
    if situation == "already open here":
        assert queued(emu, held) == (0, 0, None)  # the refusal did not disturb it
        close(emu, held)
    line.present, line.busy = True, False
    steps = open_steps(emu)
    h = steps["CreateFileA"][0]
    assert h not in (INVALID_HANDLE_VALUE, held)
    assert all(result and error is None for result, error in steps.values())
    assert queued(emu, h) == (0, 0, None)


@pytest.mark.parametrize("error", [ERROR_OPERATION_ABORTED, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED])
def test_an_unplugged_handle_dies_for_good_and_only_a_new_open_helps(emu, error):
    line = emu.backend
    h = open_port(emu)
    line.feed(b"ab")
    line.unplug(error)
    assert [queued(emu, h), read(emu, h)] == [(-1, 0xFFFFFFFF, error), (-2, error)]
    assert open_steps(emu)["CreateFileA"] == (INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND)
    line.feed(b"cd")
    line.replug()
    line.feed(b"ef")
    assert [queued(emu, h)[::2], read(emu, h)] == [(-1, error), (-2, error)]
    assert line.pending() == b""  # a dead handle receives nothing either
    # The dead handle still holds the port.
    assert open_steps(emu)["CreateFileA"] == (INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED)
    assert [close(emu, h), close(emu, h)] == [(1, None), (0, ERROR_INVALID_HANDLE)]
    fresh = open_port(emu)
    assert fresh not in (h, INVALID_HANDLE_VALUE)
    assert queued(emu, fresh) == (0, 0, None)  # nothing from before, around or during the outage
    line.feed(b"g")
    assert [queued(emu, fresh), read(emu, fresh)] == [(1, 0, None), (ord("g"), None)]
    assert queued(emu, h)[::2] == (-1, ERROR_INVALID_HANDLE)
    assert line.pending() == b""


def test_handles_are_never_reused_and_live_from_open_to_close(emu):
    handles = []
    for _ in range(3):
        h = open_port(emu)
        assert queued(emu, h) == (0, 0, None)
        assert close(emu, h) == (1, None)
        handles.append(h)
    assert len(set(handles)) == 3
    for h in handles + [max(handles) + 4, 0]:
        assert [queued(emu, h)[::2], read(emu, h), close(emu, h)] == [
            (-1, ERROR_INVALID_HANDLE), (-2, ERROR_INVALID_HANDLE), (0, ERROR_INVALID_HANDLE)]
    h = open_port(emu)
    assert h not in handles
    assert queued(emu, handles[-1])[::2] == (-1, ERROR_INVALID_HANDLE)
    assert queued(emu, h) == (0, 0, None)


def play(emu, story):
    """Feeds b"Z" around opens, closes and outages; returns the handle open at the end."""
    line, clock = emu.backend, emu.backend.clock
    later = clock.now + 500
    if story == "fed before the open":
        line.feed(b"Z")
        line.inject_errors(CE_FRAME)
        return open_port(emu)
    h = open_port(emu)
    line.inject_errors(CE_FRAME)
    if story == "fed for a later tick":
        line.feed(b"Z", at=later)
    elif story == "arrived, unread at the close":
        line.feed(b"Z")
        h = reopen(emu, h)
    elif story == "fed for a tick the port is closed at":
        line.feed(b"Z", at=later)
        close(emu, h)
        clock.advance(600)
        h = open_port(emu)
    elif story == "fed for a tick after a reopen":
        line.feed(b"Z", at=later)
        h = reopen(emu, h)
    elif story == "arrived before an unplug":
        line.feed(b"Z")
        line.unplug()
        line.replug()
        h = reopen(emu, h)
    elif story == "fed while unplugged":
        line.unplug()
        line.feed(b"Z")
        line.replug()
        h = reopen(emu, h)
    elif story == "fed for a tick after the replug":
        line.unplug()
        line.feed(b"Z", at=later)
        line.replug()
        h = reopen(emu, h)
    clock.now = max(clock.now, later + 100)
    return h


@pytest.mark.parametrize("story, arrives, flags", [
    ("fed before the open", False, 0),
    ("fed for a later tick", True, CE_FRAME),
    ("arrived, unread at the close", False, 0),
    ("fed for a tick the port is closed at", False, 0),
    ("fed for a tick after a reopen", True, 0),
    ("arrived before an unplug", False, 0),
    ("fed while unplugged", False, 0),
    ("fed for a tick after the replug", True, 0),
])
def test_bytes_reach_only_a_live_open_handle_and_a_new_open_starts_clean(emu, story, arrives,
                                                                        flags):
    h = play(emu, story)
    assert queued(emu, h) == (int(arrives), flags, None)
    assert read(emu, h) == ((ord("Z") if arrives else -1), None)
    assert emu.backend.pending() == b""


@pytest.mark.parametrize("error, times", [(ERROR_GEN_FAILURE, 1), (ERROR_OPERATION_ABORTED, 3)])
def test_a_glitch_fails_status_queries_but_keeps_the_handle_and_its_bytes(emu, error, times):
    line = emu.backend
    h = open_port(emu)
    line.feed(b"ab")
    line.inject_errors(CE_OVERRUN)
    line.glitch(error, times)
    assert [queued(emu, h) for _ in range(times + 1)] == \
        [(-1, 0xFFFFFFFF, error)] * times + [(2, CE_OVERRUN, None)]
    assert read(emu, h) == (ord("a"), None)


@pytest.mark.parametrize("name, effect, untouched", [
    ("CreateFileA", lambda emu: emu.backend.is_open, False),
    ("SetupComm", lambda emu: emu.kernel32.queue_sizes, None),
    ("GetCommState", lambda emu: emu.backend.dcb.XonLim, 0xEEEE),   # the C side's filling
    ("BuildCommDCBA", lambda emu: emu.backend.dcb.BaudRate, Dcb().BaudRate),
    ("SetCommState", lambda emu: (emu.backend.dcb, emu.kernel32.dcb), (None, Dcb())),
    ("SetCommTimeouts", lambda emu: emu.backend.timeouts, None),
])
def test_an_injected_failure_in_the_open_sequence_fails_that_step_alone(emu, name, effect,
                                                                         untouched):
    emu.kernel32.inject_failure(name, ERROR_GEN_FAILURE)
    steps = open_steps(emu)
    failed = INVALID_HANDLE_VALUE if name == "CreateFileA" else 0
    assert steps[name] == (failed, ERROR_GEN_FAILURE)
    assert [c.error for c in emu.kernel32.calls(name)] == [ERROR_GEN_FAILURE]
    assert effect(emu) == untouched
    if name == "CreateFileA":
        assert open_port(emu) != INVALID_HANDLE_VALUE  # injected for one call only
    else:
        assert all(result and error is None
                   for step, (result, error) in steps.items() if step != name)


@pytest.mark.parametrize("name, call, failed", [
    ("ClearCommError", lambda emu, h: queued(emu, h)[::2], -1),
    ("ReadFile", read, -2),
    ("CloseHandle", close, 0),
])
def test_injected_failures_of_a_working_handle_change_nothing(emu, name, call, failed):
    line = emu.backend
    h = open_port(emu)
    line.feed(b"ab")
    line.inject_errors(CE_RXPARITY)
    emu.kernel32.inject_failure(name, ERROR_OPERATION_ABORTED, times=2)
    assert [call(emu, h), call(emu, h)] == [(failed, ERROR_OPERATION_ABORTED)] * 2
    assert queued(emu, h) == (2, CE_RXPARITY, None)
    assert [read(emu, h), close(emu, h)] == [(ord("a"), None), (1, None)]
    with pytest.raises(ValueError):
        emu.kernel32.inject_failure("GetTickCount", ERROR_GEN_FAILURE)


@pytest.mark.parametrize("arrival, result, elapsed", [
    (None, -1, 1000),   # idle line: the whole read time-out passes
    (0, 0x41, 0),       # already there
    (300, 0x41, 300),   # arrives during the wait: the read ends then
    (1000, 0x41, 1000),
    (1001, -1, 1000),   # too late for this read
])
def test_read_waits_on_the_virtual_clock(emu, arrival, result, elapsed):
    h = open_port(emu)
    clock = emu.backend.clock
    start = clock.now
    if arrival is not None:
        emu.backend.feed(b"A", at=start + arrival)
    assert read(emu, h) == (result, None)
    assert clock.now - start == elapsed
    assert [c.now for c in emu.kernel32.calls("ReadFile")] == [start]


def test_receive_errors_and_phantom_counts(emu):
    line = emu.backend
    h = open_port(emu)
    line.inject_errors(CE_OVERRUN | CE_FRAME)
    assert [queued(emu, h), queued(emu, h)] == [(0, CE_OVERRUN | CE_FRAME, None), (0, 0, None)]
    line.feed(b"xy")
    line.fake_in_queue = 70000
    reads = [read(emu, h)[0] for _ in range(3)]
    assert (queued(emu, h)[0], reads) == (70000, [ord("x"), ord("y"), -1])


def test_tick_count_steps_and_wraps(testdll):
    emu = Emulator.load(testdll, backend=ScriptedLine(VirtualClock(start=2**32 - 2, step=5)))
    emu.attach()
    r = emu.call_stdcall("ticks")
    assert r.eax == 5
    # `now` is the clock unwrapped, as it was when each call was made.
    assert [(c.name, c.result, c.now) for c in r.kernel32_calls] == [
        ("GetTickCount", 2**32 - 2, 2**32 - 2), ("GetTickCount", 3, 2**32 + 3)]


def test_local_time_fills_systemtime(emu):
    emu.kernel32.local_time = datetime(2000, 2, 29, 23, 59, 58, 999000)
    buf = emu.alloc(16)
    emu.call_stdcall("local_time", buf)
    # 29 February 2000 was a Tuesday: wDayOfWeek 2.
    assert struct.unpack("<8H", emu.read(buf, 16)) == (2000, 2, 2, 29, 23, 59, 58, 999)


# --- the process: console EXE, module paths, ini files, system messages ---

# The word after the program's name says what to do; the next one is a number.
CONSOLE_EXE = r"""
#include <windows.h>

#define UNTOUCHED 0x5EA1EDu

static HANDLE out;

static void say(const char *s, DWORD n)
{
    DWORD written;
    WriteFile(out, s, n, &written, NULL);
}
static void text(const char *s)
{
    DWORD n = 0;
    while (s[n]) n++;
    say(s, n);
}
static void number(DWORD v)
{
    char t[10];
    int k = sizeof t;
    do t[--k] = (char)('0' + v % 10); while (v /= 10);
    say(t + k, sizeof t - k);
}
static const char *skip(const char *p)
{
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) {}
        if (*p) ++p;
    } else {
        while (*p && *p != ' ') ++p;
    }
    while (*p == ' ') ++p;
    return p;
}
static int is(const char *p, const char *w)
{
    while (*w)
        if (*p++ != *w++) return 0;
    return *p == ' ' || *p == 0;
}

int start(void)
{
    const char *line = GetCommandLineA();
    const char *verb = skip(line), *arg = skip(verb);
    DWORD n = 0, written;
    while (*arg >= '0' && *arg <= '9') n = n * 10 + (DWORD)(*arg++ - '0');
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    text("["); text(line); text("]\r\n");
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "to stderr\r\n", 11, &written, NULL);
    if (GetCommandLineA() != line) text("moved\r\n");
    if (is(verb, "exit")) {
        text("caf\x82\r\n");
        ExitProcess(n);
        text("after ExitProcess\r\n");
    }
    if (is(verb, "return"))
        return (int)n;
    if (is(verb, "sleep")) {
        DWORD t = GetTickCount();
        Sleep(n);
        number(GetTickCount() - t);
        ExitProcess(0);
    }
    if (is(verb, "path")) {
        char buf[300];
        DWORD got, last;
        for (int i = 0; i < (int)sizeof buf; i++) buf[i] = '#';
        SetLastError(UNTOUCHED);
        got = GetModuleFileNameA(NULL, buf, n);
        last = GetLastError();
        number(got); text(" "); number(last); text(" ");
        say(buf, n + 2);
        ExitProcess(0);
    }
    if (is(verb, "spin"))
        for (;;) {}
    return 99;
}
"""


def compile_exe(directory, name, *flags):
    c = directory / f"{name}.c"
    c.write_text(CONSOLE_EXE)
    exe = directory / f"{name}.exe"
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-nostdlib",
                    "-fno-tree-loop-distribute-patterns", "-Wl,-e,_start",
                    "-Wl,--subsystem,console", *flags, "-o", str(exe), str(c), "-lkernel32",
                    "-lgcc"], check=True)
    return exe


RELOCATIONS = {"relocatable": "-Wl,--enable-reloc-section", "fixed": "-Wl,--disable-reloc-section"}


@pytest.fixture(scope="session")
def exes(tmp_path_factory):
    directory = tmp_path_factory.mktemp("exe")
    return {kind: compile_exe(directory, f"console_{kind}", flag)
            for kind, flag in RELOCATIONS.items()}


@pytest.fixture
def testexe(exes):
    return exes["relocatable"]


@pytest.mark.parametrize("kind", RELOCATIONS)
def test_an_exe_runs_at_its_preferred_base_and_moves_only_with_relocations(exes, kind):
    exe = Emulator.load_exe(exes[kind])
    assert exe.base == exe.image_base == 0x400000
    assert exe.run("t.exe exit 0").stdout.startswith(b"[t.exe exit 0]\r\n")
    if kind == "fixed":
        with pytest.raises(BadImage):
            Emulator.load_exe(exes[kind], base=0x20000000)
        return
    moved = Emulator.load_exe(exes[kind], base=0x20000000)
    assert moved.run("t.exe exit 0").stdout.startswith(b"[t.exe exit 0]\r\n")


@pytest.mark.parametrize("command, code, ended_by", [
    ("t.exe exit 7", 7, "ExitProcess"),
    ("t.exe exit 4294967295", 0xFFFFFFFF, "ExitProcess"),
    ("t.exe return 3", 3, "return"),
    ("t.exe return 0", 0, "return"),
])
def test_the_process_ends_at_exit_process_or_when_its_entry_returns(testexe, command, code,
                                                                    ended_by):
    exe = Emulator.load_exe(testexe)
    p = exe.run(command)
    assert (p.exit_code, p.ended_by) == (code, ended_by)
    assert b"after ExitProcess" not in p.stdout
    if ended_by == "ExitProcess":
        assert p.kernel32_calls[-1][:3] == ("ExitProcess", (code,), 0)
    assert p.instructions > 0
    with pytest.raises(ProcessExited) as caught:
        exe.run(command)  # a process runs once
    assert caught.value.code == code


def test_console_output_is_captured_per_handle_with_the_command_line_as_given(testexe):
    exe = Emulator.load_exe(testexe)
    p = exe.run('"C:\\Program Files\\t.exe"  exit 1')
    assert p.stdout == b'["C:\\Program Files\\t.exe"  exit 1]\r\ncaf\x82\r\n'
    assert p.stderr == b"to stderr\r\n"
    assert p.stdout_text.endswith("café\r\n")  # the console's OEM code page, 850
    writes = [c for c in p.kernel32_calls if c.name == "WriteFile"]
    assert [c.args[1] for c in writes] == [b"[", b'"C:\\Program Files\\t.exe"  exit 1',
                                           b"]\r\n", b"to stderr\r\n", b"caf\x82\r\n"]
    assert [c.result for c in writes] == [1] * 5


def test_the_default_command_line_is_the_quoted_windows_path(testexe):
    exe = Emulator.load_exe(testexe, windows_path=r"D:\tools\check.exe")
    p = exe.run()
    assert p.stdout.startswith(b'["D:\\tools\\check.exe"]\r\n')
    assert (p.exit_code, p.ended_by) == (99, "return")


def test_a_process_that_never_ends_exceeds_its_budget(testexe):
    with pytest.raises(BudgetExceeded):
        Emulator.load_exe(testexe).run("t.exe spin", budget=100_000)


@pytest.mark.parametrize("ms", [0, 250, 60000])
def test_sleep_moves_the_virtual_clock_by_its_milliseconds(testexe, ms):
    clock = VirtualClock(start=1000, step=0)
    exe = Emulator.load_exe(testexe, backend=ScriptedLine(clock))
    p = exe.run(f"t.exe sleep {ms}")
    assert p.stdout.endswith(b"]\r\n" + str(ms).encode())
    assert clock.now == 1000 + ms
    assert [c.args for c in p.kernel32_calls if c.name == "Sleep"] == [(ms,)]


def test_sleep_on_the_real_clock_really_sleeps(testdll, monkeypatch):
    slept = []
    monkeypatch.setattr(ttyline.time, "sleep", slept.append)
    emu = Emulator.load(testdll, clock=ttyline.MonotonicClock())
    emu.attach()
    emu.call_stdcall("nap", 250)
    assert slept == [0.25]
    with pytest.raises(ApiMisuse):
        emu.call_stdcall("nap", 0xFFFFFFFF)  # INFINITE


def test_images_are_started_only_the_way_windows_starts_them(testexe, testdll):
    with pytest.raises(BadImage):
        Emulator.load_exe(testdll)
    exe = Emulator.load_exe(testexe)
    with pytest.raises(EmulatorError):
        exe.attach()
    dll = Emulator.load(testdll)
    with pytest.raises(EmulatorError):
        dll.run()


def test_exit_process_from_a_dll_ends_the_process(emu):
    with pytest.raises(ProcessExited) as caught:
        emu.call_stdcall("quit", 5)
    assert caught.value.code == emu.kernel32.exit_code == 5
    with pytest.raises(ProcessExited):
        emu.call_register("reg3", 1, 2, 3)


FILL = 0xEE


def out_buffer(emu, room):
    buf = emu.alloc(room, 1)
    emu.write(buf, bytes([FILL]) * room)
    return buf


def module_name(emu, module, size, room=300):
    """(result, last error, the whole buffer) of GetModuleFileNameA(module, buf, size)."""
    buf, error = out_buffer(emu, room), emu.alloc(4)
    n = emu.call_stdcall("module_name", module, buf, size, error).eax
    return n, last(emu.read_u32(error)), emu.read(buf, room)


def written(data, room=300):
    return data + bytes([FILL]) * (room - len(data))


def test_module_paths_of_the_dll_of_its_host_and_of_an_exe(testdll, testexe):
    emu = Emulator.load(testdll)
    emu.attach()
    own = emu.call_stdcall("own_module").eax
    assert own == emu.base
    assert module_name(emu, own, 300) == (21, None, written(b"C:\\pondix\\harness.dll\0"))
    emu.windows_path = r"C:\lab\pondix5.dll"
    assert module_name(emu, own, 300)[2] == written(b"C:\\lab\\pondix5.dll\0")
    assert module_name(emu, 0, 300)[2] == written(b"C:\\pondix\\host.exe\0")
    emu.kernel32.host_path = r"E:\mesure\hôte.exe"
    assert module_name(emu, 0, 300) == (18, None, written(b"E:\\mesure\\h\xf4te.exe\0"))  # ANSI
    assert module_name(emu, own + 0x1000, 300) == (0, ERROR_MOD_NOT_FOUND, written(b""))
    p = Emulator.load_exe(testexe, windows_path=r"C:\lab\check.exe").run("c path 30")
    assert p.stdout.endswith(b"16 %d C:\\lab\\check.exe\0" % UNTOUCHED + b"#" * 15)


@pytest.mark.parametrize("size, result, error, data", [
    (300, 18, None, b"C:\\lab\\pondix5.dll\0"),
    (19, 18, None, b"C:\\lab\\pondix5.dll\0"),
    (18, 18, ERROR_INSUFFICIENT_BUFFER, b"C:\\lab\\pondix5.dl\0"),
    (4, 4, ERROR_INSUFFICIENT_BUFFER, b"C:\\\0"),
    (1, 1, ERROR_INSUFFICIENT_BUFFER, b"\0"),
    (0, 0, ERROR_INSUFFICIENT_BUFFER, b""),
])
def test_a_module_path_too_long_for_the_buffer_is_cut_and_terminated(emu, size, result, error,
                                                                     data):
    emu.windows_path = r"C:\lab\pondix5.dll"
    assert module_name(emu, emu.base, size) == (result, error, written(data))


INI = r"C:\pondix\pondix5.ini"


def profile(emu, section, key, default, size=64, file=INI, room=80):
    """(result, last error, the whole buffer) of GetPrivateProfileStringA."""
    def string(s):
        return 0 if s is None else emu.write_cstring(s.encode("cp1252"))
    buf, error = out_buffer(emu, room), emu.alloc(4)
    n = emu.call_stdcall("profile", string(section), string(key), string(default), buf, size,
                         string(file), error).eax
    return n, last(emu.read_u32(error)), emu.read(buf, room)


def profile_value(emu, section="port", key="name", default="DEF"):
    n, error, buf = profile(emu, section, key, default)
    value = buf[:buf.index(0)]
    assert n == len(value)
    return value, error


@pytest.mark.parametrize("ini, section, key, value", [
    ("[port]\r\nname=COM7\r\n", "port", "name", b"COM7"),
    ("[port]\nname=COM7", "port", "name", b"COM7"),                  # LF only, no last newline
    ("[PORT]\r\nName=COM7\r\n", "Port", "NAME", b"COM7"),             # no case anywhere
    ("[port]\r\nname=COM7\r\n", " port ", "  name\t", b"COM7"),       # blanks around names asked
    ("  [port]  \r\n\tname  =  COM7 \t \r\n", "port", "name", b"COM7"),
    ("[port]\r\nname=\"COM 7\"\r\n", "port", "name", b"COM 7"),
    ("[port]\r\nname='x'\r\n", "port", "name", b"x"),
    ("[port]\r\nname=\"COM7'\r\n", "port", "name", b"\"COM7'"),      # unmatched quotes stay
    ("[port]\r\nname=\"\r\n", "port", "name", b"\""),
    ("[port]\r\nname=a=b\r\n", "port", "name", b"a=b"),
    ("[port]\r\nname=\r\n", "port", "name", b""),                     # empty, not the default
    ("[port]\r\n;name=COM3\r\nname=COM7\r\n", "port", "name", b"COM7"),
    ("[port]\r\n;name=COM3\r\n", "port", "name", b"DEF"),
    ("[port]\r\n; name=COM3\r\n", "port", "; name", b"DEF"),
    ("[port]\r\nname=COM7\r\nname=COM8\r\n", "port", "name", b"COM7"),
    ("[other]\r\nname=COM3\r\n[port]\r\nmode=x\r\n", "port", "name", b"DEF"),
    ("[port]\r\nmode=x\r\n[other]\r\nname=COM3\r\n", "port", "name", b"DEF"),
    ("name=COM3\r\n[port]\r\n", "port", "name", b"DEF"),              # before any section
    ("[port]\r\nmode=x\r\n[Port]\r\nname=COM7\r\n", "port", "name", b"DEF"),  # first [port] only
    ("[port]\r\nname\r\n", "port", "name", b"DEF"),                   # no '=': no value
    ("[port]\r\nname=COM7\r\n", "ports", "name", b"DEF"),
    ("[port]\r\nnames=COM7\r\n", "port", "name", b"DEF"),
    ("", "port", "name", b"DEF"),
    (b"[port]\r\nname=caf\xe9\r\n", "port", "name", b"caf\xe9"),      # ANSI file
    (b"\xef\xbb\xbf[port]\r\nname=caf\xc3\xa9\r\n", "port", "name", b"caf\xe9"),  # UTF-8, BOM
])
def test_ini_values_as_kernel32_reads_them(emu, ini, section, key, value):
    emu.kernel32.files = {INI: ini}
    assert profile_value(emu, section, key) == (value, None)


@pytest.mark.parametrize("default, value", [
    (None, b""), ("", b""), ("COM5:", b"COM5:"), ("COM5:   ", b"COM5:"), ("  x ", b"  x"),
    ('"a b"', b"a b"),
])
def test_the_default_loses_its_trailing_blanks(emu, default, value):
    emu.kernel32.files = {INI: "[port]\r\n"}
    assert profile_value(emu, default=default) == (value, None)


@pytest.mark.parametrize("stored, asked", [
    (INI, INI),
    (r"c:/PONDIX/Pondix5.INI", INI),
    (r"C:\pondix\pondix5.ini", r"C:\pondix\lab\..\.\pondix5.ini"),
    (r"C:\Windows\pondix.ini", "pondix.ini"),                       # bare name: the Windows folder
    (r"C:\pondix\sub\p.ini", r"sub\p.ini"),                         # relative: the current folder
])
def test_ini_paths_are_found_as_windows_finds_them(emu, stored, asked):
    emu.kernel32.files = {stored: "[port]\r\nname=COM7\r\n"}
    n, error, buf = profile(emu, "port", "name", "DEF", file=asked)
    assert (n, error, buf[:5]) == (4, None, b"COM7\0")


def test_a_missing_ini_file_gives_the_default_and_file_not_found(emu):
    emu.kernel32.files = {r"C:\pondix\pondix1.ini": "[port]\r\nname=COM7\r\n"}
    assert profile_value(emu, default="Com5:") == (b"Com5:", ERROR_FILE_NOT_FOUND)
    call = emu.kernel32.calls("GetPrivateProfileStringA")[-1]
    assert call.args[:3] + call.args[4:] == ("port", "name", "Com5:", 64, INI)
    assert (call.result, call.error) == (5, ERROR_FILE_NOT_FOUND)


@pytest.mark.parametrize("size, result, data", [
    (64, 5, b"COM17\0"), (6, 5, b"COM17\0"), (5, 4, b"COM1\0"), (2, 1, b"C\0"), (1, 0, b"\0"),
    (0, 0, b""),
])
@pytest.mark.parametrize("found", [True, False])
def test_a_long_ini_value_or_default_is_cut_to_the_buffer(emu, size, result, data, found):
    emu.kernel32.files = {INI: "[port]\r\nname=COM17\r\n" if found else "[port]\r\n"}
    n, error, buf = profile(emu, "port", "name", "x" if found else "COM17", size=size)
    assert (n, error, buf) == (result, None, written(data, 80))


@pytest.mark.parametrize("section, key", [(None, "name"), ("port", None)])
def test_ini_listings_are_refused_clearly(emu, section, key):
    emu.kernel32.files = {INI: "[port]\r\nname=COM7\r\n"}
    with pytest.raises(ApiMisuse):
        profile(emu, section, key, "")


FROM_SYSTEM_NO_INSERTS = 0x1000 | 0x200


def message(emu, code, size=256, flags=FROM_SYSTEM_NO_INSERTS, lang=0, room=300):
    """(result, last error, the whole buffer) of FormatMessageA."""
    buf, error = out_buffer(emu, room), emu.alloc(4)
    n = emu.call_stdcall("message", flags, code, lang, buf, size, error).eax
    return n, last(emu.read_u32(error)), emu.read(buf, room)


@pytest.mark.parametrize("code, text", [
    (2, b"The system cannot find the file specified."),
    (5, b"Access is denied."),
    (6, b"The handle is invalid."),
    (22, b"The device does not recognize the command."),
    (31, b"A device attached to the system is not functioning."),
    (87, b"The parameter is incorrect."),
    (121, b"The semaphore timeout period has expired."),
    (995, b"The I/O operation has been aborted because of either a thread exit or an "
          b"application request."),
    (1167, b"The device is not connected."),
])
@pytest.mark.parametrize("lang", [0, 0x0409])
def test_system_messages_in_english_end_with_a_line_break(emu, code, text, lang):
    assert message(emu, code, lang=lang) == (len(text) + 2, None, written(text + b"\r\n\0"))


@pytest.mark.parametrize("case, error", [
    ("unknown code", ERROR_MR_MID_NOT_FOUND),
    ("buffer one byte short", ERROR_INSUFFICIENT_BUFFER),
    ("no buffer", ERROR_INSUFFICIENT_BUFFER),
    ("French asked", ERROR_RESOURCE_LANG_NOT_FOUND),
])
def test_format_message_failures(emu, case, error):
    size = {"buffer one byte short": len("Access is denied.\r\n"), "no buffer": 0}.get(case, 256)
    code = 0x2B67 if case == "unknown code" else 5
    lang = 0x040C if case == "French asked" else 0
    assert message(emu, code, size, lang=lang) == (0, error, written(b""))
    assert message(emu, 5, size=len("Access is denied.\r\n") + 1)[:2] == (19, None)


@pytest.mark.parametrize("flags", [0x100 | FROM_SYSTEM_NO_INSERTS, 0x1000, 0x400 | 0x200,
                                   FROM_SYSTEM_NO_INSERTS | 80])
def test_format_message_flags_it_cannot_honour_are_refused(emu, flags):
    with pytest.raises(ApiMisuse):
        message(emu, 5, flags=flags)


def std_handle(emu, which):
    error = emu.alloc(4)
    return emu.call_stdcall("std_handle", which, error).eax, last(emu.read_u32(error))


def write_to(emu, h, data):
    """(result, bytes written, last error)."""
    p, count, error = emu.write_cstring(data), emu.alloc(4), emu.alloc(4)
    emu.write(count, b"\xff" * 4)
    ok = emu.call_stdcall("write_to", h, p, len(data), count, error).eax
    return ok, emu.read_u32(count), last(emu.read_u32(error))


def test_standard_handles_are_distinct_and_only_the_output_ones_write(emu):
    handles = [std_handle(emu, which) for which in (-10, -11, -12)]
    assert [error for _, error in handles] == [None] * 3
    stdin, stdout, stderr = (h for h, _ in handles)
    assert len({stdin, stdout, stderr, 0, INVALID_HANDLE_VALUE}) == 5
    assert std_handle(emu, -13) == (INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE)
    assert write_to(emu, stdout, b"one ") == (1, 4, None)
    assert write_to(emu, stderr, b"oops") == (1, 4, None)
    assert write_to(emu, stdout, b"") == (1, 0, None)
    assert write_to(emu, stdout, b"two\r\n") == (1, 5, None)
    port = open_port(emu)
    assert [write_to(emu, h, b"x") for h in (stdin, port, port + 4)] == [
        (0, 0, ERROR_ACCESS_DENIED), (0, 0, ERROR_ACCESS_DENIED), (0, 0, ERROR_INVALID_HANDLE)]
    assert (emu.kernel32.stdout, emu.kernel32.stderr) == (b"one two\r\n", b"oops")


def test_the_command_line_stays_at_one_address(emu):
    emu.kernel32.command_line = "host.exe /q"
    first = emu.call_stdcall("command_line", returns="str")
    emu.write(first.eax, b"H")  # a program may edit it in place
    again = emu.call_stdcall("command_line", returns="str")
    assert (first.text, again.eax, again.text) == (b"host.exe /q", first.eax, b"Host.exe /q")
