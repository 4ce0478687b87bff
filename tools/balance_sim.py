#!/usr/bin/python3
"""Adam balance simulator on a pseudo-terminal.

Opens a pty pair and writes on it what an Adam balance sends on its RS-232
output, so that a program (tools/pondix_host.py, minicom, ...) can read the
other side, /dev/pts/N, as it would read /dev/ttyUSB0.

Line formats (CR LF after each line; g is the only unit):

  continuous  22 characters, several lines a second, each followed by
              --blank empty lines (CR LF only):
                ST,GS,+    12.345  g      stable, gross
                US,NT,-     0.250  g      unstable (settling), net
                OL,GS,         OL  g      overload
  print       16 characters, once when the reading becomes stable and
              again every --print-every seconds while it stays:
                +    12.345 g
                         OL g             overload
  both        ERR 4                       error (5 characters)

Status, sign and value sit within the first 20 characters.

The script is a list of steps, run in order (and again, unless --once):
  MASS[:SECONDS]   settle to MASS grams (unstable readings drifting towards
                   it for --settle seconds), then hold it stable (default 2 s)
  OL[:SECONDS]     overload
  ERR[:SECONDS]    error
  NT, GS           net or gross from here on; the next mass shows at once,
                   as after a tare
e.g. "0:2 152.734:3 OL:1 NT 0:1 48.21:3 GS 200.944".

Lines are only sent while some program has the other side open, as a real
port that nobody opened loses what arrives; with --wait the script starts
when the first reader opens it.  With --once the port closes half a second
after the script ends.
"""

import argparse
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
from decimal import Decimal, InvalidOperation

DEFAULT_SCRIPT = "0:1.5 152.734:2.5 OL:1 152.734:1.5 NT 0:1 48.21:2 ERR:1 GS 200.944:1.5 0:1.5"
ERROR_LINE = "ERR 4"
CONTINUOUS_WIDTH = 22
PRINT_WIDTH = 16
VALUE_WIDTH = 10
DEFAULT_HOLD = 2.0
CLOSE_DELAY = 0.5  # seconds between a single run's end and closing the port


class ScriptError(ValueError):
    pass


@dataclass
class Step:
    kind: str                   # "mass", "OL", "ERR", "NT", "GS"
    value: Decimal | None = None
    hold: float = 0.0


@dataclass
class Line:
    at: float                   # seconds into the scenario, before --speed
    text: str | None            # without CR LF; None marks the end of a single run
    value: Decimal | None       # the mass the line shows, if any
    stable: bool


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
        if word in ("OL", "ERR"):
            steps.append(Step(word, None, hold))
            continue
        try:
            value = Decimal(head)
        except InvalidOperation:
            raise ScriptError(f"step {token!r}: not a mass, OL, ERR, NT or GS") from None
        if not value.is_finite() or value != value.quantize(quantum):
            raise ScriptError(f"step {token!r}: a mass needs at most {decimals} decimals")
        value = value.quantize(quantum)
        if len(f"{abs(value)}") > VALUE_WIDTH:
            raise ScriptError(f"step {token!r}: more than {VALUE_WIDTH} characters")
        steps.append(Step("mass", value, hold))
    if not any(s.hold > 0 for s in steps):
        raise ScriptError("the script never lasts: give a step a duration")
    return steps


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


def drifting(start, target, u, quantum, rng):
    """An unstable reading a fraction u of the way through settling."""
    gap = float(start - target) * math.exp(-4 * u)
    jitter = float(quantum) * rng.uniform(-4, 4) * (1 - u)
    return (target + Decimal(repr(gap + jitter))).quantize(quantum)


def scenario(steps, mode, rate=5.0, settle=1.0, print_every=1.0, decimals=3, seed=1,
             once=False):
    """The lines the balance sends, with their times; endless unless once."""
    rng = random.Random(seed)
    quantum = Decimal(1).scaleb(-decimals)
    period = 1 / rate
    t = 0.0
    shown = Decimal(0).quantize(quantum)
    net = False
    jump = False
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
                if mode == "continuous":
                    while t < end - 1e-9:
                        if t < start + moving:
                            v = drifting(shown, step.value, (t - start) / moving, quantum, rng)
                            yield Line(t, continuous_line("US", net, v), v, False)
                        else:
                            yield Line(t, continuous_line("ST", net, step.value), step.value, True)
                        t += period
                else:
                    t = start + moving
                    while t < end - 1e-9:
                        yield Line(t, print_line(step.value), step.value, True)
                        t += print_every
                shown = step.value
            else:
                end = start + step.hold
                if mode == "continuous":
                    while t < end - 1e-9:
                        text = (continuous_line("OL", net, None) if step.kind == "OL"
                                else ERROR_LINE)
                        yield Line(t, text, None, False)
                        t += period
                else:
                    yield Line(t, print_line(None) if step.kind == "OL" else ERROR_LINE,
                               None, False)
            jump = False
            t = end
        if once:
            yield Line(t, None, None, False)  # the end: hold the last reading till then
            return


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


def run(balance, lines, speed, baud, blank, mode, record, echo, wait):
    if wait:
        while not balance.reader_present():
            time.sleep(0.02)
    bytes_per_second = baud / 10 * speed
    tail = "\r\n" * (1 + (blank if mode == "continuous" else 0))
    t0 = time.monotonic()
    connected = None
    for line in lines:
        due = t0 + line.at / speed
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if line.text is None:
            # Closing the master discards what the reader has not read yet.
            time.sleep(CLOSE_DELAY)
            return
        present = balance.reader_present()
        if present != connected and echo:
            print("# reader connected" if present else "# no reader", flush=True)
        connected = present
        if not present or balance.congested():
            continue
        if record:
            # Before sending: a reader may decode the line before we get back here.
            record.write(json.dumps({"t": time.time(), "text": line.text,
                                     "value": None if line.value is None else str(line.value),
                                     "stable": line.stable}) + "\n")
            record.flush()
        balance.send((line.text + tail).encode("ascii"), bytes_per_second)
        if echo:
            print(line.text, flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, epilog="Stops on Ctrl-C or SIGTERM.",
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--mode", choices=("continuous", "print"), default="continuous")
    p.add_argument("--script", default=DEFAULT_SCRIPT, help=f'steps (default "{DEFAULT_SCRIPT}")')
    p.add_argument("--speed", type=float, default=1.0,
                   help="run the whole scenario N times faster")
    p.add_argument("--rate", type=float, default=5.0, help="continuous lines a second (5)")
    p.add_argument("--blank", type=int, default=2,
                   help="empty lines after each continuous line (2)")
    p.add_argument("--settle", type=float, default=1.0, help="seconds a new mass drifts (1)")
    p.add_argument("--print-every", type=float, default=1.0,
                   help="seconds between prints of a held mass in print mode (1)")
    p.add_argument("--decimals", type=int, default=3, choices=range(0, 6), metavar="0..5",
                   help="decimals of the masses (3)")
    p.add_argument("--baud", type=int, default=9600, help="pace of the bytes on the wire (9600)")
    p.add_argument("--seed", type=int, default=1, help="seed of the settling jitter")
    p.add_argument("--once", action="store_true", help="run the script once, then close the port")
    p.add_argument("--wait", action="store_true",
                   help="start the script when a reader opens the port")
    p.add_argument("--link", default=default_link(),
                   help="symlink to the pty (default %(default)s; '' for none)")
    p.add_argument("--record", metavar="FILE", help="append each line sent as JSON")
    p.add_argument("--echo", action="store_true", help="print each line sent")
    args = p.parse_args(argv)
    prog = "balance_sim"
    for name in ("speed", "rate", "baud", "print_every"):
        if not getattr(args, name) > 0:
            p.error(f"--{name.replace('_', '-')} must be more than 0")
    if args.blank < 0 or args.settle < 0:
        p.error("--blank and --settle cannot be negative")
    try:
        steps = parse_script(args.script, args.decimals)
    except ScriptError as e:
        print(f"{prog}: bad --script: {e}", file=sys.stderr)
        return 2

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
        print(f"{prog}: {balance.path} ({link}{args.mode} mode, {args.baud} baud)", flush=True)
        lines = scenario(steps, args.mode, args.rate, args.settle, args.print_every,
                         args.decimals, args.seed, args.once)
        run(balance, lines, args.speed, args.baud, args.blank, args.mode, record, args.echo,
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
