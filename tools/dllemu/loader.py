"""Load a PE32 i386 DLL into unicorn and call its exports like a host would,
or a console EXE and run it like a process.

Facts about unicorn 2.0.1 (QEMU 5 based) that shape this module:
- x87 exception flags are barely emulated: of the cases tried only division
  by zero sets a flag (ZE, also for 0/0 which should be IE); fistp out of
  range stores the integer indefinite with no IE flag even when IE is
  unmasked; an sNaN or denormal load, inexact results and stack overflow set
  nothing.  An unmasked flag sets ES/B in the status word, and #MF
  (interrupt 16) is raised only by FWAIT (alone or as the prefix of FSTSW and
  the like), and only with CR0.NE set; other x87 instructions run on.
- Loading FS from a GDT without also loading SS leaves a 16-bit stack segment.
- Precision and rounding control are honoured.
- UC_X86_REG_FP0..7 are physical registers: ST(0) is FP0 + TOP.
- SSE works without touching CR4.
"""

import struct
from collections import namedtuple

import pefile
from unicorn import (UC_ARCH_X86, UC_HOOK_CODE, UC_HOOK_INTR, UC_MODE_32, UC_PROT_ALL,
                     UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn import x86_const as X

from .calls import CALLEE_SAVED, FPU_CW_DEFAULT, CallResult, ProcessResult, marshal
from .errors import (BadImage, BudgetExceeded, CpuFault, EmulatorError, FpuFault, LoadFailed,
                     ProcessExited, UnsupportedImport)
from .kernel32 import Kernel32, ScriptedLine, VirtualClock

Export = namedtuple("Export", "name ordinal rva address")

PAGE = 0x1000
STUBS = 0x00010000          # call thunk, return trap, kernel32 stubs
STUB_SLOT = 8
TEB = 0x00030000            # TEB page, PEB page, GDT page
STACK_BOTTOM = 0x00100000
STACK_SIZE = 0x00100000
HEAP = 0x00300000
HEAP_SIZE = 0x00100000
DEFAULT_BASES = (0x20000000, 0x30000000)
# What the emulator itself maps: no image may land there.
RESERVED = ((STUBS, 0x10000), (TEB, 3 * PAGE), (STACK_BOTTOM, STACK_SIZE), (HEAP, HEAP_SIZE))
DEFAULT_FOLDER = "C:\\pondix"

THUNK = STUBS               # fninit; fldcw [CW_SLOT]; jmp [TARGET_SLOT]
TRAP = STUBS + 0x40         # return address of every call; never executed
CW_SLOT = STUBS + 0x80
TARGET_SLOT = STUBS + 0x84
IMPORT_STUBS = STUBS + 0x100

DEFAULT_BUDGET = 50_000_000

# Distinctive values so a clobbered callee-saved register cannot go unnoticed.
SEED = {"ebx": 0x1B2B3B4B, "esi": 0x51525354, "edi": 0xD1D2D3D4, "ebp": 0xB0B1B2B3}
REG = {"eax": X.UC_X86_REG_EAX, "ebx": X.UC_X86_REG_EBX, "ecx": X.UC_X86_REG_ECX,
       "edx": X.UC_X86_REG_EDX, "esi": X.UC_X86_REG_ESI, "edi": X.UC_X86_REG_EDI,
       "ebp": X.UC_X86_REG_EBP, "esp": X.UC_X86_REG_ESP}
ARG_REGS = ("eax", "edx", "ecx")

INTERRUPTS = {0: "divide error (#DE)", 1: "debug trap", 3: "breakpoint (int3)",
              4: "overflow (#OF)", 5: "bound range (#BR)", 6: "invalid opcode (#UD)",
              13: "general protection (#GP)", 14: "page fault (#PF)",
              16: "x87 floating-point exception (#MF)", 17: "alignment check (#AC)",
              19: "SIMD floating-point exception (#XM)"}


def _gdt_entry(base, limit, access, flags):
    return struct.pack("<HHBBBB", limit & 0xFFFF, base & 0xFFFF, (base >> 16) & 0xFF,
                       access, ((limit >> 16) & 0xF) | (flags << 4), base >> 24)


def _overlaps_reserved(base, size):
    return any(base < start + length and start < base + size for start, length in RESERVED)


class Emulator:
    """One DLL, or one EXE, loaded into its own emulated 32-bit process.

    Attributes: path, base, image_base (preferred), size, is_exe, exports
    (name -> Export), exports_by_ordinal, export_dll_name, imports [(dll,
    name)], kernel32 (the fake: .log, .local_time, .clock, .files, .stdout),
    backend (the serial line), windows_path (the image's path as the
    emulated Windows names it).
    """

    @classmethod
    def load(cls, path, backend=None, clock=None, base=None, count_instructions=True,
             windows_path=None):
        """Map the DLL, relocate it and bind its imports; does not attach.

        The clock defaults to the backend's own (ScriptedLine has one).
        count_instructions=False drops the per-instruction hook, which costs
        most of the run time of long runs; results then have instructions=None.
        windows_path: what GetModuleFileNameA gives for it (default
        C:\\pondix\\<file name>).
        """
        return cls(path, backend, clock, base, count_instructions, windows_path)

    @classmethod
    def load_exe(cls, path, backend=None, clock=None, base=None, count_instructions=True,
                 windows_path=None):
        """Map a console EXE as its process's main image; run() starts it.

        It goes to its preferred base, as Windows puts an EXE, unless `base`
        says otherwise or the emulator's own memory is there (then it needs
        relocations).  Other options as load().
        """
        return cls(path, backend, clock, base, count_instructions, windows_path, exe=True)

    def __init__(self, path, backend, clock, base, count_instructions=True, windows_path=None,
                 exe=False):
        self.path = str(path)
        self.is_exe = exe
        try:
            pe = pefile.PE(self.path)
        except pefile.PEFormatError as e:
            raise BadImage(f"{self.path}: not a PE file ({e})") from None
        self._check_image(pe)
        self.backend = backend if backend is not None else ScriptedLine()
        clock = clock or getattr(self.backend, "clock", None) or VirtualClock()
        self.kernel32 = Kernel32(self.backend, self, clock)
        self.image_base = pe.OPTIONAL_HEADER.ImageBase
        self.size = (pe.OPTIONAL_HEADER.SizeOfImage + PAGE - 1) & ~(PAGE - 1)
        if base is None and exe and not _overlaps_reserved(self.image_base, self.size):
            base = self.image_base
        if base is None:
            base = next(b for b in DEFAULT_BASES if b != self.image_base)
        if _overlaps_reserved(base, self.size):
            raise BadImage(f"{self.path}: {base:#x} overlaps the emulator's own memory")
        self.base = base
        self.uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self._heap_next = HEAP
        self._instructions = 0
        self._map_process()
        self._map_image(pe)
        self._bind_imports(pe)
        self._read_exports(pe)
        self._protect_sections(pe)
        self.entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
        name = self.path.replace("\\", "/").rsplit("/", 1)[-1]
        self.kernel32.modules[self.base] = windows_path or f"{DEFAULT_FOLDER}\\{name}"
        if exe:
            self.kernel32.process_module = self.base
        self.counting = count_instructions
        if count_instructions:
            self.uc.hook_add(UC_HOOK_CODE, self._count, begin=self.base,
                             end=self.base + self.size - 1)
        self.uc.hook_add(UC_HOOK_INTR, self._on_interrupt)

    # --- loading ---
    def _check_image(self, pe):
        if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
            raise BadImage(f"{self.path}: machine {pe.FILE_HEADER.Machine:#x} is not i386")
        if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
            raise BadImage(f"{self.path}: not a PE32 image")
        dll_flag = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]
        is_dll = bool(pe.FILE_HEADER.Characteristics & dll_flag)
        if not self.is_exe and not is_dll:
            raise BadImage(f"{self.path}: not a DLL")
        if self.is_exe and is_dll:
            raise BadImage(f"{self.path}: a DLL, not an EXE")
        if self.is_exe and not pe.OPTIONAL_HEADER.AddressOfEntryPoint:
            raise BadImage(f"{self.path}: an EXE without an entry point")
        tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
        if tls is not None and tls.struct.AddressOfCallBacks:
            callbacks = pe.get_dword_at_rva(tls.struct.AddressOfCallBacks - pe.OPTIONAL_HEADER.ImageBase)
            if callbacks:
                raise BadImage(f"{self.path}: TLS callbacks are not emulated")

    def _map_process(self):
        uc = self.uc
        uc.mem_map(STUBS, 0x10000)
        thunk = (b"\xdb\xe3"                                   # fninit
                 + b"\xd9\x2d" + struct.pack("<I", CW_SLOT)    # fldcw [CW_SLOT]
                 + b"\xff\x25" + struct.pack("<I", TARGET_SLOT))  # jmp [TARGET_SLOT]
        uc.mem_write(THUNK, thunk)
        uc.mem_write(TRAP, b"\xf4")
        uc.mem_map(STACK_BOTTOM, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        uc.mem_map(HEAP, HEAP_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        # A minimal TEB behind FS, in case compiled code peeks at it.
        uc.mem_map(TEB, 3 * PAGE, UC_PROT_READ | UC_PROT_WRITE)
        peb, gdt = TEB + PAGE, TEB + 2 * PAGE
        uc.mem_write(TEB, struct.pack("<III", 0xFFFFFFFF, STACK_BOTTOM + STACK_SIZE, STACK_BOTTOM))
        uc.mem_write(TEB + 0x18, struct.pack("<I", TEB))
        uc.mem_write(TEB + 0x30, struct.pack("<I", peb))
        # Loading FS alone leaves unicorn with a 16-bit SS (RET then pops from SP):
        # give every segment a proper flat 32-bit descriptor.
        uc.mem_write(gdt, bytes(8) + _gdt_entry(0, 0xFFFFF, 0x9A, 0xC)
                     + _gdt_entry(0, 0xFFFFF, 0x92, 0xC) + _gdt_entry(TEB, PAGE - 1, 0x92, 0x4))
        uc.reg_write(X.UC_X86_REG_GDTR, (0, gdt, 4 * 8 - 1, 0))
        uc.reg_write(X.UC_X86_REG_CS, 0x08)
        for seg in (X.UC_X86_REG_SS, X.UC_X86_REG_DS, X.UC_X86_REG_ES, X.UC_X86_REG_GS):
            uc.reg_write(seg, 0x10)
        uc.reg_write(X.UC_X86_REG_FS, 0x18)
        # CR0.NE: without it unicorn never delivers #MF, even on FWAIT.
        uc.reg_write(X.UC_X86_REG_CR0, uc.reg_read(X.UC_X86_REG_CR0) | 0x20)

    def _map_image(self, pe):
        image = bytearray(self.size)
        headers = pe.OPTIONAL_HEADER.SizeOfHeaders
        image[:headers] = pe.__data__[:headers]
        for s in pe.sections:
            raw = s.get_data()[:s.Misc_VirtualSize or s.SizeOfRawData]
            image[s.VirtualAddress:s.VirtualAddress + len(raw)] = raw
        delta = (self.base - self.image_base) & 0xFFFFFFFF
        relocs = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
        if delta and not relocs:
            raise BadImage(f"{self.path}: no base relocations, cannot load at {self.base:#x} "
                           f"instead of {self.image_base:#x}")
        for block in relocs:
            for r in block.entries:
                if r.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]:
                    continue
                if r.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]:
                    raise BadImage(f"{self.path}: relocation type {r.type} at rva {r.rva:#x}")
                old, = struct.unpack_from("<I", image, r.rva)
                struct.pack_into("<I", image, r.rva, (old + delta) & 0xFFFFFFFF)
        self.uc.mem_map(self.base, self.size, UC_PROT_ALL)
        self.uc.mem_write(self.base, bytes(image))

    def _bind_imports(self, pe):
        self.imports = []
        refused = []
        stubs = b""
        self._stub_names = []
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("latin-1")
            for imp in entry.imports:
                name = imp.name.decode("latin-1") if imp.name else f"#{imp.ordinal}"
                self.imports.append((dll, name))
                if dll.lower() != "kernel32.dll" or not Kernel32.provides(name):
                    refused.append(f"{dll}!{name}")
                    continue
                stub = IMPORT_STUBS + STUB_SLOT * len(self._stub_names)
                self._stub_names.append(name)
                # The stub is a stdcall "ret N"; the hook runs the fake just before it.
                stubs += struct.pack("<BH", 0xC2, 4 * Kernel32.arg_count(name)).ljust(STUB_SLOT, b"\xcc")
                self.uc.mem_write(self.base + imp.address - self.image_base, struct.pack("<I", stub))
        if refused:
            raise UnsupportedImport(f"{self.path} imports {', '.join(refused)}; "
                                    "the emulator provides only these kernel32 functions")
        if stubs:
            self.uc.mem_write(IMPORT_STUBS, stubs)
            self.uc.hook_add(UC_HOOK_CODE, self._on_import, begin=IMPORT_STUBS,
                             end=IMPORT_STUBS + len(stubs) - 1)

    def _read_exports(self, pe):
        self.exports, self.exports_by_ordinal = {}, {}
        directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        self.export_dll_name = None
        if directory is None:
            return
        self.export_dll_name = pe.get_string_at_rva(directory.struct.Name).decode("latin-1")
        for sym in directory.symbols:
            if sym.forwarder:
                continue
            name = sym.name.decode("latin-1") if sym.name else None
            export = Export(name, sym.ordinal, sym.address, self.base + sym.address)
            self.exports_by_ordinal[sym.ordinal] = export
            if name:
                self.exports[name] = export

    def _protect_sections(self, pe):
        # Writes to code or read-only data crash on Windows; make them crash here too.
        if pe.OPTIONAL_HEADER.SectionAlignment < PAGE:
            return
        self.uc.mem_protect(self.base, PAGE, UC_PROT_READ)
        for s in pe.sections:
            size = (max(s.Misc_VirtualSize, s.SizeOfRawData) + PAGE - 1) & ~(PAGE - 1)
            if not size:
                continue
            c = s.Characteristics
            prot = ((UC_PROT_READ if c & 0x40000000 else 0) | (UC_PROT_WRITE if c & 0x80000000 else 0)
                    | (UC_PROT_EXEC if c & 0x20000000 else 0))
            self.uc.mem_protect(self.base + s.VirtualAddress, size, prot)

    # --- hooks ---
    def _count(self, uc, address, size, data):
        self._instructions += 1

    def _on_import(self, uc, address, size, data):
        name = self._stub_names[(address - IMPORT_STUBS) // STUB_SLOT]
        esp = uc.reg_read(X.UC_X86_REG_ESP)
        n = Kernel32.arg_count(name)
        args = struct.unpack(f"<{n}I", uc.mem_read(esp + 4, 4 * n))
        uc.reg_write(X.UC_X86_REG_EAX, self.kernel32.dispatch(name, args))
        # Volatile registers hold garbage after a real API call.
        uc.reg_write(X.UC_X86_REG_ECX, 0xC1C1C1C1)
        uc.reg_write(X.UC_X86_REG_EDX, 0xD1D1D1D1)
        if name == "ExitProcess":
            # Unicorn stops the emulation and raises this from emu_start.
            raise ProcessExited(f"{self.path} called ExitProcess({args[0]})", args[0])

    def _on_interrupt(self, uc, intno, data):
        eip = uc.reg_read(X.UC_X86_REG_EIP)
        what = INTERRUPTS.get(intno, f"interrupt {intno}")
        message = f"{what} at {self.describe(eip)}"
        if intno == 16:
            sw = uc.reg_read(X.UC_X86_REG_FPSW)
            raise FpuFault(f"{message}, status word {sw:#06x}", eip, sw)
        raise CpuFault(message, eip)

    # --- calling ---
    def resolve(self, target):
        """Address of an export given by name (str) or ordinal (int)."""
        table = self.exports if isinstance(target, str) else self.exports_by_ordinal
        try:
            return table[target].address
        except KeyError:
            raise KeyError(f"{self.path} has no export {target!r}") from None

    def call_register(self, target, *args, **options):
        """Borland register convention: ints in EAX, EDX, ECX, the rest on the stack."""
        return self.call_address(self.resolve(target), "register", args, **options)

    def call_stdcall(self, target, *args, **options):
        """stdcall: pushed right to left, callee pops."""
        return self.call_address(self.resolve(target), "stdcall", args, **options)

    def call_pascal(self, target, *args, **options):
        """Left-to-right convention: pushed left to right, callee pops."""
        return self.call_address(self.resolve(target), "pascal", args, **options)

    def call_address(self, address, convention, args, returns="int", fpu_cw=FPU_CW_DEFAULT,
                     budget=DEFAULT_BUDGET, check_fpu=True):
        """Call code at address from a fresh stack and an empty FPU.

        args: ints (32-bit), floats (doubles) or ("int"|"double"|"float", v).
        returns: "int", "double", "str" (also reads the string at EAX) or "none";
        only "str" changes what is collected.
        fpu_cw: the x87 control word the caller has set.
        budget: instructions (anything executed) before BudgetExceeded.
        check_fpu: raise FpuFault when an unmasked x87 exception is pending at
        return, where the host's next waiting x87 instruction would trap.
        """
        uc = self.uc
        if self.kernel32.exit_code is not None:
            raise ProcessExited("the process has ended", self.kernel32.exit_code)
        regs, stacked = marshal(convention, args)
        # Only 4-byte alignment is guaranteed by 32-bit Windows callers.
        esp_call = STACK_BOTTOM + STACK_SIZE - 0x100 - ((len(stacked) + 15) & ~15) + 4
        esp_entry = esp_call - 4
        uc.mem_write(esp_entry, struct.pack("<I", TRAP) + stacked)
        uc.mem_write(CW_SLOT, struct.pack("<H", fpu_cw))
        uc.mem_write(TARGET_SLOT, struct.pack("<I", address))
        for name, value in SEED.items():
            uc.reg_write(REG[name], value)
        for i, name in enumerate(ARG_REGS):
            uc.reg_write(REG[name], regs[i] if i < len(regs) else 0xCCCCCCC0 + i)
        uc.reg_write(X.UC_X86_REG_ESP, esp_entry)
        uc.reg_write(X.UC_X86_REG_EFLAGS, 0x202)
        log_start = len(self.kernel32.log)
        self._instructions = 0
        try:
            uc.emu_start(THUNK, TRAP, count=budget)
        except UcError as e:
            eip = uc.reg_read(X.UC_X86_REG_EIP)
            raise CpuFault(f"{e} at {self.describe(eip)}", eip) from None
        eip = uc.reg_read(X.UC_X86_REG_EIP)
        if eip != TRAP:
            raise BudgetExceeded(f"call did not return within {budget} instructions "
                                 f"(stopped at {self.describe(eip)})", eip)
        sw = uc.reg_read(X.UC_X86_REG_FPSW)
        if check_fpu and sw & 0x80:
            raise FpuFault(f"unmasked x87 exception pending at return, status word {sw:#06x}",
                           eip, sw)
        tags = uc.reg_read(X.UC_X86_REG_FPTAG)
        depth = sum(1 for i in range(8) if (tags >> 2 * i) & 3 != 3)
        st0 = None
        if depth:
            significand, sign_exp = uc.reg_read(X.UC_X86_REG_FP0 + ((sw >> 11) & 7))
            st0 = struct.pack("<QH", significand, sign_exp)
        eax = uc.reg_read(X.UC_X86_REG_EAX)
        return CallResult(
            eax=eax,
            st0=st0,
            stack_popped=uc.reg_read(X.UC_X86_REG_ESP) - esp_call,
            fpu_depth=depth,
            fpu_cw=uc.reg_read(X.UC_X86_REG_FPCW),
            fpu_sw=sw,
            preserved={n: uc.reg_read(REG[n]) == SEED[n] for n in CALLEE_SAVED},
            instructions=self._instructions if self.counting else None,
            kernel32_calls=self.kernel32.log[log_start:],
            text=self.read_cstring(eax) if returns == "str" else None)

    # --- a process ---
    @property
    def windows_path(self):
        """The image's path in the emulated Windows (GetModuleFileNameA)."""
        return self.kernel32.modules[self.base]

    @windows_path.setter
    def windows_path(self, path):
        self.kernel32.modules[self.base] = path

    def run(self, command_line=None, budget=DEFAULT_BUDGET):
        """Start the EXE as Windows starts a process and run it to its end.

        The entry point gets no arguments and a return address to a trap;
        ExitProcess(code) ends the process, and so does the entry returning
        (its EAX is then the exit code).  command_line: what GetCommandLineA
        gives (default: the EXE's Windows path in quotes).  A process runs
        once.  Raises BudgetExceeded past `budget` instructions, CpuFault.
        """
        if not self.is_exe:
            raise EmulatorError(f"{self.path} is a DLL: attach() and call its exports")
        k = self.kernel32
        if k.exit_code is not None:
            raise ProcessExited("the process has already ended", k.exit_code)
        if command_line is not None:
            k.command_line = command_line
        log_start = len(k.log)
        try:
            r = self.call_address(self.base + self.entry, "stdcall", (), budget=budget,
                                  check_fpu=False)
        except ProcessExited as e:
            code, ended_by = e.code, "ExitProcess"
        else:
            code, ended_by = r.eax, "return"
            k.exit_code = code
        return ProcessResult(
            exit_code=code, ended_by=ended_by, stdout=bytes(k.stdout), stderr=bytes(k.stderr),
            instructions=self._instructions if self.counting else None,
            kernel32_calls=k.log[log_start:], codepage=k.console_codepage)

    # --- DllMain ---
    def call_entry(self, reason, reserved=0, **options):
        """Call the entry point as BOOL WINAPI (HINSTANCE, reason, reserved)."""
        if self.is_exe:
            raise EmulatorError(f"{self.path} is an EXE: run() starts it")
        return self.call_address(self.base + self.entry, "stdcall",
                                 (self.base, reason, reserved), **options)

    def attach(self, **options):
        """Process attach; raises LoadFailed when the entry point returns FALSE."""
        if not self.entry:
            return None
        result = self.call_entry(1, 0, **options)
        if result.eax == 0:
            raise LoadFailed(f"{self.path}: entry point returned FALSE on process attach")
        return result

    def detach(self, reserved=0, **options):
        """Process detach; reserved non-zero means the process is terminating."""
        return self.call_entry(0, reserved, **options) if self.entry else None

    # --- memory ---
    def read(self, address, n):
        return bytes(self.uc.mem_read(address, n))

    def write(self, address, data):
        self.uc.mem_write(address, bytes(data))

    def read_u32(self, address):
        return struct.unpack("<I", self.read(address, 4))[0]

    def read_double(self, address):
        return struct.unpack("<d", self.read(address, 8))[0]

    def read_cstring(self, address, limit=1 << 16):
        """The zero-terminated byte string at address, without its terminator."""
        out = bytearray()
        while len(out) < limit:
            try:
                byte = self.read(address + len(out), 1)
            except UcError:
                raise CpuFault(f"string at {address:#x} runs into unmapped memory", address) from None
            if byte == b"\0":
                return bytes(out)
            out += byte
        raise ValueError(f"no terminator within {limit} bytes at {address:#x}")

    def alloc(self, size, align=8):
        """Scratch memory that lives as long as the emulator."""
        address = (self._heap_next + align - 1) & ~(align - 1)
        if address + size > HEAP + HEAP_SIZE:
            raise MemoryError("emulator scratch heap exhausted")
        self._heap_next = address + size
        return address

    def write_double(self, value, address=None):
        """Store a double (in fresh scratch memory by default); returns its address."""
        if address is None:
            address = self.alloc(8)
        self.write(address, struct.pack("<d", value))
        return address

    def write_cstring(self, data, address=None):
        """Store a zero-terminated byte string; returns its address."""
        data = data.encode("latin-1") if isinstance(data, str) else bytes(data)
        if address is None:
            address = self.alloc(len(data) + 1, 1)
        self.write(address, data + b"\0")
        return address

    def describe(self, address):
        """address as module+offset and nearest export, for error messages."""
        if not self.base <= address < self.base + self.size:
            return f"{address:#010x}"
        below = [e for e in self.exports_by_ordinal.values() if e.address <= address]
        near = max(below, key=lambda e: e.address, default=None)
        where = f"{self.path.rsplit('/', 1)[-1]}+{address - self.base:#x}"
        if near is not None:
            where += f" ({near.name or '#%d' % near.ordinal}+{address - near.address:#x})"
        return where
