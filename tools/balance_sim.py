#!/usr/bin/python3
"""Adam balance simulator on a pseudo-terminal.

Opens a pty pair and writes on it what an Adam balance sends on its RS-232
output, so that a program (tools/pondix_host.py, minicom, ...) can read the
other side, /dev/pts/N, as it would read /dev/ttyUSB0.

Formats (--format; every line ends in CR LF). Streamed formats send --rate
lines a second, drifting (unstable) ones included; printed formats send once
when the reading becomes stable, then every --print-every seconds while it
stays, and an overload, underload or error once.

  continuous  22 characters, streamed, each line followed by --blank empty
              lines (Luna, Nimbus, Highland continuous output):
                ST,GS,+   152.734  g      stable, gross
                US,NT,-     0.250  g      unstable (settling), net
                ST,GS,+  0.152734 kg      --unit kg
                OL,GS,         OL  g      overload
                US,GS, __________  g      underload
                ERR 4                     error
  print       16 characters, printed (--mode print):
                +   152.734 g
                         OL g             overload
                 ---------- g             underload
                ERR 4                     error
  print1      Highland format 1, printed: a block of the weight (19
              characters; left out at zero), the count of weights stored
              (16), their total (19), then two empty lines; g, kg or lb:
                GROSS    152.734 g        NET after a tare
                No.           01
                Total    152.734 g
                GROSS         OL g        overload
                GROSS ---------- g        underload
                ERR 4                     error
  print2      Highland format 2, printed: 16 characters, the sign (a space
              or -), the value, a 3-character unit field (" g ", "kg ",
              "lb ", "PCS", " % "):
                     152.734 g
                    0.336721lb            --unit lb
                         305PCS           --unit pcs
                ^^^^^^^^^^^^^ g           overload
                _____________ g           underload
                E  4                      error
  single      the value and its unit alone, streamed (single-line output):
                152.734 g
                -0.250 g
                ^^^^^^^^ g                overload
                -------- g                underload
                Err 7                     error
  glp         a GLP block, printed: date, time, empty line, ID (--id), empty
              line, result, two empty lines (date-time from --clock):
                Date: 11/12/2026
                Time: 10:15:32

                ID No: 123456

                Gross: 152.734 g          Net: after a tare; "Gross: OL g",
                                          "Gross: ________ g", "Err 7"
  glp-soh     the glp block with SOH (0x01) before its first line and EOT
              (0x04) after its last, as a balance marks a block

Units (--unit): g; kg (three more decimals); lb (converted, three more
decimals); pcs (the count of --unit-weight pieces); % (of --reference
grams). With --decimal-comma the value has a comma: "12,5 g".

The script is a list of steps, run in order (and again, unless --once):
  MASS[:SECONDS]   settle to MASS grams (unstable readings drifting towards
                   it for --settle seconds), then hold it stable (default 2 s)
  OL[:SECONDS]     overload
  UL[:SECONDS]     underload
  ERR[:SECONDS]    error
  NT, GS           net or gross from here on; the next mass shows at once,
                   as after a tare
e.g. "0:2 152.734:3 OL:1 NT 0:1 48.21:3 GS 200.944".

Lines are only sent while some program has the other side open, as a real
port that nobody opened loses what arrives; with --wait the script starts
when the first reader opens it.  With --once the port closes half a second
after the script ends.  --write FILE sends nothing: it writes the bytes of
one run of the script to FILE at once.
"""

import argparse
import datetime
import json
import math
import os
import random
import select
import signal
import sys
import time
import tty
from dataclasses import dataclass
from decimal import ROUND_HALF_UP, Decimal, InvalidOperation

DEFAULT_SCRIPT = "0:1.5 152.734:2.5 OL:1 152.734:1.5 NT 0:1 48.21:2 ERR:1 GS 200.944:1.5 0:1.5"
ERROR_LINE = "ERR 4"
CONTINUOUS_WIDTH = 22
PRINT_WIDTH = 16
VALUE_WIDTH = 10
DEFAULT_HOLD = 2.0
CLOSE_DELAY = 0.5  # seconds between a single run's end and closing the port
POUND = Decimal("453.59237")
SOH, EOT = "\x01", "\x04"
UNITS = ("g", "kg", "lb", "pcs", "%")
GRAM_UNITS = ("g", "kg")  # the units whose lines give a mass in grams


class ScriptError(ValueError):
    pass


@dataclass
class Step:
    kind: str                   # "mass", "OL", "UL", "ERR", "NT", "GS"
    value: Decimal | None = None
    hold: float = 0.0


@dataclass
class Reading:
    """What the balance shows at one moment."""
    at: float                   # seconds into the scenario, before --speed
    kind: str | None            # "mass", "OL", "UL", "ERR"; None ends a single run
    value: Decimal | None = None  # grams on the pan
    stable: bool = False
    net: bool = False
    run: int = 0                # which pass through the script


@dataclass
class Sent:
    """One line on the wire, and what a reader should make of it."""
    text: str                   # without CR LF and framing
    kind: str                   # "mass", "other-unit", "no-mass", "not-weight", "blank"
    value: Decimal | None = None  # grams, for kind "mass"
    unit: str | None = None
    before: str = ""            # framing bytes before the text
    after: str = ""             # framing bytes after the CR LF

    def wire(self):
        return (self.before + self.text + "\r\n" + self.after).encode("ascii")


def blank():
    return Sent("", "blank")


def default_link():
    """Where the simulator links its pty, and where the host looks by default."""
    base = os.environ.get("XDG_RUNTIME_DIR") or "/tmp"
    return os.path.join(base, f"pondix-balance-{os.getuid()}")


def parse_script(text, decimals):
    steps = []
    quantum = Decimal(1).scaleb(-decimals)
    for token in text.replace(",", " ").split():
        head, sep, tail = token.partition(":")
        word = head.upper()
        if word in ("NT", "GS"):
            if sep:
                raise ScriptError(f"step {token!r}: {word} takes no duration")
            steps.append(Step(word))
            continue
        try:
            hold = float(tail) if sep else DEFAULT_HOLD
        except ValueError:
            raise ScriptError(f"step {token!r}: {tail!r} is not a number of seconds") from None
        if not (0 <= hold < math.inf):
            raise ScriptError(f"step {token!r}: duration must be 0 or more seconds")
        if word in ("OL", "UL", "ERR"):
            steps.append(Step(word, None, hold))
            continue
        try:
            value = Decimal(head)
        except InvalidOperation:
            raise ScriptError(f"step {token!r}: not a mass, OL, UL, ERR, NT or GS") from None
        if not value.is_finite() or value != value.quantize(quantum):
            raise ScriptError(f"step {token!r}: a mass needs at most {decimals} decimals")
        steps.append(Step("mass", value.quantize(quantum), hold))
    if not any(s.hold > 0 for s in steps):
        raise ScriptError("the script never lasts: give a step a duration")
    return steps


# soak.py streams these two, in grams, byte for byte as the formats below do.
def continuous_line(status, net, value):
    field = "NT" if net else "GS"
    if value is None:
        body = f"{status},{field}, {'OL':>{VALUE_WIDTH}}  g"
    else:
        sign = "-" if value < 0 else "+"
        body = f"{status},{field},{sign}{abs(value):>{VALUE_WIDTH}}  g"
    return body.ljust(CONTINUOUS_WIDTH)


def print_line(value):
    if value is None:
        return f" {'OL':>{VALUE_WIDTH}} g".ljust(PRINT_WIDTH)
    sign = "-" if value < 0 else "+"
    return f"{sign}{abs(value):>{VALUE_WIDTH}} g".ljust(PRINT_WIDTH)


def unit_field(unit):
    """Highland's 3 characters: " g ", "kg ", "PCS"."""
    label = "PCS" if unit == "pcs" else unit
    return f" {label} " if len(label) == 1 else label.ljust(3)


@dataclass(frozen=True)
class Units:
    """How a mass in grams is shown."""
    unit: str = "g"
    decimals: int = 3
    unit_weight: Decimal = Decimal("0.5")   # grams a piece, for pcs
    reference: Decimal = Decimal(100)       # grams that make 100 %, for %
    comma: bool = False

    def number(self, grams):
        """The value shown (signed) and the text of its magnitude."""
        places = {"kg": self.decimals + 3, "lb": self.decimals + 3, "pcs": 0}.get(
            self.unit, self.decimals)
        quantum = Decimal(1).scaleb(-places)
        shown = {"g": grams, "kg": grams.scaleb(-3), "lb": grams / POUND,
                 "pcs": grams / self.unit_weight,
                 "%": grams * 100 / self.reference}[self.unit]
        shown = shown.quantize(quantum, ROUND_HALF_UP)
        text = format(abs(shown), "f")
        return shown, text.replace(".", ",") if self.comma else text

    def signed(self, grams, plus=""):
        shown, text = self.number(grams)
        return ("-" if shown < 0 else plus) + text


class Format:
    name = ""
    streamed = False        # every --rate, drifting readings included
    width = None            # characters the value may take, sign included if signed
    signed = False
    units = UNITS

    def __init__(self, units=Units(), blank_lines=2, clock=None, ident="123456"):
        self.u = units
        self.blank_lines = blank_lines
        self.clock = clock or (lambda at: datetime.datetime.now())
        self.ident = ident

    def check(self, grams):
        if self.width:
            text = self.u.signed(grams) if self.signed else self.u.number(grams)[1]
            if len(text) > self.width:
                raise ScriptError(f"{text} {self.u.unit} takes more than {self.width} "
                                  f"characters in the {self.name} format")

    def weight(self, text, r):
        grams = self.u.unit in GRAM_UNITS
        return Sent(text, "mass" if grams else "other-unit", r.value if grams else None,
                    self.u.unit)

    def trouble(self, text, unit=True):
        return Sent(text, "no-mass", None, self.u.unit if unit else None)


class Continuous(Format):
    name = "continuous"
    streamed = True
    width = VALUE_WIDTH

    def block(self, r):
        field = "NT" if r.net else "GS"
        unit = unit_field(self.u.unit).rstrip()
        if r.kind == "mass":
            shown, text = self.u.number(r.value)
            sign = "-" if shown < 0 else "+"
            status = "ST" if r.stable else "US"
            line = self.weight(f"{status},{field},{sign}{text:>{VALUE_WIDTH}} {unit}"
                               .ljust(CONTINUOUS_WIDTH), r)
        elif r.kind == "OL":
            line = self.trouble(f"OL,{field}, {'OL':>{VALUE_WIDTH}} {unit}".ljust(CONTINUOUS_WIDTH))
        elif r.kind == "UL":
            line = self.trouble(f"US,{field}, {'_' * VALUE_WIDTH} {unit}".ljust(CONTINUOUS_WIDTH))
        else:
            line = self.trouble(ERROR_LINE, False)
        return [line] + [blank() for _ in range(self.blank_lines)]


class Print(Format):
    name = "print"
    width = VALUE_WIDTH

    def block(self, r):
        unit = self.u.unit
        if r.kind == "mass":
            shown, text = self.u.number(r.value)
            sign = "-" if shown < 0 else "+"
            return [self.weight(f"{sign}{text:>{VALUE_WIDTH}} {unit}".ljust(PRINT_WIDTH), r)]
        if r.kind == "OL":
            return [self.trouble(f" {'OL':>{VALUE_WIDTH}} {unit}".ljust(PRINT_WIDTH))]
        if r.kind == "UL":
            return [self.trouble(f" {'-' * VALUE_WIDTH} {unit}".ljust(PRINT_WIDTH))]
        return [self.trouble(ERROR_LINE, False)]


class Print1(Format):
    name = "print1"
    width = 11
    signed = True
    units = ("g", "kg", "lb")

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.run = None

    def block(self, r):
        if r.run != self.run:
            # The memory is cleared when the script starts over.
            self.run, self.count = r.run, 0
            self.total = Decimal(0).quantize(Decimal(1).scaleb(-self.u.decimals))
        label = "NET" if r.net else "GROSS"
        unit = unit_field(self.u.unit)
        if r.kind == "OL":
            lines = [self.trouble(f"{label:<5}{'OL':>{self.width}}{unit}")]
        elif r.kind == "UL":
            lines = [self.trouble(f"{label:<5}{'-' * (self.width - 1):>{self.width}}{unit}")]
        elif r.kind == "ERR":
            lines = [self.trouble(ERROR_LINE, False)]
        else:
            lines = []
            if r.value != 0:
                self.count += 1
                self.total += r.value
                lines.append(self.weight(f"{label:<5}{self.u.signed(r.value):>{self.width}}{unit}",
                                         r))
            lines += [Sent(f"No.{f'{self.count:02d}':>{self.width + 2}}", "not-weight"),
                      Sent(f"Total{self.u.signed(self.total):>{self.width}}{unit}", "not-weight")]
        return lines + [blank(), blank()]


class Print2(Format):
    name = "print2"
    width = 12

    def block(self, r):
        unit = unit_field(self.u.unit)
        if r.kind == "mass":
            shown, text = self.u.number(r.value)
            return [self.weight(f"{'-' if shown < 0 else ' '}{text:>{self.width}}{unit}", r)]
        if r.kind in ("OL", "UL"):
            row = "^" if r.kind == "OL" else "_"
            return [self.trouble(row * (self.width + 1) + unit)]
        return [self.trouble("E  4", False)]


class Single(Format):
    name = "single"
    streamed = True

    def result(self, r, overload, underload):
        if r.kind == "mass":
            return self.weight(f"{self.u.signed(r.value)} {self.u.unit}", r)
        if r.kind in ("OL", "UL"):
            return self.trouble(f"{overload if r.kind == 'OL' else underload} {self.u.unit}")
        return self.trouble("Err 7", False)

    def block(self, r):
        return [self.result(r, "^" * 8, "-" * 8)]


class Glp(Single):
    name = "glp"
    streamed = False

    def block(self, r):
        when = self.clock(r.at)
        result = self.result(r, "OL", "_" * 8)
        if r.kind != "ERR":
            result.text = f"{'Net' if r.net else 'Gross'}: {result.text}"
        return [Sent(f"Date: {when:%d/%m/%Y}", "not-weight"),
                Sent(f"Time: {when:%H:%M:%S}", "not-weight"), blank(),
                Sent(f"ID No: {self.ident}", "not-weight"), blank(),
                result, blank(), blank()]


class GlpSoh(Glp):
    name = "glp-soh"

    def block(self, r):
        lines = super().block(r)
        lines[0].before = SOH
        lines[-1].after = EOT
        return lines


FORMATS = {f.name: f for f in (Continuous, Print, Print1, Print2, Single, Glp, GlpSoh)}


def drifting(start, target, u, quantum, rng):
    """An unstable reading a fraction u of the way through settling."""
    gap = float(start - target) * math.exp(-4 * u)
    jitter = float(quantum) * rng.uniform(-4, 4) * (1 - u)
    return (target + Decimal(repr(gap + jitter))).quantize(quantum)


def scenario(steps, streamed, rate=5.0, settle=1.0, print_every=1.0, decimals=3, seed=1,
             once=False):
    """What the balance shows, each time it sends; endless unless once."""
    rng = random.Random(seed)
    quantum = Decimal(1).scaleb(-decimals)
    period = 1 / rate
    t = 0.0
    shown = Decimal(0).quantize(quantum)
    net = False
    jump = False
    run = 0
    while True:
        for step in steps:
            if step.kind in ("NT", "GS"):
                net = step.kind == "NT"
                jump = True
                continue
            start = t
            if step.kind == "mass":
                moving = settle if step.value != shown and not jump else 0.0
                end = start + moving + step.hold
                if streamed:
                    while t < end - 1e-9:
                        if t < start + moving:
                            v = drifting(shown, step.value, (t - start) / moving, quantum, rng)
                            yield Reading(t, "mass", v, False, net, run)
                        else:
                            yield Reading(t, "mass", step.value, True, net, run)
                        t += period
                else:
                    t = start + moving
                    while t < end - 1e-9:
                        yield Reading(t, "mass", step.value, True, net, run)
                        t += print_every
                shown = step.value
            else:
                end = start + step.hold
                if streamed:
                    while t < end - 1e-9:
                        yield Reading(t, step.kind, None, False, net, run)
                        t += period
                else:
                    yield Reading(t, step.kind, None, False, net, run)
            jump = False
            t = end
        if once:
            yield Reading(t, None)  # the end: hold the last reading till then
            return
        run += 1


def record_line(record, t, line, reading, fmt):
    if not line.text:
        return
    record.write(json.dumps({"t": t, "text": line.text,
                             "value": None if line.value is None else str(line.value),
                             "stable": reading.stable, "unit": line.unit, "kind": line.kind,
                             "format": fmt.name}) + "\n")


def wire(readings, fmt, record=None):
    """The bytes of a single run, at once; --record times are scenario seconds."""
    data = bytearray()
    for r in readings:
        if r.kind is None:
            break
        for line in fmt.block(r):
            if record:
                record_line(record, r.at, line, r, fmt)
            data += line.wire()
    return bytes(data)


class Stop(Exception):
    pass


def _stop(signum, frame):
    raise Stop()


class Balance:
    """The pty pair: our master side and the path of the other side."""

    def __init__(self, link=None):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        # What a reader sees before it sets its own mode: no echo, no CR -> LF.
        tty.setraw(slave)
        # With no slave fd of ours, the master hangs up whenever no reader has it open.
        os.close(slave)
        self.poll = select.poll()
        self.poll.register(self.master, select.POLLOUT)
        self.link = None
        if link:
            temporary = f"{link}.{os.getpid()}"
            os.symlink(self.path, temporary)
            os.replace(temporary, link)
            self.link = link

    def reader_present(self):
        return not any(ev & select.POLLHUP for _, ev in self.poll.poll(0))

    def congested(self):
        """The reader is so far behind that the pty refuses more."""
        return not any(ev & select.POLLOUT for _, ev in self.poll.poll(0))

    def send(self, data, bytes_per_second):
        # Paced as on the wire, so a reader can catch a line half-sent.
        chunk = max(1, int(bytes_per_second * 0.01))
        for i in range(0, len(data), chunk):
            if i:
                time.sleep(chunk / bytes_per_second)
            os.write(self.master, data[i:i + chunk])

    def close(self):
        if self.link:
            try:
                if os.readlink(self.link) == self.path:
                    os.unlink(self.link)
            except OSError:
                pass
        os.close(self.master)


def run(balance, readings, fmt, speed, baud, record, echo, wait):
    if wait:
        while not balance.reader_present():
            time.sleep(0.02)
    bytes_per_second = baud / 10 * speed
    t0 = time.monotonic()
    connected = None
    for reading in readings:
        due = t0 + reading.at / speed
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if reading.kind is None:
            # Closing the master discards what the reader has not read yet.
            time.sleep(CLOSE_DELAY)
            return
        # A print nobody reads still counts, as on a balance.
        lines = fmt.block(reading)
        present = balance.reader_present()
        if present != connected and echo:
            print("# reader connected" if present else "# no reader", flush=True)
        connected = present
        if not present or balance.congested():
            continue
        if record:
            # Before sending: a reader may decode the line before we get back here.
            for line in lines:
                record_line(record, time.time(), line, reading, fmt)
            record.flush()
        balance.send(b"".join(line.wire() for line in lines), bytes_per_second)
        if echo:
            for line in lines:
                if line.text:
                    print(line.text, flush=True)


def positive_decimal(text):
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value.is_finite() and value > 0):
        raise argparse.ArgumentTypeError(f"{text!r} is not more than 0")
    return value


def moment(text):
    try:
        return datetime.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not YYYY-MM-DD HH:MM:SS") from None


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, epilog="Stops on Ctrl-C or SIGTERM.",
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--format", choices=FORMATS, help="line format (continuous)")
    p.add_argument("--mode", choices=("continuous", "print"),
                   help="the same as --format continuous or --format print")
    p.add_argument("--unit", choices=UNITS, default="g", help="unit shown (g)")
    p.add_argument("--unit-weight", type=positive_decimal, default=Decimal("0.5"), metavar="G",
                   help="grams a piece, for --unit pcs (0.5)")
    p.add_argument("--reference", type=positive_decimal, default=Decimal(100), metavar="G",
                   help="grams that make 100 %%, for --unit %% (100)")
    p.add_argument("--decimal-comma", action="store_true", help="a comma before the decimals")
    p.add_argument("--clock", type=moment, metavar="'YYYY-MM-DD HH:MM:SS'",
                   help="the balance's date-time when the script starts, advancing with it "
                        "(glp formats; default: the real one)")
    p.add_argument("--id", default="123456", help="ID number in the glp formats (123456)")
    p.add_argument("--script", default=DEFAULT_SCRIPT, help=f'steps (default "{DEFAULT_SCRIPT}")')
    p.add_argument("--speed", type=float, default=1.0,
                   help="run the whole scenario N times faster")
    p.add_argument("--rate", type=float, default=5.0, help="streamed lines a second (5)")
    p.add_argument("--blank", type=int, default=2,
                   help="empty lines after each continuous line (2)")
    p.add_argument("--settle", type=float, default=1.0, help="seconds a new mass drifts (1)")
    p.add_argument("--print-every", type=float, default=1.0,
                   help="seconds between prints of a held mass in printed formats (1)")
    p.add_argument("--decimals", type=int, default=3, choices=range(0, 6), metavar="0..5",
                   help="decimals of the masses in g (3)")
    p.add_argument("--baud", type=int, default=9600, help="pace of the bytes on the wire (9600)")
    p.add_argument("--seed", type=int, default=1, help="seed of the settling jitter")
    p.add_argument("--once", action="store_true", help="run the script once, then close the port")
    p.add_argument("--wait", action="store_true",
                   help="start the script when a reader opens the port")
    p.add_argument("--link", default=default_link(),
                   help="symlink to the pty (default %(default)s; '' for none)")
    p.add_argument("--record", metavar="FILE",
                   help="append each line sent (empty ones aside) as JSON: t, text, value "
                        "(the grams it carries, or null), stable, unit, kind (mass, "
                        "other-unit, no-mass, not-weight), format")
    p.add_argument("--echo", action="store_true", help="print each line sent")
    p.add_argument("--write", metavar="FILE",
                   help="write one run's bytes to FILE ('-': standard output), no pty")
    args = p.parse_args(argv)
    prog = "balance_sim"
    for name in ("speed", "rate", "baud", "print_every"):
        if not getattr(args, name) > 0:
            p.error(f"--{name.replace('_', '-')} must be more than 0")
    if args.blank < 0 or args.settle < 0:
        p.error("--blank and --settle cannot be negative")
    if args.format and args.mode and args.format != args.mode:
        p.error(f"--mode {args.mode} and --format {args.format} disagree")
    kind = FORMATS[args.format or args.mode or "continuous"]
    if args.unit not in kind.units:
        p.error(f"the {kind.name} format shows {', '.join(kind.units)}, not {args.unit}")
    units = Units(args.unit, args.decimals, args.unit_weight, args.reference, args.decimal_comma)
    clock = None
    if args.clock:
        clock = lambda at: args.clock + datetime.timedelta(seconds=int(at))  # noqa: E731
    fmt = kind(units, args.blank, clock, args.id)
    try:
        steps = parse_script(args.script, args.decimals)
        for step in steps:
            if step.kind == "mass":
                fmt.check(step.value)
    except ScriptError as e:
        print(f"{prog}: bad --script: {e}", file=sys.stderr)
        return 2

    def readings(once):
        return scenario(steps, fmt.streamed, args.rate, args.settle, args.print_every,
                        args.decimals, args.seed, once)

    if args.write:
        record = open(args.record, "a", encoding="ascii") if args.record else None
        try:
            data = wire(readings(True), fmt, record)
        finally:
            if record:
                record.close()
        if args.write == "-":
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        else:
            with open(args.write, "wb") as f:
                f.write(data)
        return 0

    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGINT, _stop)
    record = None
    balance = None
    try:
        try:
            balance = Balance(args.link or None)
            record = open(args.record, "a", encoding="ascii") if args.record else None
        except OSError as e:
            print(f"{prog}: {e.filename or 'pty'}: {e.strerror}", file=sys.stderr)
            return 1
        link = f"link {balance.link}; " if balance.link else ""
        unit = f", {args.unit}" if args.unit != "g" else ""
        print(f"{prog}: {balance.path} ({link}{fmt.name} mode{unit}, {args.baud} baud)",
              flush=True)
        run(balance, readings(args.once), fmt, args.speed, args.baud, record, args.echo,
            args.wait)
    except Stop:
        pass
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if balance:
            balance.close()
        if record:
            record.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
