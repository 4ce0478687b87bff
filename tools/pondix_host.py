#!/usr/bin/python3
"""Emulated host: loads pondix5.dll or pondix1.dll in the x86 emulator and
reads a balance through it on a real Linux serial device.

The DLL's port (Com5: or Com1:) is the device given by --device: by default
the pseudo-terminal of tools/balance_sim.py, or e.g. /dev/ttyUSB0 for a real
balance.  Every --interval the host asks for the mass in g and in mg and for
the date-time, as a measurement program would, and shows the readings: one
line per change, and on a terminal a status line kept up to date.
"""

import argparse
import datetime
import json
import os
import shutil
import signal
import sys
import time
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
sys.path.insert(0, str(TOOLS))

from balance_sim import default_link  # noqa: E402
from dllemu import EmulatorError, Emulator  # noqa: E402
from dllemu.ttyline import TtyLine, device_problem  # noqa: E402

NO_PORT = -777.0
OLE_EPOCH = datetime.datetime(1899, 12, 30)
PROG = "pondix_host"

# export names per convention: the base functions, or their stdcall adapters
EXPORTS = {
    "register": {"ead": "ead", "nead": "nead", "nea": "nea", "titre": "titre", "detail": "detail"},
    "stdcall": {"ead": "stdead", "nead": "stdnead", "nea": "stdnea", "titre": "stdtitre",
                "detail": "stddetail"},
}


class Fatal(Exception):
    """A problem reported in one line, ending the host."""


class Host:
    """The DLL, called as a measurement program calls it."""

    def __init__(self, dll, device, convention="register"):
        self.names = EXPORTS[convention]
        self.call = {"register": Emulator.call_register,
                     "stdcall": Emulator.call_stdcall}[convention]
        try:
            # pefile reports an unreadable file as a bare Exception.
            with open(dll, "rb"):
                pass
            # Counting instructions would halve how fast a poll drains the line.
            self.emu = Emulator.load(dll, backend=TtyLine(device), count_instructions=False)
        except OSError as e:
            raise Fatal(f"{dll}: {e.strerror}") from None
        except EmulatorError as e:
            raise Fatal(str(e)) from None
        missing = [n for n in self.names.values() if n not in self.emu.exports]
        if missing:
            raise Fatal(f"{dll}: lacks the export {', '.join(missing)}: not a pondix DLL")
        self.emu.kernel32.local_time = datetime.datetime.now
        self.line = self.emu.backend
        self.attached = False

    def _call(self, name, channel=None, returns="int"):
        args = () if channel is None else (channel,)
        return self.call(self.emu, self.names[name], *args, returns=returns)

    def text(self, name, channel=None):
        return self._call(name, channel, returns="str").text.decode("cp1252")

    def double(self, channel):
        return self._call("ead", channel, returns="double").st0_float

    def attach(self):
        self.emu.attach()
        self.attached = True

    def detach(self):
        # FreeLibrary: the DLL closes its port.
        if self.attached:
            self.attached = False
            self.emu.detach()

    def describe(self):
        return {"title": self.text("titre"), "detail": self.text("detail"),
                "nea": self.text("nea", 0), "nead": [self.text("nead", c) for c in (0, 1, 2)]}

    def poll(self):
        g = self.double(0)
        mg = self.double(1)
        ole = self.double(2)
        return g, mg, ole


def ole_to_datetime(ole):
    try:
        return OLE_EPOCH + datetime.timedelta(days=ole)
    except (OverflowError, ValueError):
        return None


def mass_text(g, mg):
    text = f"{g!r:>10} g {mg:>13.3f} mg"
    if NO_PORT in (g, mg):
        text += "   !! -777: NO MASS"
    return text


class Display:
    """One line per change; on a terminal also a status line redrawn in place."""

    def __init__(self, out, live):
        self.out = out
        self.live = live
        self.status_shown = False

    def _clear_status(self):
        if self.status_shown:
            self.out.write("\r\x1b[K")
            self.status_shown = False

    def say(self, text):
        self._clear_status()
        self.out.write(text + "\n")
        self.out.flush()

    def status(self, text):
        if not self.live:
            return
        self._clear_status()
        # A wrapped line could not be redrawn in place.
        self.out.write(text[:shutil.get_terminal_size().columns - 1])
        self.out.flush()
        self.status_shown = True

    def close(self):
        self._clear_status()
        self.out.flush()


def clock_text(when):
    return when.strftime("%H:%M:%S.") + f"{when.microsecond // 1000:03d}"


def run(host, args, display, stopping):
    info = host.describe()
    line = host.line
    display.say(f"{Path(args.dll).name}: {info['title']}")
    display.say(f"  {info['detail']}")
    display.say(f"  channels: ead 0 {info['nead'][0]!r}, ead 1 {info['nead'][1]!r}, "
                f"ead 2 {info['nead'][2]!r} (the time column); ea 0 {info['nea']!r}")
    def port_text():
        d = line.dcb
        mode = (f"{d.BaudRate} baud, {d.ByteSize}{'NOEMS'[d.Parity]}"
                f"{('1', '1.5', '2')[d.StopBits]}" if d else "mode not set")
        real = os.path.realpath(args.device)
        device = args.device if real == args.device else f"{args.device} = {real}"
        return f"port {line.opened_name} -> {device} ({mode})"

    def port_up():
        return line.is_open and line.dead is None

    up = port_up()
    if up:
        display.say(f"  {port_text()}")
    else:
        display.say(f"  !! the DLL's port did not open: {line.problem or 'not asked for'}")
    record = open(args.record, "w", encoding="utf-8") if args.record else None
    start = time.monotonic()
    last = None
    changed = start
    polls = 0
    try:
        while not stopping():
            now = time.monotonic()
            if args.duration is not None and now - start >= args.duration:
                break
            g, mg, ole = host.poll()
            polls += 1
            if port_up() != up:
                # What the device did, as the DLL met it in this poll.
                up = port_up()
                display.say(f"  {port_text()}: open again" if up
                            else f"  !! port lost: {line.problem or 'the device went away'}")
            now = time.monotonic()
            stamp = ole_to_datetime(ole)
            reading = (g, mg)
            if reading != last:
                age = f"  (after {now - changed:.1f} s)" if last is not None else ""
                when = clock_text(stamp) if stamp else f"{ole!r:>12}"
                display.say(f"{when}  {mass_text(g, mg)}{age}")
                last, changed = reading, now
            when = f"{stamp:%Y-%m-%d %H:%M:%S}" if stamp else repr(ole)
            display.status(f"{'now':>12}  {mass_text(g, mg)}  for {now - changed:4.1f} s"
                           f"  | {when}")
            if record:
                record.write(json.dumps({"t": time.time(), "g": g, "mg": mg, "ole": ole}) + "\n")
                record.flush()
            next_poll = now + args.interval
            if args.duration is not None:
                next_poll = min(next_poll, start + args.duration)
            while not stopping() and time.monotonic() < next_poll:
                time.sleep(max(0.0, min(next_poll - time.monotonic(), 0.05)))
    finally:
        if record:
            record.close()
    display.say(f"{polls} readings in {time.monotonic() - start:.1f} s")


def main(argv=None, stop=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    p.add_argument("--dll", default=str(TOOLS.parent / "build" / "windows" / "pondix5.dll"),
                   help="the DLL (default %(default)s)")
    p.add_argument("--device", default=default_link(),
                   help="serial device for the DLL's port (default: the simulator's, %(default)s)")
    p.add_argument("--duration", type=float, help="seconds to run (default: until Ctrl-C)")
    p.add_argument("--interval", type=float, default=0.25, help="seconds between readings (0.25)")
    p.add_argument("--convention", choices=tuple(EXPORTS), default="register",
                   help="call the base functions (register) or their stdcall adapters")
    p.add_argument("--record", metavar="FILE", help="write each reading as a JSON line")
    args = p.parse_args(argv)
    if args.interval < 0 or (args.duration is not None and args.duration < 0):
        p.error("--interval and --duration cannot be negative")

    # Ctrl-C ends the loop between calls: a KeyboardInterrupt raised inside
    # the emulator's hooks would be swallowed by ctypes.
    interrupted = []
    olds = {s: signal.signal(s, lambda signum, frame: interrupted.append(signum))
            for s in (signal.SIGINT, signal.SIGTERM)}
    stopping = (lambda: bool(interrupted) or stop()) if stop else (lambda: bool(interrupted))
    display = Display(sys.stdout, sys.stdout.isatty())
    host = None
    try:
        problem = device_problem(args.device)
        if problem:
            hint = " (start tools/balance_sim.py, or give --device)" \
                if args.device == default_link() else ""
            raise Fatal(problem + hint)
        host = Host(args.dll, args.device, args.convention)
        host.attach()
        run(host, args, display, stopping)
        return 0
    except Fatal as e:
        display.close()
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    except EmulatorError as e:
        display.close()
        print(f"{PROG}: the DLL failed: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        display.close()
        where = f"{e.filename}: " if e.filename else ""
        print(f"{PROG}: {where}{e.strerror or e}", file=sys.stderr)
        return 1
    finally:
        display.close()
        if host:
            try:
                host.detach()
            except EmulatorError:
                pass
        for s, old in olds.items():
            signal.signal(s, old)


if __name__ == "__main__":
    sys.exit(main())
