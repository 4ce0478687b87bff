#!/usr/bin/python3
"""Soak an emulated pondix DLL with a streaming balance on a faulty line.

    /usr/bin/python3 tools/soak.py --lines 100000 --seed 1 --dll build/windows/pondix5.dll

The balance streams lines in its continuous format (each followed by a blank
line) and its print format, every mass a different value so that a reading
names the one line it came from. Lines reach the DLL cut at random points
between polls. At random polls the line reports a receive error, and the
bytes waiting then are garbled, cut short, or followed by lost bytes, as an
overrun or a noisy line leaves them; at others the adapter is unplugged for a
few polls and what the balance sends meanwhile is lost.

After every poll (ea(0) or ead(0)) the reading must be the previous one or
the mass of an intact line completed since the previous poll, and -777
while unplugged. Anything else is a wrong reading. The exit status is 1 if
there was any, if a garbled or cut line became the reading even with the
right mass, or if an intact line far from every fault was not read.
"""

import argparse
import math
import random
import sys
import time
from collections import deque
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from balance_sim import continuous_line, print_line  # noqa: E402
from dllemu import (CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY, Emulator,  # noqa: E402
                    ScriptedLine)

RECEIVE_ERRORS = (CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME)
NOT_SERVED = -777
LF = 0x0A


@dataclass
class Faults:
    """How often the line misbehaves, per poll."""
    error_rate: float = 0.03        # a receive error reported at the poll
    outage_rate: float = 0.005      # an unplugged spell starts at the poll
    outage_polls: tuple = (1, 5)    # its length in polls
    # False: garble and lose bytes without telling the DLL (a control run:
    # the readings must then go wrong, or the soak proves nothing).
    report: bool = True


@dataclass
class Figures:
    lines_sent: int = 0             # lines carrying a mass
    blank_lines_sent: int = 0
    bytes_sent: int = 0
    polls: int = 0
    errors_injected: int = 0
    bytes_garbled: int = 0
    bytes_lost: int = 0             # dropped by errors and outages
    outages: int = 0
    polls_unplugged: int = 0
    polls_minus_777: int = 0        # unplugged polls answered -777
    lines_decoded: int = 0          # lines whose mass became the reading
    lines_superseded: int = 0       # intact, but a newer line arrived in the same poll
    lines_damaged: int = 0          # garbled or cut by a fault: never a reading
    lines_spoiled: int = 0          # intact, dropped because a fault touched them
    lines_missed: int = 0           # intact, untouched by any fault, yet not read
    lines_damaged_read: int = 0     # damaged, read anyway, their figures intact
    wrong: int = 0                  # polls answering a mass not sent, or stale
    wrong_masses: int = 0           # distinct such masses
    seconds: float = 0.0
    examples: list = field(default_factory=list)

    @property
    def lines_rightly_dropped(self):
        return self.lines_damaged + self.lines_spoiled

    @property
    def failures(self):
        return self.wrong + self.lines_damaged_read + self.lines_missed

    def report(self):
        rows = [
            ("lines sent (with a mass)", self.lines_sent),
            ("blank lines sent", self.blank_lines_sent),
            ("bytes sent", self.bytes_sent),
            ("polls", self.polls),
            ("receive errors injected", self.errors_injected),
            ("bytes garbled", self.bytes_garbled),
            ("bytes lost", self.bytes_lost),
            ("unplugged spells", self.outages),
            ("polls while unplugged", self.polls_unplugged),
            ("lines decoded (became the reading)", self.lines_decoded),
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


class Balance:
    """The lines of a balance streaming random, never repeated masses."""

    def __init__(self, rng):
        self.rng = rng
        self.used = set()

    def mass(self):
        # Milligrams as an integer: ea(0) answers them exactly for these values.
        while True:
            decimals = self.rng.choice((1, 2, 3, 3, 3))
            top = self.rng.choice((10, 1000, 100000))
            units = self.rng.randrange(top * 10 ** decimals)
            mg = units * 10 ** (3 - decimals)
            if self.rng.random() < 0.1:
                mg = -mg
            # 0 is the reading before any line; -777 mg or g means "not served".
            if mg not in self.used and mg not in (0, -777, -777000):
                self.used.add(mg)
                return mg, decimals

    def lines(self, count):
        """[(text, mg or None)], count of them carrying a mass."""
        out = []
        continuous = True
        for _ in range(count):
            if self.rng.random() < 0.002:
                continuous = not continuous
            mg, decimals = self.mass()
            grams = Decimal(mg).scaleb(-3).quantize(Decimal(1).scaleb(-decimals))
            if continuous:
                state = self.rng.choice(("ST", "ST", "US"))
                net = self.rng.choice((False, False, True))
                out.append((continuous_line(state, net, grams).encode() + b"\r\n", mg))
                out.append((b"\r\n", None))
            else:
                out.append((print_line(grams).encode() + b"\r\n", mg))
        return out


class Soak:
    def __init__(self, dll, lines, seed, faults=None, count_instructions=False):
        self.rng = random.Random(seed)
        self.faults = faults or Faults()
        self.fig = Figures()
        self.line = ScriptedLine()
        self.emu = Emulator.load(dll, backend=self.line, count_instructions=count_instructions)
        self.emu.attach()

        self.wire = bytearray()     # every byte the balance sends
        self.owner = []             # wire position -> line index
        self.mg = []                # line index -> milligrams, None for a blank line
        for text, mg in Balance(self.rng).lines(lines):
            self.owner.extend([len(self.mg)] * len(text))
            self.mg.append(mg)
            self.wire += text
            if mg is None:
                self.fig.blank_lines_sent += 1
            else:
                self.fig.lines_sent += 1
        self.fig.bytes_sent = len(self.wire)
        self.by_mg = {mg: i for i, mg in enumerate(self.mg) if mg is not None}
        n = len(self.mg)
        self.damaged = [False] * n
        self.exposed = [False] * n
        self.pos = 0                # next wire position to arrive or be lost
        self.reach = None           # a fault's reach begins here, ends at the next byte delivered
        self.reading = 0            # milligrams, as the host last saw them
        self.reading_line = -1      # the line they came from
        self.last_delivered_line = -1
        self.wrong_masses = set()
        self.recent = deque(maxlen=6)   # what the line did lately, for the report
        self.out = False            # unplugged, or (control run) losing bytes as if
        self.unplugged_for = 0

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
        if self.reach is None or start < self.reach:
            self.reach = start

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
                new = rng.choice(b"0123456789.-+ \n\r" + bytes([rng.randrange(256)]))
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

    # --- one poll ---
    def poll(self, size, calm=False):
        fig, rng, line, faults = self.fig, self.rng, self.line, self.faults
        if calm:
            faults = Faults(error_rate=0, outage_rate=0, report=faults.report)
        start, end = self.pos, min(self.pos + size, len(self.wire))
        self.pos = end
        if not self.out and self.unplugged_for == 0 and rng.random() < faults.outage_rate:
            self.unplugged_for = rng.randint(*faults.outage_polls)
            self.out = True
            fig.outages += 1
            self.fault(start, start)
            self.recent.append((fig.polls + 1, "unplugged"))
            if faults.report:
                line.unplug()
        if self.unplugged_for > 0:
            self.unplugged_for -= 1
            self.lose(start, end)
            fig.polls_unplugged += 1
            self.check([], unplugged=faults.report)
            return
        if self.out:
            self.out = False
            line.replug()
            # It comes back somewhere in the middle of this chunk.
            cut = rng.randint(start, end)
            self.recent.append((fig.polls + 1, "replugged", f"{cut - start} more bytes lost"))
            self.lose(start, cut)
            start = cut
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
        self.check(completed, unplugged=False)

    def ask(self):
        """The reading in milligrams, through ea(0) or ead(0)."""
        self.fig.polls += 1
        if len(self.emu.kernel32.log) > 10000:
            self.emu.kernel32.log.clear()
        if self.rng.random() < 0.5:
            return self.emu.call_register("ea", 0).eax_signed, "ea"
        grams = self.emu.call_register("ead", 0, returns="double").st0_float
        # Only the exact double of a sent line's digits names that line.
        if math.isfinite(grams) and round(grams * 1000) / 1000 == grams:
            return round(grams * 1000), "ead"
        return ("grams", grams), "ead"

    def check(self, completed, unplugged):
        fig = self.fig
        got, how = self.ask()
        if unplugged:
            if got == (NOT_SERVED if how == "ea" else NOT_SERVED * 1000):
                fig.polls_minus_777 += 1
            else:
                self.wrong(got, how, "while unplugged")
            return
        intact = [i for i in completed if self.mg[i] is not None and not self.damaged[i]]
        line = self.by_mg.get(got) if got != self.reading else None
        if line in intact:
            fig.lines_decoded += 1
            k = intact.index(line)
            fig.lines_superseded += k
            dropped = intact[k + 1:]
            self.reading, self.reading_line = got, line
        elif got == self.reading:
            dropped = intact
        elif (line is not None and self.damaged[line]
              and self.reading_line < line <= self.last_delivered_line):
            # The DLL read a line it should not trust, but its figures came through.
            fig.lines_damaged_read += 1
            self.example(f"{how}(0) gave {got} mg from a garbled or cut line")
            dropped = [i for i in intact if i > line]
            fig.lines_superseded += len(intact) - len(dropped)
            self.reading, self.reading_line = got, line
        else:
            if line is None:
                why = "a mass no line carried"
            else:
                why = "the mass of an earlier line, not of one just completed"
            self.wrong(got, how, why)
            dropped = intact
        for i in dropped:
            if self.exposed[i]:
                fig.lines_spoiled += 1
            else:
                fig.lines_missed += 1
                self.example(f"missed {self.wire_text(i)!r}")

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
        return bytes(self.wire[first:first + 30].split(b"\n")[0] + b"\n")

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
        # Settle: plug back in and collect what is left.
        while self.out:
            self.poll(0, calm=True)
        self.poll(0, calm=True)
        self.fig.lines_damaged = sum(1 for i, mg in enumerate(self.mg)
                                     if mg is not None and self.damaged[i])
        self.fig.seconds = time.monotonic() - t0
        return self.fig


def run(dll, lines, seed, faults=None):
    """Figures of one soak of `lines` lines through the DLL at `dll`."""
    return Soak(dll, lines, seed, faults).run()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dll", default=str(Path(__file__).resolve().parents[1]
                                             / "build" / "windows" / "pondix5.dll"))
    parser.add_argument("--lines", type=int, default=100000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--error-rate", type=float, default=Faults.error_rate)
    parser.add_argument("--outage-rate", type=float, default=Faults.outage_rate)
    parser.add_argument("--silent-faults", action="store_true",
                        help="garble and lose bytes without telling the DLL (control run)")
    args = parser.parse_args(argv)
    faults = Faults(error_rate=args.error_rate, outage_rate=args.outage_rate,
                    report=not args.silent_faults)
    print(f"soak: {args.dll}, {args.lines} lines, seed {args.seed}", flush=True)
    fig = run(args.dll, args.lines, args.seed, faults)
    print(fig.report())
    return 1 if fig.failures else 0


if __name__ == "__main__":
    sys.exit(main())
