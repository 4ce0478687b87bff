"""x86-32 emulator that loads a Windows DLL and calls its exports like a host.

    emu = Emulator.load(path, backend=ScriptedLine())
    emu.attach()
    r = emu.call_register("ea", 0)                      # r.eax, r.eax_signed
    r = emu.call_register("ead", 1, returns="double")   # r.st0_fraction, r.st0_float
    r = emu.call_stdcall("stdsad", 0, ("double", 5.0))  # r.stack_popped == 12
"""

from .calls import CallResult, FPU_CW_DEFAULT, ext80_parts, ext80_to_float, ext80_to_fraction
from .errors import (ApiMisuse, BadImage, BudgetExceeded, CpuFault, EmulatorError, FpuFault,
                     LoadFailed, UnsupportedImport)
from .kernel32 import (CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY, ERROR_ACCESS_DENIED,
                       ERROR_BAD_COMMAND, ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE,
                       ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_OPERATION_ABORTED,
                       INVALID_HANDLE_VALUE, Call, CommTimeouts, Dcb, Kernel32, PortError,
                       ScriptedLine, SerialBackend, VirtualClock)
from .loader import Emulator, Export


__all__ = [
    "ApiMisuse", "BadImage", "BudgetExceeded", "CE_FRAME", "CE_OVERRUN", "CE_RXOVER",
    "CE_RXPARITY", "Call", "CallResult", "CommTimeouts", "CpuFault", "Dcb", "ERROR_ACCESS_DENIED",
    "ERROR_BAD_COMMAND", "ERROR_FILE_NOT_FOUND", "ERROR_GEN_FAILURE", "ERROR_INVALID_HANDLE",
    "ERROR_INVALID_PARAMETER", "ERROR_OPERATION_ABORTED", "Emulator", "EmulatorError", "Export",
    "FPU_CW_DEFAULT", "FpuFault", "INVALID_HANDLE_VALUE", "Kernel32", "LoadFailed", "PortError",
    "ScriptedLine", "SerialBackend", "UnsupportedImport", "VirtualClock",
    "ext80_parts", "ext80_to_float", "ext80_to_fraction",
]
