"""The base channel functions of the real DLLs, called as a host calls them:
register convention, results in EAX or ST(0), over a scripted serial line."""

import random
import struct
from datetime import datetime
from pathlib import Path

import pytest

from conftest import SETTLE
from dllemu import ScriptedLine
from dllemu.kernel32 import CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY

FIXTURES = Path(__file__).resolve().parents[1] / "fixtures"

CW_DEFAULT = 0x027F      # 53-bit precision, round to nearest, all masked
CW_EXTENDED = 0x037F     # 64-bit precision
CW_SINGLE = 0x007F       # 24-bit precision
CW_DOWN = 0x067F
CW_UP = 0x0A7F
CW_CHOP = 0x0E7F
CW_INVALID_UNMASKED = 0x027E

BASE_ORDINALS = {
    "ea": 58, "nea": 57, "ead": 56, "nead": 55, "sa": 54, "nsa": 53, "sad": 52, "nsad": 51,
    "rsa": 50, "rsad": 49, "eb": 48, "neb": 47, "sb": 46, "nsb": 45, "rsb": 44, "titre": 43,
    "detail": 42, "pead": 41, "psad": 40,
}


def clean(r, cw=CW_DEFAULT, depth=0):
    """What every call must leave as it found it."""
    assert r.callee_saved_ok, r.preserved
    assert r.fpu_cw == cw
    assert r.fpu_depth == depth


def ea(emu, channel=0, cw=CW_DEFAULT):
    r = emu.call_register("ea", channel, fpu_cw=cw)
    clean(r, cw)
    assert r.stack_popped == 0
    return r.eax_signed


def ead(emu, channel=0, cw=CW_DEFAULT):
    r = emu.call_register("ead", channel, returns="double", fpu_cw=cw)
    clean(r, cw, depth=1)
    assert r.stack_popped == 0
    return r.st0_float  # raises unless ST(0) is exactly a double


def pending_status_queries(r):
    return [c for c in r.kernel32_calls if c.name in ("ClearCommError", "ReadFile")]


# --- the export table and loading ---

def test_base_exports_have_their_names_and_ordinals(pondix, variant):
    for name, ordinal in BASE_ORDINALS.items():
        assert pondix.exports[name].ordinal == ordinal, name
    assert pondix.export_dll_name == variant.dll
    assert {dll.lower() for dll, _ in pondix.imports} == {"kernel32.dll"}


def opened_handle(emu):
    return next(c.result for c in emu.kernel32.log if c.name == "CreateFileA")


def test_load_opens_and_configures_its_port(pondix, variant):
    calls = [(c.name, c.args) for c in pondix.kernel32.log]
    handle = opened_handle(pondix)
    # The ini file beside the DLL first (there is none); the time of the
    # attempt spaces out the next ones, should the port go.
    assert [name for name, _ in calls] == ["GetModuleFileNameA", "GetPrivateProfileStringA",
                                           "GetPrivateProfileStringA", "GetTickCount",
                                           "CreateFileA", "SetupComm", "GetCommState",
                                           "BuildCommDCBA", "SetCommState", "SetCommTimeouts"]
    ini = variant.dll.replace(".dll", ".ini")
    assert [c[1][:2] + c[1][-1:] for c in calls[1:3]] == [("port", "name", rf"C:\pondix\{ini}"),
                                                         ("port", "mode", rf"C:\pondix\{ini}")]
    calls = calls[3:]
    assert calls[1] == ("CreateFileA", (variant.port, 0xC0000000, 0, 0, 3, 0x80, 0))
    assert calls[2] == ("SetupComm", (handle, 256, 256))
    assert calls[4][1][0] == "baud=9600 parity=n data=8 stop=1"
    dcb = pondix.backend.dcb
    assert (dcb.BaudRate, dcb.Parity, dcb.ByteSize, dcb.StopBits) == (9600, 0, 8, 0)
    t = pondix.backend.timeouts
    assert (t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant) == (0, 0, 1000, 0, 1000)


def test_without_a_device_loading_succeeds_and_masses_say_not_served(load_pondix):
    line = ScriptedLine(present=False)
    emu = load_pondix(line)          # attach raises if the entry point says FALSE
    line.present = True
    line.feed(b"  +12.345 g\r\n")    # bytes on a port the DLL never opened
    assert ea(emu) == -777
    assert ead(emu, 0) == -777.0
    assert ead(emu, 1) == -777.0
    assert ead(emu, 2) == 39127.5
    assert emu.call_register("nead", 0, returns="str").text == b"masse g"
    assert not [c for c in emu.kernel32.log if c.name in ("ClearCommError", "ReadFile")]


def test_freelibrary_releases_the_port_so_it_can_be_opened_again(load_pondix):
    line = ScriptedLine()
    first = load_pondix(line)
    handle = opened_handle(first)
    r = first.detach(reserved=0)
    assert [(c.name, c.args) for c in r.kernel32_calls] == [("CloseHandle", (handle,))]
    second = load_pondix(line)
    line.feed(b"  +12.345 g\r\n")
    assert ea(second) == 12345


def test_process_exit_leaves_the_port_to_the_system(pondix):
    r = pondix.detach(reserved=1)
    assert r.kernel32_calls == []
    assert pondix.backend.is_open


# --- every base function in its convention ---

TEXTS = [
    ("nea", 0, b"masse mg"), ("nea", 1, b""), ("nea", -1, b""),
    ("nead", 0, b"masse g"), ("nead", 1, b"masse mg"), ("nead", 2, b"date-heure"),
    ("nead", 3, b""), ("nead", 0x7FFFFFFF, b""),
    ("nsad", 0, b""), ("neb", 0, b""), ("nsb", 0, b""),
]


@pytest.mark.parametrize("name,channel,text", TEXTS)
def test_names(pondix, name, channel, text):
    r = pondix.call_register(name, channel, returns="str")
    clean(r)
    assert r.stack_popped == 0
    assert r.eax != 0
    assert r.text == text
    assert pending_status_queries(r) == []


def test_nsa_takes_no_argument_and_names_nothing(pondix):
    r = pondix.call_register("nsa", returns="str")
    clean(r)
    assert (r.stack_popped, r.text) == (0, b"")


def test_title_and_description_byte_for_byte(pondix, variant):
    for name, expected in [
            ("titre", b"balance Adam, " + variant.label.encode()),
            ("detail", b"DLL pour balance Adam en " + variant.label.encode()
             + b", par Orvandel, le 14 f\xe9vrier 2007")]:
        r = pondix.call_register(name, returns="str")
        clean(r)
        assert (r.stack_popped, r.text) == (0, expected)


UNSERVED = [
    ("sa", (0, 5), "int", 0), ("sa", (3, -1), "int", 0),
    ("rsa", (0,), "int", 0), ("eb", (0,), "int", 0), ("sb", (0, 1), "int", 0),
    ("rsb", (0,), "int", 0), ("ea", (1,), "int", 0), ("ea", (-1,), "int", 0),
    ("rsad", (0,), "double", 0), ("ead", (3,), "double", 0), ("ead", (-1,), "double", 0),
    ("sad", (0, ("double", 5.0)), "double", 8),
    ("sad", (0, ("double", float("nan"))), "double", 8),
]


@pytest.mark.parametrize("name,args,returns,popped", UNSERVED)
def test_unserved_channels_answer_minus_777_without_touching_the_port(pondix, name, args,
                                                                      returns, popped):
    pondix.backend.feed(b"  +12.345 g\r\n")
    r = pondix.call_register(name, *args, returns=returns)
    assert r.stack_popped == popped
    if returns == "int":
        clean(r)
        assert r.eax_signed == -777
    else:
        clean(r, depth=1)
        assert struct.pack("<d", r.st0_float) == struct.pack("<d", -777.0)
    assert pending_status_queries(r) == []
    assert pondix.backend.pending() == SETTLE + b"  +12.345 g\r\n"


def test_ea_other_channel_leaves_bytes_that_channel_0_then_drains(pondix):
    pondix.backend.feed(b"  +12.345 g\r\n")
    assert ea(pondix, 1) == -777
    assert ea(pondix, 0) == 12345
    assert pondix.backend.pending() == b""


# --- the date-time channel ---

@pytest.mark.parametrize("when,ole", [
    (datetime(2007, 2, 14, 12, 0, 0), 39127.5),
    (datetime(1899, 12, 30, 0, 0, 0), 0.0),
    (datetime(2000, 2, 29, 6, 0, 0), 36585.25),
    (datetime(2026, 12, 11, 23, 59, 59, 999000), 46367 + 86399999 / 86400000),
])
@pytest.mark.parametrize("cw", [CW_DEFAULT, CW_SINGLE, CW_EXTENDED, CW_UP])
def test_date_time_channel(pondix, when, ole, cw):
    pondix.kernel32.local_time = when
    pondix.backend.feed(b"  +1.000 g\r\n")
    r = pondix.call_register("ead", 2, returns="double", fpu_cw=cw)
    clean(r, cw, depth=1)
    assert r.st0_float == ole
    assert [c.name for c in r.kernel32_calls] == ["GetLocalTime"]
    assert pondix.backend.pending() == SETTLE + b"  +1.000 g\r\n"


# --- readings: bytes on the line -> what the host reads ---

READINGS = [
    # (what arrives between polls, reading in grams after each poll)
    ("print line", [b"  +12.345 g\r\n"], [12.345]),
    ("negative", [b"  -1.234 g\r\n"], [-1.234]),
    ("nothing yet", [b""], [0.0]),
    ("split across polls", [b"  +12.3", b"45 g\r\n"], [0.0, 12.345]),
    ("newest of two waiting lines", [b"  12.345 g\r\n  12.346 g\r\n"], [12.346]),
    ("decimal comma", [b"12,5 g\r\n"], [12.5]),
    ("short line dropped", [b"12\r\n", b"  +12.345 g\r\n"], [0.0, 12.345]),
    ("letters keep the last good", [b"  +12.345 g\r\n", b"ERREUR\r\n"], [12.345, 12.345]),
    ("drain ending on CR", [b"  +1.000 g\r\n  +2.000 g\r", b"\n"], [1.0, 2.0]),
    ("control bytes not stored", [b"\t\t\t\t1.5\r\n"], [0.0]),
    ("high bytes stored then filtered", [b"\x7f\x80\xff1.5\r\n"], [1.5]),
    ("whole line past 20 characters", [b"ST,GS,+       1234.567 g\r\n"], [1234.567]),
    ("a second number is no weight line", [b"  +1.000 g\r\n", b"  +12.345 g 67890123456\r\n"],
     [1.0, 1.0]),
]


@pytest.mark.parametrize("arrivals,grams", [r[1:] for r in READINGS],
                         ids=[r[0] for r in READINGS])
def test_readings(pondix, arrivals, grams):
    for chunk, g in zip(arrivals, grams):
        pondix.backend.feed(chunk)
        assert ead(pondix, 0) == g
        assert ead(pondix, 1) == g * 1000


def test_failed_first_line_reads_minus_777000_mg(pondix):
    pondix.backend.feed(b"ERREUR\r\n")
    assert ea(pondix) == -777000
    assert ead(pondix, 0) == -777.0


@pytest.mark.parametrize("capture,final", [("adam_print.bin", 12.346),
                                           ("adam_continuous.bin", 2.346)])
def test_real_format_captures_at_random_split_points(pondix, capture, final):
    data = (FIXTURES / capture).read_bytes()
    sent = {float(tok) for line in data.split(b"\r\n") if len(line) >= 6
            for tok in [line[:20].translate(None, b"+ gSTUNG,")]}
    rng = random.Random(capture)
    at = 0
    while at < len(data):
        step = rng.randint(1, 40)
        pondix.backend.feed(data[at:at + step])
        at += step
        g = ead(pondix, 0)
        assert g == 0.0 or g in sent, g
    assert ead(pondix, 0) == final
    assert ea(pondix) == round(final * 1000)


# --- milligrams: rounding in the caller's mode, saturation ---

@pytest.mark.parametrize("line,cw,mg", [
    (b"  +12.3456 g\r\n", CW_DEFAULT, 12346),
    (b"  -1.2344 g\r\n", CW_DEFAULT, -1234),
    (b"  +12.3456 g\r\n", CW_DOWN, 12345),
    (b"  -1.2344 g\r\n", CW_DOWN, -1235),
    (b"  +12.3454 g\r\n", CW_UP, 12346),
    (b"  -1.2346 g\r\n", CW_CHOP, -1234),
    (b"  +0.0025 g\r\n", CW_DEFAULT, 2),            # 2.5: halves to even
    # 0.0125 is a little above itself as a double: only 64-bit products see it.
    (b"  +0.0125 g\r\n", CW_DEFAULT, 12),
    (b"  +0.0125 g\r\n", CW_EXTENDED, 13),
    (b"  +12.3456 g\r\n", CW_SINGLE, 12346),
    (b"  +2147483.647 g\r\n", CW_DEFAULT, 2147483647),
    (b"  -2147483.648 g\r\n", CW_DEFAULT, -2147483648),
    (b"  +2147483.648 g\r\n", CW_DEFAULT, 2147483647),
    (b"  -2147483.649 g\r\n", CW_DEFAULT, -2147483648),
    (b"  +4294967.296 g\r\n", CW_DEFAULT, 2147483647),
    (b"9300000000000000 g\r\n", CW_DEFAULT, 2147483647),
    (b"-9300000000000000 g\r\n", CW_INVALID_UNMASKED, -2147483648),
    (b"99999999999999999999\r\n", CW_INVALID_UNMASKED, 2147483647),
])
def test_ea_rounds_in_the_callers_mode_and_saturates(pondix, line, cw, mg):
    pondix.backend.feed(line)
    assert ea(pondix, 0, cw) == mg


@pytest.mark.parametrize("cw", [CW_DEFAULT, CW_EXTENDED, CW_SINGLE])
def test_ead_milligrams_is_a_true_double(pondix, cw):
    pondix.backend.feed(b"  +12.3456789 g\r\n")
    r = pondix.call_register("ead", 1, returns="double", fpu_cw=cw)
    clean(r, cw, depth=1)
    product = r.st0_float       # raises if extended digits survived
    assert abs(product - 12345.6789) < (0.01 if cw == CW_SINGLE else 1e-9)


@pytest.mark.parametrize("cw", [CW_SINGLE, CW_EXTENDED, CW_DOWN, CW_UP])
def test_decimal_conversion_is_exact_whatever_the_control_word(pondix, cw):
    # Digits chosen so that a conversion rounded in 24 or 64 bits, or in the
    # wrong direction, lands on a neighbouring double.
    for text, value in [(b"0.1", 0.1), (b"12.345", 12.345), (b"1234.5678", 1234.5678),
                        (b"-0.000012345", -0.000012345), (b"9007199254740993", 2.0 ** 53)]:
        pondix.backend.feed(b"  " + text + b" g\r\n")
        assert ead(pondix, 0, cw) == value, text


# --- results by address ---

def test_pead_points_at_what_ead_gives(pondix):
    pondix.kernel32.local_time = datetime(2007, 2, 14, 12, 0, 0)
    pondix.backend.feed(b"  +12.345 g\r\n")
    for channel, value in [(0, 12.345), (1, 12345.0), (2, 39127.5), (3, -777.0)]:
        r = pondix.call_register("pead", channel)
        clean(r)
        assert r.stack_popped == 0
        assert pondix.read_double(r.eax) == value


def test_psad_reads_the_value_and_answers_minus_777(pondix):
    for address in [pondix.write_double(5.0), 0]:
        r = pondix.call_register("psad", 0, address)
        clean(r)
        assert r.stack_popped == 0
        assert pondix.read_double(r.eax) == -777.0


def test_psad_reads_through_the_address_it_is_given(pondix):
    from dllemu.errors import CpuFault
    with pytest.raises(CpuFault):
        pondix.call_register("psad", 0, 0x10)


# --- faults of the line ---

@pytest.mark.parametrize("flag", [CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME])
def test_receive_error_never_becomes_a_mass(pondix, flag):
    line = pondix.backend
    line.feed(b"  +12.345 g\r\n  +99.")
    assert ea(pondix) == 12345
    line.feed(b"999 g\r\n  +13.000 g\r\n  +14.0")
    line.inject_errors(flag)
    assert ea(pondix) == 12345
    line.feed(b"00 g\r\n")
    assert ea(pondix) == 12345
    line.feed(b"  +15.000 g\r\n")
    assert ea(pondix) == 15000


def test_counted_bytes_that_never_come_do_not_freeze_the_host(pondix):
    line = pondix.backend
    line.feed(b"  +12.345 g\r\n")
    line.fake_in_queue = 5000
    r = pondix.call_register("ea", 0, budget=2_000_000)
    assert r.eax_signed == 12345
    # One read that timed out, then the drain stopped.
    assert line.clock.now < 3000


def test_waiting_count_past_16_bits_still_drains(pondix):
    line = pondix.backend
    line.feed(b"  +12.345 g\r\n")
    line.fake_in_queue = 65536   # cut to 16 bits this would read as none
    assert pondix.call_register("ea", 0, budget=2_000_000).eax_signed == 12345
