"""The real DLLs on a serial line that lives as a lab's does: adapters pulled
out and plugged back, plugged in late, held by another program, failing a
status query once. The host polls every 10 ms, as a fast measurement
program would."""

import pytest

from dllemu import ScriptedLine
from dllemu.kernel32 import (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_FILE_NOT_FOUND,
                             ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED)

POLL_MS = 10
NO_MASS = -777
CONFIGURATION = ("SetupComm", "GetCommState", "BuildCommDCBA", "SetCommState", "SetCommTimeouts")


def answers(emu):
    """Every mass channel once: ea(0) in mg, ead(0) in g, ead(1) in mg, pead(0)."""
    mg = emu.call_register("ea", 0).eax_signed
    g = emu.call_register("ead", 0, returns="double").st0_float
    mg1 = emu.call_register("ead", 1, returns="double").st0_float
    pg = emu.read_double(emu.call_register("pead", 0).eax)
    return mg, g, mg1, pg


def poll(emu, feed=b""):
    emu.backend.clock.advance(POLL_MS)
    if feed:
        emu.backend.feed(feed)
    return emu.call_register("ea", 0).eax_signed


def poll_until(emu, predicate, seconds=5):
    for _ in range(seconds * 1000 // POLL_MS):
        if predicate(poll(emu)):
            return
    pytest.fail("the condition never came")


def opens(emu):
    return emu.kernel32.calls("CreateFileA")


def configuration(emu, handle):
    """The configuration calls made on a handle, the handle itself left out."""
    out = []
    for c in emu.kernel32.log:
        if c.name in CONFIGURATION:
            args = c.args[1:] if c.name != "BuildCommDCBA" else c.args[:1]
            if c.name == "BuildCommDCBA" or c.args[0] == handle:
                out.append((c.name, args, c.result))
    return out


def no_mass_everywhere(emu):
    assert answers(emu) == (NO_MASS, -777.0, -777.0, -777.0)


@pytest.mark.parametrize("error", [ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED,
                                   ERROR_ACCESS_DENIED])
def test_unplug_then_replug_closes_reopens_and_reads_only_fresh_lines(pondix, error):
    line = pondix.backend
    first = opens(pondix)[0].result
    at_load = configuration(pondix, first)
    line.feed(b"  +12.345 g\r\n")
    assert poll(pondix) == 12345
    line.unplug(error)
    r = pondix.call_register("ea", 0)
    assert r.eax_signed == NO_MASS
    # The dead handle is closed at once, in the call that found it dead.
    assert [(c.name, c.args[0], c.error) for c in r.kernel32_calls] == [
        ("ClearCommError", first, error), ("CloseHandle", first, 0)]
    no_mass_everywhere(pondix)
    for _ in range(50):
        assert poll(pondix) == NO_MASS
    line.replug()
    poll_until(pondix, lambda mg: len(opens(pondix)) > 1 and opens(pondix)[-1].result != 0xFFFFFFFF)
    second = opens(pondix)[-1].result
    assert second != first
    assert configuration(pondix, second)[-len(at_load):] == at_load
    # The balance now shows 1.5 g. The first bytes may end a line whose start
    # was lost; neither it nor anything before the outage is a mass.
    line.feed(b"345 g\r\n")
    no_mass_everywhere(pondix)
    line.feed(b"  +1.500 g\r\n")
    assert answers(pondix) == (1500, 1.5, 1500.0, 1.5)
    log = pondix.kernel32.log
    reopened = max(i for i, c in enumerate(log) if c.name == "CreateFileA")
    since = [c.args[0] for c in log[reopened:] if c.name == "ClearCommError"]
    assert since and set(since) == {second}


def test_reopen_attempts_are_a_second_apart_while_the_host_polls_every_10_ms(pondix):
    line = pondix.backend
    line.unplug()
    for _ in range(5000 // POLL_MS):
        assert poll(pondix) == NO_MASS
    attempts = [c.now for c in opens(pondix)][1:]
    assert all(c.error == ERROR_FILE_NOT_FOUND for c in opens(pondix)[1:])
    assert 4 <= len(attempts) <= 6
    assert all(b - a >= 1000 for a, b in zip(attempts, attempts[1:]))
    # Nothing is configured or queried on a port that did not open.
    loaded = max(i for i, c in enumerate(pondix.kernel32.log) if c.name == "SetCommTimeouts")
    assert not [c for c in pondix.kernel32.log[loaded + 1:]
                if c.name in CONFIGURATION + ("ReadFile",)]


@pytest.mark.parametrize("how", ["absent", "busy"])
def test_port_missing_or_held_at_load_is_opened_once_it_is_free(load_pondix, how):
    line = ScriptedLine(present=how != "absent")
    line.busy = how == "busy"
    emu = load_pondix(line)
    expected = ERROR_FILE_NOT_FOUND if how == "absent" else ERROR_ACCESS_DENIED
    assert [c.error for c in opens(emu)] == [expected]
    no_mass_everywhere(emu)
    line.replug()
    line.busy = False
    poll_until(emu, lambda mg: line.is_open)
    steps = configuration(emu, opens(emu)[-1].result)
    assert [(name, result) for name, _, result in steps] == [(n, 1) for n in CONFIGURATION]
    assert steps[2][1] == ("baud=9600 parity=n data=8 stop=1",)
    # Opened in the middle of whatever the balance was sending.
    line.feed(b"2.345 g\r\n")
    assert poll(emu) == NO_MASS
    line.feed(b"  +12.345 g\r\n")
    assert poll(emu) == 12345


def test_a_status_query_that_fails_once_loses_the_port_and_its_mass(pondix):
    line = pondix.backend
    line.feed(b"  +12.345 g\r\n")
    assert poll(pondix) == 12345
    line.glitch(ERROR_GEN_FAILURE)
    assert poll(pondix) == NO_MASS
    assert not line.is_open
    # A second after the last attempt (at load), the next poll opens again.
    pondix.backend.clock.advance(1000)
    assert poll(pondix) == NO_MASS
    assert line.is_open and len(opens(pondix)) == 2
    # The first line after the open is not read: its start may be lost.
    line.feed(b"  +12.346 g\r\n")
    assert poll(pondix) == NO_MASS
    line.feed(b"  +12.347 g\r\n")
    assert poll(pondix) == 12347


@pytest.mark.parametrize("step", ["SetupComm", "GetCommState", "SetCommState", "SetCommTimeouts"])
def test_a_configuration_step_that_fails_leaves_the_port_closed_until_a_later_try(pondix, step):
    line = pondix.backend
    line.unplug()
    assert poll(pondix) == NO_MASS
    line.replug()
    pondix.kernel32.inject_failure(step, ERROR_GEN_FAILURE)
    poll_until(pondix, lambda mg: len(opens(pondix)) == 2)
    failed = opens(pondix)[1].result
    assert not line.is_open
    assert pondix.kernel32.calls("CloseHandle")[-1].args == (failed,)
    # Never read at settings nobody asked for.
    assert not [c for c in pondix.kernel32.log if c.name in ("ClearCommError", "ReadFile")
                and c.args[0] == failed]
    poll_until(pondix, lambda mg: line.is_open)
    assert opens(pondix)[2].now - opens(pondix)[1].now >= 1000
    line.feed(b"x\r\n  +2.000 g\r\n")
    assert poll(pondix) == 2000


def test_names_title_and_date_time_never_touch_a_closed_port(pondix):
    pondix.backend.unplug()
    assert poll(pondix) == NO_MASS
    pondix.backend.replug()
    pondix.backend.clock.advance(5000)
    before = len(pondix.kernel32.log)
    assert pondix.call_register("ead", 2, returns="double").st0_float == 39127.5
    for name, channel in [("nead", 0), ("nea", 0), ("ead", 3), ("ea", 1)]:
        pondix.call_register(name, channel)
    pondix.call_register("titre")
    assert [c.name for c in pondix.kernel32.log[before:]] == ["GetLocalTime"]


def test_unload_after_a_reopen_closes_the_new_handle(pondix):
    line = pondix.backend
    line.unplug()
    assert poll(pondix) == NO_MASS
    line.replug()
    poll_until(pondix, lambda mg: line.is_open)
    r = pondix.detach(reserved=0)
    assert [(c.name, c.args) for c in r.kernel32_calls] == [("CloseHandle", (opens(pondix)[-1].result,))]
    assert not line.is_open


def test_a_tick_counter_wrapping_does_not_stop_the_reopening(load_pondix):
    from dllemu import VirtualClock
    line = ScriptedLine(VirtualClock(start=2**32 - 1500), present=False)
    emu = load_pondix(line)
    line.replug()
    poll_until(emu, lambda mg: line.is_open, seconds=3)
    assert opens(emu)[-1].now >= 2**32 - 500


def test_the_line_in_progress_when_the_port_opens_at_load_is_not_read(load_pondix):
    emu = load_pondix(settled=False)
    # Loaded while the balance was sending "ST,GS,+     12.346  g  ".
    emu.backend.feed(b"2.346  g  \r\n\r\n\r\n")
    assert poll(emu) == 0
    emu.backend.feed(b"ST,GS,+     12.347  g  \r\n\r\n\r\n")
    assert poll(emu) == 12347
