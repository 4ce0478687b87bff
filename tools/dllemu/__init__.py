"""x86-32 emulator that loads a Windows DLL and calls its exports like a host,
or runs a console EXE like a process.

    emu = Emulator.load(path, backend=ScriptedLine())
    emu.attach()
    r = emu.call_register("ea", 0)                      # r.eax, r.eax_signed
    r = emu.call_register("ead", 1, returns="double")   # r.st0_fraction, r.st0_float
    r = emu.call_stdcall("stdsad", 0, ("double", 5.0))  # r.stack_popped == 12

    exe = Emulator.load_exe(path, backend=ScriptedLine())
    exe.kernel32.files = {r"C:\\pondix\\pondix5.ini": "[port]\\r\\nname=COM7\\r\\n"}
    p = exe.run(command_line="pondixcheck.exe pondix5.dll --seconds 3")
    p.exit_code, p.ended_by, p.stdout, p.stdout_text
"""

from .calls import (CallResult, FPU_CW_DEFAULT, ProcessResult, ext80_parts, ext80_to_float,
                    ext80_to_fraction)
from .errors import (ApiMisuse, BadImage, BudgetExceeded, CpuFault, EmulatorError, FpuFault,
                     LoadFailed, ProcessExited, UnsupportedImport)
from .kernel32 import (CE_FRAME, CE_OVERRUN, CE_RXOVER, CE_RXPARITY, CONSOLE_ERROR,
                       CONSOLE_INPUT, CONSOLE_OUTPUT, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                       ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE, ERROR_INSUFFICIENT_BUFFER,
                       ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_MOD_NOT_FOUND,
                       ERROR_MR_MID_NOT_FOUND, ERROR_OPERATION_ABORTED,
                       ERROR_RESOURCE_LANG_NOT_FOUND, INVALID_HANDLE_VALUE, SYSTEM_MESSAGES, Call,
                       CommTimeouts, Dcb, Kernel32, PortError, ScriptedLine, SerialBackend,
                       VirtualClock)
from .loader import Emulator, Export


__all__ = [
    "ApiMisuse", "BadImage", "BudgetExceeded", "CE_FRAME", "CE_OVERRUN", "CE_RXOVER",
    "CE_RXPARITY", "CONSOLE_ERROR", "CONSOLE_INPUT", "CONSOLE_OUTPUT", "Call", "CallResult",
    "CommTimeouts", "CpuFault", "Dcb", "ERROR_ACCESS_DENIED", "ERROR_BAD_COMMAND",
    "ERROR_FILE_NOT_FOUND", "ERROR_GEN_FAILURE", "ERROR_INSUFFICIENT_BUFFER",
    "ERROR_INVALID_HANDLE", "ERROR_INVALID_PARAMETER", "ERROR_MOD_NOT_FOUND",
    "ERROR_MR_MID_NOT_FOUND", "ERROR_OPERATION_ABORTED", "ERROR_RESOURCE_LANG_NOT_FOUND",
    "Emulator", "EmulatorError", "Export", "FPU_CW_DEFAULT", "FpuFault", "INVALID_HANDLE_VALUE",
    "Kernel32", "LoadFailed", "PortError", "ProcessExited", "ProcessResult", "SYSTEM_MESSAGES",
    "ScriptedLine", "SerialBackend", "UnsupportedImport", "VirtualClock",
    "ext80_parts", "ext80_to_float", "ext80_to_fraction",
]
