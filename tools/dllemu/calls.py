"""Calling conventions, x87 extended values and the call result record."""

import struct
from dataclasses import dataclass, field
from fractions import Fraction

FPU_CW_DEFAULT = 0x027F  # 53-bit precision, round to nearest, all masked

CALLEE_SAVED = ("ebx", "esi", "edi", "ebp")


def normalize_arg(arg):
    """Turn an argument into (kind, value).

    int -> 32-bit integer/address; float -> double; or an explicit
    ("int" | "double" | "float", value) pair.
    """
    if isinstance(arg, tuple):
        kind, value = arg
    elif isinstance(arg, bool) or not isinstance(arg, (int, float)):
        raise TypeError(f"unsupported argument {arg!r}")
    else:
        kind, value = ("int", arg) if isinstance(arg, int) else ("double", arg)
    if kind == "int":
        if not -2**31 <= value < 2**32:
            raise ValueError(f"{value} does not fit in 32 bits")
        return kind, value & 0xFFFFFFFF
    if kind in ("double", "float"):
        return kind, float(value)
    raise ValueError(f"unknown argument kind {kind!r}")


def arg_bytes(kind, value):
    return struct.pack({"int": "<I", "double": "<d", "float": "<f"}[kind], value)


def marshal(convention, args):
    """Split args into (register values, stack bytes above the return address).

    The stack bytes are laid out from the lowest address up, i.e. as they sit
    once the caller has pushed everything.
    """
    args = [normalize_arg(a) for a in args]
    if convention == "stdcall":
        return [], b"".join(arg_bytes(*a) for a in args)
    if convention == "pascal":
        return [], b"".join(arg_bytes(*a) for a in reversed(args))
    if convention == "register":
        regs, stacked = [], []
        for a in args:
            if a[0] == "int" and len(regs) < 3:
                regs.append(a[1])
            else:
                stacked.append(a)
        # Borland pushes the arguments left over from the registers left to right.
        return regs, b"".join(arg_bytes(*a) for a in reversed(stacked))
    raise ValueError(f"unknown convention {convention!r}")


def ext80_parts(raw):
    """(sign, biased exponent, 64-bit significand) of a 10-byte x87 value."""
    significand, sign_exp = struct.unpack("<QH", raw)
    return sign_exp >> 15, sign_exp & 0x7FFF, significand


def ext80_to_fraction(raw):
    """Exact value of a 10-byte x87 value; ValueError for inf/NaN."""
    sign, exp, significand = ext80_parts(raw)
    if exp == 0x7FFF:
        raise ValueError("x87 value is infinite or NaN")
    value = Fraction(significand) * Fraction(2) ** (max(exp, 1) - 16383 - 63)
    return -value if sign else value


def ext80_to_float(raw):
    """The value as a float, only if a double holds it exactly."""
    sign, exp, significand = ext80_parts(raw)
    if exp == 0x7FFF:
        if significand << 1 & 0xFFFFFFFFFFFFFFFF:
            return float("nan")
        return float("-inf") if sign else float("inf")
    exact = ext80_to_fraction(raw)
    value = float(exact)
    if Fraction(value) != exact:
        raise ValueError(f"{exact} is not exactly a double")
    return -0.0 if sign and value == 0 else value


@dataclass
class CallResult:
    """What one emulated call left behind."""
    eax: int
    st0: bytes | None          # raw 80-bit ST(0), None when the FPU stack is empty
    stack_popped: int          # bytes the callee removed besides its return address
    fpu_depth: int             # x87 registers in use after the call
    fpu_cw: int
    fpu_sw: int
    preserved: dict            # callee-saved register name -> kept its value
    instructions: int | None   # instructions executed inside the DLL image; None: not counted
    kernel32_calls: list = field(default_factory=list)
    text: bytes | None = None  # the string at EAX, for returns="str"

    @property
    def eax_signed(self):
        return self.eax - (1 << 32) if self.eax & 0x80000000 else self.eax

    @property
    def callee_saved_ok(self):
        return all(self.preserved.values())

    def _st0(self):
        if self.st0 is None:
            raise ValueError("the FPU stack is empty: no ST(0) result")
        return self.st0

    @property
    def st0_parts(self):
        return ext80_parts(self._st0())

    @property
    def st0_fraction(self):
        return ext80_to_fraction(self._st0())

    @property
    def st0_float(self):
        """ST(0) as a float; ValueError if it carries extended digits."""
        return ext80_to_float(self._st0())


@dataclass
class ProcessResult:
    """How an emulated process ended and what it wrote to its console."""
    exit_code: int
    ended_by: str              # "ExitProcess", or "return" when the entry point returned
    stdout: bytes
    stderr: bytes
    instructions: int | None   # inside the image; None: not counted
    kernel32_calls: list = field(default_factory=list)
    codepage: str = "cp850"    # the console's: how a Windows console would show the bytes

    @property
    def stdout_text(self):
        return self.stdout.decode(self.codepage, errors="replace")

    @property
    def stderr_text(self):
        return self.stderr.decode(self.codepage, errors="replace")
