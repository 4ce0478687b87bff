#!/usr/bin/python3
"""See it work: a simulated Adam balance on a pseudo-terminal, read through
pondix5.dll running in the x86 emulator.

Starts tools/balance_sim.py as a child, runs tools/pondix_host.py on its pty
for --duration seconds (or until Ctrl-C), then stops the simulator. By
default the balance prints GLP blocks (date, time, ID and the result, framed
by SOH and EOT): only the result line is a mass. tools/demo installs what is
missing and builds the DLLs first, then runs this.
"""

import argparse
import ctypes
import select
import signal
import subprocess
import sys
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
sys.path.insert(0, str(TOOLS))

import balance_sim  # noqa: E402
import pondix_host  # noqa: E402

PROG = "demo"
DEFAULT_FORMAT = "glp-soh"
PR_SET_PDEATHSIG = 1


def die_with_parent():
    # Runs in the child: whatever kills the demo also stops the simulator.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def start_simulator(args):
    command = [sys.executable, str(TOOLS / "balance_sim.py"), "--wait", "--link", "",
               "--format", args.format or args.mode or DEFAULT_FORMAT, "--unit", args.unit,
               "--speed", str(args.speed)]
    # Its own session: a Ctrl-C at the terminal reaches only the demo, which
    # then ends the host first and the simulator after, in that order.
    sim = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                           start_new_session=True, preexec_fn=die_with_parent, text=True)
    ready, _, _ = select.select([sim.stdout], [], [], 10)
    banner = sim.stdout.readline() if ready else ""
    if not banner.startswith("balance_sim: /dev/"):
        stop_simulator(sim)
        raise RuntimeError("the simulator did not start")
    print(banner, end="", flush=True)
    show_block(args)
    return sim, banner.split()[1]


def show_block(args):
    """What one print of the balance looks like on the wire."""
    fmt = balance_sim.FORMATS[args.format or args.mode or DEFAULT_FORMAT](
        units=balance_sim.Units(unit=args.unit))
    block = fmt.block(balance_sim.Reading(0, "mass", balance_sim.Decimal("12.345"), True))
    if len(block) < 3:
        return
    print("  each print is a block; the DLL reads only its weight line:")
    for sent in block:
        text = (sent.before + sent.text).replace("\x01", "<SOH>")
        print(f"    {text}{'<EOT>' if sent.after else ''}")


def stop_simulator(sim):
    if sim.poll() is None:
        sim.terminate()
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
    sim.stdout.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    p.add_argument("--duration", type=float, default=12.0, help="seconds (12; 0: until Ctrl-C)")
    p.add_argument("--dll", default=str(TOOLS.parent / "build" / "windows" / "pondix5.dll"))
    p.add_argument("--format", choices=balance_sim.FORMATS,
                   help=f"the simulated balance's line format ({DEFAULT_FORMAT})")
    p.add_argument("--mode", choices=("continuous", "print"),
                   help="the same as --format continuous or --format print")
    p.add_argument("--unit", choices=balance_sim.UNITS, default="g",
                   help="unit the balance shows (g)")
    p.add_argument("--speed", type=float, default=1.5, help="scenario speed (1.5)")
    args = p.parse_args(argv)
    if args.format and args.mode and args.format != args.mode:
        p.error(f"--mode {args.mode} and --format {args.format} disagree")
    if not Path(args.dll).is_file():
        print(f"{PROG}: {args.dll} is missing: build it with "
              "`cmake --preset windows && cmake --build --preset windows`", file=sys.stderr)
        return 1
    # Until the host installs its own handler, Ctrl-C must not leave the child behind.
    stopping = []
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    sim = None
    try:
        sim, device = start_simulator(args)
        if stopping:
            return 0
        host_args = ["--dll", args.dll, "--device", device]
        if args.duration > 0:
            host_args += ["--duration", str(args.duration)]
        return pondix_host.main(host_args, stop=lambda: bool(stopping))
    except RuntimeError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    finally:
        if sim is not None:
            stop_simulator(sim)


if __name__ == "__main__":
    sys.exit(main())
