#!/usr/bin/python3
"""Soak an emulated pondix DLL with a balance on a faulty line.

    /usr/bin/python3 tools/soak.py --lines 100000 --seed 1 --dll build/windows/pondix5.dll

The balance sends its readings in all the formats of tools/balance_sim.py
(continuous, print 1 and 2, single line, GLP blocks with and without
SOH/EOT), mostly in g, sometimes in kg, lb, pieces or percent, with
overload, underload and error lines among them; every mass is a different
value, so that a reading names the one line it came from. Lines reach the DLL
cut at random points between polls, and the clock moves as the bytes take
on the wire. At random polls the line reports a receive error, and the bytes
waiting then are garbled, cut short, or followed by lost bytes; at others the
adapter is unplugged for a while (the handle dies, the DLL must close it and
open the port again once it is back), or a status query fails once.

After every poll (ea(0) or ead(0)) the answer must be the previous one, the
mass of an intact weight line in grams completed since, or -777 where the
rules say: while the port is lost or not yet open again, from an outage
until a fresh line, after a line in another unit or saying there is no mass.
Anything else is a wrong reading. The exit status is 1 if there was any, if
a garbled or cut line became the reading, or if an intact line far from
every fault was not read.
"""

import argparse
import datetime
import random
import sys
import time
from collections import deque
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from balance_sim import FORMATS, Reading, Units  # noqa: E402
from dllemu import (CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY, Emulator,  # noqa: E402
                    ScriptedLine)
from dllemu.kernel32 import (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,  # noqa: E402
                             ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED)

RECEIVE_ERRORS = (CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME)
UNPLUG_ERRORS = (ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED, ERROR_ACCESS_DENIED)
NOT_SERVED = -777
LF = 0x0A
MS_PER_BYTE = 10 / 9.6     # 9600 baud, 10 bits a byte
SHORT = 5                  # lines this long or shorter only count to say "no mass"


@dataclass
class Faults:
    """How often the line misbehaves, per poll."""
    error_rate: float = 0.03        # a receive error reported at the poll
    outage_rate: float = 0.004      # the adapter is pulled out at the poll
    outage_ms: tuple = (200, 4000)  # for this long
    glitch_rate: float = 0.002      # a status query fails once
    # False: garble and lose bytes without telling the DLL (a control run:
    # the readings must then go wrong, or the soak proves nothing).
    report: bool = True


@dataclass
class Figures:
    lines_sent: int = 0             # weight lines in grams
    other_lines_sent: int = 0       # no mass, another unit, counters, dates...
    blank_lines_sent: int = 0
    bytes_sent: int = 0
    polls: int = 0
    errors_injected: int = 0
    bytes_garbled: int = 0
    bytes_lost: int = 0             # dropped by errors and outages
    outages: int = 0                # adapter pulled out and put back
    glitches: int = 0               # status queries failing once
    reopens: int = 0                # new handles the DLL opened
    polls_port_lost: int = 0        # polls while no live handle was open
    polls_minus_777: int = 0
    lines_decoded: int = 0          # weight lines whose mass became the reading
    no_mass_read: int = 0           # no-mass / other-unit lines that made it -777
    lines_superseded: int = 0       # intact, but a newer line decided in the same poll
    lines_damaged: int = 0          # garbled or cut by a fault: never a reading
    lines_spoiled: int = 0          # intact, dropped because a fault touched them
    lines_missed: int = 0           # intact, untouched by any fault, yet not read
    lines_damaged_read: int = 0     # damaged, read anyway, their figures intact
    wrong: int = 0                  # polls answering a mass not sent, or stale
    wrong_masses: int = 0           # distinct such masses
    seconds: float = 0.0
    formats: dict = field(default_factory=dict)
    examples: list = field(default_factory=list)

    @property
    def lines_rightly_dropped(self):
        return self.lines_damaged + self.lines_spoiled

    @property
    def failures(self):
        return self.wrong + self.lines_damaged_read + self.lines_missed

    def report(self):
        rows = [
            ("weight lines sent (grams)", self.lines_sent),
            ("other lines sent", self.other_lines_sent),
            ("blank lines sent", self.blank_lines_sent),
            ("bytes sent", self.bytes_sent),
            ("lines by format", ", ".join(f"{k} {v}" for k, v in sorted(self.formats.items()))),
            ("polls", self.polls),
            ("receive errors injected", self.errors_injected),
            ("bytes garbled", self.bytes_garbled),
            ("bytes lost", self.bytes_lost),
            ("adapter unplugged and replugged", self.outages),
            ("status queries failed once", self.glitches),
            ("port opened again by the DLL", self.reopens),
            ("polls with the port lost", self.polls_port_lost),
            ("weight lines decoded (became the reading)", self.lines_decoded),
            ("no-mass or other-unit lines read as -777", self.no_mass_read),
            ("lines superseded in their poll", self.lines_superseded),
            ("lines rightly dropped", self.lines_rightly_dropped),
            ("  garbled or cut", self.lines_damaged),
            ("  intact, next to a fault", self.lines_spoiled),
            ("lines missed (intact, no fault near)", self.lines_missed),
            ("damaged lines read, mass still right", self.lines_damaged_read),
            ("polls answered -777", self.polls_minus_777),
            ("wrong readings (polls)", self.wrong),
            ("  distinct wrong masses", self.wrong_masses),
            ("seconds", round(self.seconds, 1)),
        ]
        width = max(len(name) for name, _ in rows)
        out = [f"{name:<{width}}  {value}" for name, value in rows]
        out += [f"! {e}" for e in self.examples]
        return "\n".join(out)


@dataclass
class Line:
    """One line on the wire."""
    kind: str        # "mass", "other-unit", "no-mass", "not-weight", "blank"
    mg: int | None   # for "mass"
    length: int      # characters the DLL stores

    @property
    def effective(self):
        return self.length > SHORT or self.kind == "no-mass"

    @property
    def decides(self):
        return self.effective and self.kind in ("mass", "other-unit", "no-mass")


class Balance:
    """A balance switching now and then between formats and units, every
    mass a value not sent before."""

    # (format, unit, weight): g most of the time, as in a lab.
    SETUPS = ([(f, "g", 30) for f in ("continuous", "print", "print1", "print2", "single",
                                      "glp", "glp-soh")]
              + [("continuous", "kg", 10), ("print1", "kg", 5), ("single", "kg", 5),
                 ("print2", "lb", 2), ("print2", "pcs", 2), ("single", "%", 2),
                 ("continuous", "lb", 2)])

    def __init__(self, rng):
        self.rng = rng
        self.used = set()

    @staticmethod
    def clock(at):
        # GLP blocks print a date and time: fixed, so that a seed gives one wire.
        return datetime.datetime(2026, 12, 11, 10, 15, 32)

    def grams(self, decimals):
        # Milligrams as an integer: ea(0) answers them exactly for these values.
        while True:
            top = self.rng.choice((10, 1000, 100000))
            units = self.rng.randrange(1, top * 10 ** decimals)
            mg = units * 10 ** (3 - decimals)
            if self.rng.random() < 0.1:
                mg = -mg
            # -777 mg or g means "not served".
            if mg not in self.used and mg not in (-777, -777000):
                self.used.add(mg)
                return Decimal(mg).scaleb(-3).quantize(Decimal(1).scaleb(-decimals))

    def lines(self, count, figures):
        """[(wire bytes, Line)] with `count` weight lines in grams among them."""
        out = []
        masses = 0
        run = 0
        while masses < count:
            name, unit, _ = self.rng.choices(self.SETUPS, [s[2] for s in self.SETUPS])[0]
            decimals = self.rng.choice((1, 2, 3))
            fmt = FORMATS[name](units=Units(unit=unit, decimals=decimals), clock=self.clock)
            run += 1
            for _ in range(self.rng.randint(5, 60)):
                trouble = self.rng.random()
                if trouble < 0.03:
                    kind = self.rng.choice(("OL", "UL", "ERR"))
                    reading = Reading(0, kind, None, True, False, run)
                else:
                    value = self.grams(decimals)
                    reading = Reading(0, "mass", value, self.rng.random() < 0.8,
                                      self.rng.random() < 0.2, run)
                    try:
                        fmt.check(value)
                    except ValueError:
                        continue
                for sent in fmt.block(reading):
                    mg = None
                    if sent.kind == "mass":
                        mg = int(sent.value * 1000)
                        masses += 1
                    wire = sent.wire()
                    stored = sum(1 for b in sent.text.encode("latin-1") if b > 13)
                    out.append((wire, Line(sent.kind, mg, stored)))
                    figures.formats[name] = figures.formats.get(name, 0) + 1
        return out


class Soak:
    def __init__(self, dll, lines, seed, faults=None, count_instructions=False):
        self.rng = random.Random(seed)
        self.faults = faults or Faults()
        self.fig = Figures()
        self.line = ScriptedLine()
        self.emu = Emulator.load(dll, backend=self.line, count_instructions=count_instructions)
        self.emu.attach()
        self.clock = self.line.clock

        self.wire = bytearray()     # every byte the balance sends
        self.owner = []             # wire position -> line index
        self.lines = []             # line index -> Line
        for data, line in Balance(self.rng).lines(lines, self.fig):
            self.owner.extend([len(self.lines)] * len(data))
            self.lines.append(line)
            self.wire += data
            if line.kind == "mass":
                self.fig.lines_sent += 1
            elif line.kind == "blank":
                self.fig.blank_lines_sent += 1
            else:
                self.fig.other_lines_sent += 1
        self.fig.bytes_sent = len(self.wire)
        self.by_mg = {ln.mg: i for i, ln in enumerate(self.lines) if ln.mg is not None}
        n = len(self.lines)
        self.damaged = [False] * n
        self.exposed = [False] * n
        self.pos = 0                # next wire position to arrive or be lost
        # The port opened at load wherever the balance was: the first line
        # may be a tail.
        self.reach = 0
        self.reading = 0            # milligrams as the host last saw them, or NOT_SERVED
        self.reading_line = -1
        self.stale = False          # an outage began and no fresh line has come since
        self.last_delivered_line = -1
        self.wrong_masses = set()
        self.recent = deque(maxlen=6)   # what the line did lately, for the report
        self.back_at = None         # the clock time the adapter comes back

    # --- the line ---
    def lose(self, start, end):
        for p in range(start, end):
            self.damaged[self.owner[p]] = True
        self.fig.bytes_lost += end - start

    def expose(self, first, last):
        for i in range(first, last + 1):
            self.exposed[i] = True

    def fault(self, start, end):
        """A fault at the bytes start..end: it reaches the line in progress
        before them and runs on to the line of the next byte delivered."""
        if end > start:
            self.expose(self.owner[start], self.owner[end - 1])
        elif start < len(self.owner):
            self.expose(self.owner[start], self.owner[start])
        if self.reach is None or start < self.reach:
            self.reach = start

    def outage(self, start):
        """The port goes: what was waiting is lost, and no mass until a fresh line."""
        self.fault(start, start)
        self.stale = True

    def deliver(self, pieces):
        """Feed [(wire position, byte)]; returns the lines whose own LF arrived."""
        if pieces and self.reach is not None:
            self.expose(self.owner[self.reach], self.owner[pieces[0][0]])
            self.reach = None
        if pieces:
            self.last_delivered_line = self.owner[pieces[-1][0]]
        data = bytes(b for _, b in pieces)
        self.line.feed(data)
        if data:
            self.recent.append((self.fig.polls + 1, "fed", data[-48:]))
        return [self.owner[p] for p, b in pieces if b == LF and self.wire[p] == LF]

    def garble(self, start, end):
        """What a receive error leaves of the bytes waiting: [(position, byte)]."""
        rng = self.rng
        pieces = [(p, self.wire[p]) for p in range(start, end)]
        if pieces and rng.random() < 0.5:
            for _ in range(rng.randint(1, 3)):
                k = rng.randrange(len(pieces))
                p, old = pieces[k]
                new = rng.choice(b"0123456789.,-+ gk\n\r" + bytes([rng.randrange(256)]))
                if new != old:
                    pieces[k] = (p, new)
                    self.damaged[self.owner[p]] = True
                    self.fig.bytes_garbled += 1
        if pieces and rng.random() < 0.5:
            k = rng.randrange(len(pieces))
            n = rng.randint(1, 8)
            for p, _ in pieces[k:k + n]:
                self.damaged[self.owner[p]] = True
            self.fig.bytes_lost += len(pieces[k:k + n])
            del pieces[k:k + n]
        return pieces

    def alive(self):
        return self.line.is_open and self.line.dead is None

    # --- one poll ---
    def poll(self, size, calm=False):
        fig, rng, line = self.fig, self.rng, self.line
        faults = (Faults(error_rate=0, outage_rate=0, glitch_rate=0, report=self.faults.report)
                  if calm else self.faults)
        start, end = self.pos, min(self.pos + size, len(self.wire))
        self.pos = end
        self.clock.advance(max(20, round((end - start) * MS_PER_BYTE)))
        if self.back_at is None and rng.random() < faults.outage_rate:
            fig.outages += 1
            self.back_at = self.clock.now + rng.randint(*faults.outage_ms)
            self.recent.append((fig.polls + 1, "unplugged"))
            if faults.report:
                line.unplug(rng.choice(UNPLUG_ERRORS))
            self.outage(start)
        if self.back_at is not None and self.clock.now >= self.back_at:
            self.back_at = None
            line.replug()
            self.recent.append((fig.polls + 1, "replugged"))
        if self.back_at is not None or (faults.report and not self.alive()):
            # Nothing reaches a port that is not open: lost, even if the DLL
            # opens it in this poll (a new handle starts empty).
            self.lose(start, end)
            fig.polls_port_lost += 1
            self.check([], lost=faults.report)
            return
        if rng.random() < faults.glitch_rate:
            fig.glitches += 1
            self.recent.append((fig.polls + 1, "status query fails"))
            if faults.report:
                line.glitch(ERROR_GEN_FAILURE)
                self.lose(start, end)
                self.outage(start)
                self.check([], lost=True)
                return
        if rng.random() < faults.error_rate:
            fig.errors_injected += 1
            flag = rng.choice(RECEIVE_ERRORS)
            self.recent.append((fig.polls + 1, f"error {flag:#x}"))
            if faults.report:
                line.inject_errors(flag)
            pieces = self.garble(start, end)
            if rng.random() < 0.3:
                # An overrun: bytes after those waiting never arrive.
                gap = min(rng.randint(1, 30), len(self.wire) - self.pos)
                self.lose(self.pos, self.pos + gap)
                self.pos += gap
            completed = self.deliver(pieces)
            self.fault(start, self.pos)
        else:
            completed = self.deliver([(p, self.wire[p]) for p in range(start, end)])
        self.check(completed, lost=False)

    def ask(self):
        """The answer in milligrams (NOT_SERVED for -777), through ea(0) or ead(0)."""
        self.fig.polls += 1
        if len(self.emu.kernel32.log) > 10000:
            self.emu.kernel32.log.clear()
        opens_before = len(self.emu.kernel32.calls("CreateFileA"))
        if self.rng.random() < 0.5:
            got, how = self.emu.call_register("ea", 0).eax_signed, "ea"
        else:
            grams = self.emu.call_register("ead", 0, returns="double").st0_float
            how = "ead"
            if grams == -777.0:
                got = NOT_SERVED
            elif round(grams * 1000) / 1000 == grams:
                # Only the exact double of a sent line's digits names that line.
                got = round(grams * 1000)
            else:
                got = ("grams", grams)
        opened = [c for c in self.emu.kernel32.calls("CreateFileA")[opens_before:]
                  if c.result != 0xFFFFFFFF]
        self.fig.reopens += len(opened)
        return got, how

    def check(self, completed, lost):
        fig = self.fig
        got, how = self.ask()
        if got == NOT_SERVED:
            fig.polls_minus_777 += 1
        if lost:
            if got != NOT_SERVED:
                self.wrong(got, how, "while the port was lost")
            return
        intact = [i for i in completed if not self.damaged[i] and self.lines[i].decides]
        # The newest line of this poll that decides the answer.
        decider = intact[-1] if intact else None
        masses = {self.lines[i].mg: i for i in intact if self.lines[i].kind == "mass"}
        withdrawn = any(self.lines[i].kind != "mass" for i in intact)
        if got != NOT_SERVED and got in masses:
            line = masses[got]
            fig.lines_decoded += 1
            self.stale = False
            self.reading, self.reading_line = got, line
            fig.lines_superseded += sum(1 for i in intact if i < line)
            passed = [i for i in intact if i > line]
        elif got == NOT_SERVED and (self.stale or withdrawn):
            if not self.stale and self.reading != NOT_SERVED:
                fig.no_mass_read += 1
            self.reading = NOT_SERVED
            passed = [i for i in intact if self.lines[i].kind == "mass"] if self.stale else []
            if not self.stale:
                last = max(i for i in intact if self.lines[i].kind != "mass")
                fig.lines_superseded += sum(1 for i in intact if i < last)
                passed = [i for i in intact if i > last]
        elif got == self.reading and not self.stale:
            passed = intact
        else:
            line = self.by_mg.get(got) if isinstance(got, int) else None
            if (line is not None and self.damaged[line]
                    and self.reading_line < line <= self.last_delivered_line):
                fig.lines_damaged_read += 1
                self.example(f"{how}(0) gave {got} mg from a garbled or cut line")
            elif self.stale:
                self.wrong(got, how, "after an outage, before a fresh line")
            elif line is None:
                self.wrong(got, how, "a mass no line carried")
            else:
                self.wrong(got, how, "the mass of an earlier line, not of one just completed")
            self.reading = got
            passed = []
        # Lines the answer passed over: rightly (a fault was near) or missed.
        for i in passed:
            if self.exposed[i]:
                fig.lines_spoiled += 1
            elif i == decider:
                fig.lines_missed += 1
                self.example(f"missed {self.wire_text(i)!r} (answered {got})")
            else:
                fig.lines_superseded += 1

    def wrong(self, got, how, why):
        fig = self.fig
        fig.wrong += 1
        if got not in self.wrong_masses:
            self.wrong_masses.add(got)
            fig.wrong_masses += 1
        self.example(f"{how}(0) gave {got} mg, {why}; previous {self.reading}")

    def example(self, what):
        if len(self.fig.examples) < 10:
            self.fig.examples.append(f"poll {self.fig.polls}: {what}; recent: {list(self.recent)}")

    def wire_text(self, i):
        first = self.owner.index(i)
        return bytes(self.wire[first:first + 40].split(b"\n")[0] + b"\n")

    def chunk(self):
        r = self.rng.random()
        if r < 0.7:
            return self.rng.randint(0, 30)
        if r < 0.95:
            return self.rng.randint(31, 120)
        return self.rng.randint(121, 250)

    def run(self):
        t0 = time.monotonic()
        while self.pos < len(self.wire):
            self.poll(self.chunk())
        # Settle: plug back in, let the port open again, collect what is left.
        while self.back_at is not None or not self.alive():
            self.poll(0, calm=True)
        self.poll(0, calm=True)
        self.fig.lines_damaged = sum(1 for i, ln in enumerate(self.lines)
                                     if ln.kind == "mass" and self.damaged[i])
        self.fig.seconds = time.monotonic() - t0
        return self.fig


def run(dll, lines, seed, faults=None):
    """Figures of one soak of `lines` weight lines through the DLL at `dll`."""
    return Soak(dll, lines, seed, faults).run()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dll", default=str(Path(__file__).resolve().parents[1]
                                             / "build" / "windows" / "pondix5.dll"))
    parser.add_argument("--lines", type=int, default=100000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--error-rate", type=float, default=Faults.error_rate)
    parser.add_argument("--outage-rate", type=float, default=Faults.outage_rate)
    parser.add_argument("--glitch-rate", type=float, default=Faults.glitch_rate)
    parser.add_argument("--silent-faults", action="store_true",
                        help="garble and lose bytes without telling the DLL (control run)")
    args = parser.parse_args(argv)
    faults = Faults(error_rate=args.error_rate, outage_rate=args.outage_rate,
                    glitch_rate=args.glitch_rate, report=not args.silent_faults)
    print(f"soak: {args.dll}, {args.lines} weight lines, seed {args.seed}", flush=True)
    fig = run(args.dll, args.lines, args.seed, faults)
    print(fig.report())
    return 1 if fig.failures else 0


if __name__ == "__main__":
    sys.exit(main())
