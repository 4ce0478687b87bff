"""Tests of the emulator harness, against a small DLL compiled on the fly."""

import math
import struct
import subprocess
from datetime import datetime
from fractions import Fraction

import pytest

from dllemu import (CE_FRAME, CE_OVERRUN, CE_RXPARITY, INVALID_HANDLE_VALUE, BadImage,
                    BudgetExceeded, CommTimeouts, CpuFault, Dcb, Emulator, FpuFault,
                    ScriptedLine, UnsupportedImport, VirtualClock)
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

EXPORT HANDLE WINAPI port_open(const char *path, const char *mode, DWORD timeout)
{
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    DCB dcb;
    COMMTIMEOUTS t = { 0, 0, timeout, 0, timeout };
    SetupComm(h, 256, 256);
    GetCommState(h, &dcb);
    BuildCommDCBA(mode, &dcb);
    SetCommState(h, &dcb);
    SetCommTimeouts(h, &t);
    return h;
}
EXPORT int WINAPI port_queued(HANDLE h, DWORD *errors)
{
    COMSTAT st;
    return ClearCommError(h, errors, &st) ? (int)st.cbInQue : -1;
}
EXPORT int WINAPI port_read(HANDLE h)
{
    unsigned char b;
    DWORD n;
    if (!ReadFile(h, &b, 1, &n, NULL)) return -2;
    return n ? b : -1;
}
EXPORT BOOL WINAPI port_close(HANDLE h) { return CloseHandle(h); }
EXPORT void WINAPI local_time(SYSTEMTIME *t) { GetLocalTime(t); }
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

def open_port(emu, timeout=1000, path="COM7:"):
    return emu.call_stdcall("port_open", emu.write_cstring(path),
                            emu.write_cstring("baud=9600 parity=n data=8 stop=1"), timeout).eax


def queued(emu, h):
    """(count or -1, error flags)."""
    errors = emu.alloc(4)
    emu.write(errors, b"\xff" * 4)
    count = emu.call_stdcall("port_queued", h, errors).eax_signed
    return count, emu.read_u32(errors)


def test_open_sequence_is_logged_and_applied(emu):
    h = open_port(emu)
    log = [(c.name, c.args) for c in emu.kernel32.log]
    assert log[0] == ("CreateFileA", ("COM7:", 0xC0000000, 0, 0, 3, 0x80, 0))
    assert log[1] == ("SetupComm", (h, 256, 256))
    assert [n for n, _ in log[2:]] == ["GetCommState", "BuildCommDCBA", "SetCommState",
                                       "SetCommTimeouts"]
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


def test_absent_device_and_foreign_handles_fail(testdll):
    emu = Emulator.load(testdll, backend=ScriptedLine(present=False))
    emu.attach()
    h = open_port(emu)
    assert h == INVALID_HANDLE_VALUE
    assert queued(emu, h)[0] == -1
    handle_calls = [c.result for c in emu.kernel32.log if c.name not in ("CreateFileA", "BuildCommDCBA")]
    assert handle_calls == [0] * 5


def test_handle_is_only_valid_until_closed(emu):
    h = open_port(emu)
    assert [queued(emu, h + 1)[0], queued(emu, h)[0]] == [-1, 0]
    assert [emu.call_stdcall("port_close", h).eax for _ in range(2)] == [1, 0]
    assert queued(emu, h)[0] == -1


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
    assert emu.call_stdcall("port_read", h).eax_signed == result
    assert clock.now - start == elapsed


def test_line_status_errors_unplugging_and_phantom_counts(emu):
    line = emu.backend
    h = open_port(emu)
    line.inject_errors(CE_OVERRUN | CE_FRAME)
    assert [queued(emu, h), queued(emu, h)] == [(0, CE_OVERRUN | CE_FRAME), (0, 0)]
    line.feed(b"xy")
    line.unplug()
    line.inject_errors(CE_RXPARITY)
    assert (queued(emu, h)[0], emu.call_stdcall("port_read", h).eax_signed) == (-1, -2)
    line.replug()
    assert queued(emu, h) == (2, CE_RXPARITY)
    line.fake_in_queue = 70000
    reads = [emu.call_stdcall("port_read", h).eax_signed for _ in range(3)]
    assert (queued(emu, h)[0], reads) == (70000, [ord("x"), ord("y"), -1])


def test_tick_count_steps_and_wraps(testdll):
    emu = Emulator.load(testdll, backend=ScriptedLine(VirtualClock(start=2**32 - 2, step=5)))
    emu.attach()
    r = emu.call_stdcall("ticks")
    assert r.eax == 5
    assert [(c.name, c.result) for c in r.kernel32_calls] == [("GetTickCount", 2**32 - 2),
                                                              ("GetTickCount", 3)]


def test_local_time_fills_systemtime(emu):
    emu.kernel32.local_time = datetime(2000, 2, 29, 23, 59, 58, 999000)
    buf = emu.alloc(16)
    emu.call_stdcall("local_time", buf)
    # 29 February 2000 was a Tuesday: wDayOfWeek 2.
    assert struct.unpack("<8H", emu.read(buf, 16)) == (2000, 2, 2, 29, 23, 59, 58, 999)
