"""Exceptions raised by the emulator."""


class EmulatorError(Exception):
    """Base class of every error the emulator raises."""


class BadImage(EmulatorError):
    """The file is not a loadable PE32 i386 DLL."""


class UnsupportedImport(EmulatorError):
    """The DLL imports something the fake kernel32 does not provide."""


class LoadFailed(EmulatorError):
    """The entry point refused process attach (LoadLibrary would fail)."""


class CpuFault(EmulatorError):
    """The emulated code faulted (bad memory access, invalid opcode, trap)."""

    def __init__(self, message, eip=None):
        super().__init__(message)
        self.eip = eip


class FpuFault(CpuFault):
    """An unmasked x87 exception was delivered (#MF) or left pending."""

    def __init__(self, message, eip=None, status_word=None):
        super().__init__(message, eip)
        self.status_word = status_word


class BudgetExceeded(EmulatorError):
    """The call ran more instructions than its budget: treated as a hang."""

    def __init__(self, message, eip=None):
        super().__init__(message)
        self.eip = eip


class ApiMisuse(EmulatorError):
    """The DLL called a kernel32 function in a way the fake cannot honour."""


class ProcessExited(EmulatorError):
    """The emulated code called ExitProcess: the process is over."""

    def __init__(self, message, code):
        super().__init__(message)
        self.code = code
