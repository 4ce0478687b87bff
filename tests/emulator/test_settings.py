"""The ini file beside the real DLLs: another port or speed without a
rebuild, read once at load, used again by every reopen."""

import pytest

from dllemu import Emulator, ScriptedLine
from dllemu.kernel32 import ERROR_INVALID_PARAMETER

from conftest import SETTLE


def load(dll_path, files, windows_path=r"C:\lab\pondix5.dll", line=None):
    line = line or ScriptedLine()
    emu = Emulator.load(dll_path, backend=line, windows_path=windows_path)
    emu.kernel32.files = files
    emu.attach()
    line.feed(SETTLE)
    return emu


def opened(emu):
    return [c for c in emu.kernel32.calls("CreateFileA")]


@pytest.mark.parametrize("ini, name, baud", [
    ("[port]\r\nname=COM7\r\n", r"\\.\COM7", 9600),
    ("[PORT]\r\n; the adapter Windows named COM12\r\nName = COM12\r\nmode=baud=4800 parity=n data=8 "
     "stop=1\r\n", r"\\.\COM12", 4800),
    ("[port]\r\nmode=baud=19200 parity=e data=7 stop=1\r\n", None, 19200),
    ("[other]\r\nname=COM7\r\n", None, 9600),
])
def test_the_ini_beside_the_dll_names_the_port_and_mode(dll_path, variant, ini, name, baud):
    emu = load(dll_path, {r"C:\lab\\" + variant.dll.replace(".dll", ".ini"): ini},
               windows_path=r"C:\lab\\" + variant.dll)
    assert opened(emu)[0].args[0] == (name or variant.port)
    assert emu.backend.dcb.BaudRate == baud
    emu.backend.feed(b"  +12.345 g\r\n")
    assert emu.call_register("ea", 0).eax_signed == 12345


def test_an_ini_of_another_name_or_folder_is_not_read(dll_path):
    emu = load(dll_path, {r"C:\lab\pondix.ini": "[port]\r\nname=COM7\r\n",
                          r"C:\other\pondix5.ini": "[port]\r\nname=COM8\r\n"})
    assert opened(emu)[0].args[0] not in (r"\\.\COM7", r"\\.\COM8")


def test_a_reopen_uses_the_same_name_and_mode(dll_path):
    emu = load(dll_path, {r"C:\lab\pondix5.ini":
                          "[port]\r\nname=COM7\r\nmode=baud=4800 parity=n data=8 stop=1\r\n"})
    line = emu.backend
    line.unplug()
    assert emu.call_register("ea", 0).eax_signed == -777
    line.replug()
    line.clock.advance(1500)
    emu.call_register("ea", 0)
    assert [c.args[0] for c in opened(emu)] == [r"\\.\COM7"] * 2
    assert line.is_open and line.dcb.BaudRate == 4800


def test_a_mode_windows_refuses_keeps_the_port_closed_for_good(dll_path):
    emu = load(dll_path, {r"C:\lab\pondix5.ini": "[port]\r\nmode=baud=9600 parity=x\r\n"})
    assert emu.kernel32.calls("BuildCommDCBA")[0].error == ERROR_INVALID_PARAMETER
    assert not emu.backend.is_open
    emu.backend.feed(b"  +12.345 g\r\n")
    for _ in range(300):
        emu.backend.clock.advance(10)
        assert emu.call_register("ea", 0).eax_signed == -777
    # Never read at settings nobody asked for, and never tried again.
    assert len(opened(emu)) == 1
    assert not emu.kernel32.calls("ClearCommError")
