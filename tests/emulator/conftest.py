import os
import sys
from collections import namedtuple
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))

from dllemu import Emulator, ScriptedLine  # noqa: E402

# What a balance that was between lines at load sends first, as seen by a
# port opened then: the end of its line.
SETTLE = b"\r\n"

Variant = namedtuple("Variant", "dll port label")
VARIANTS = [Variant("pondix5.dll", "Com5:", "com5:"), Variant("pondix1.dll", "Com1:", "com1:")]


def dll_dir():
    return Path(os.environ.get("PONDIX_DLL_DIR", REPO / "build" / "windows"))


@pytest.fixture(params=VARIANTS, ids=[v.dll.removesuffix(".dll") for v in VARIANTS])
def variant(request):
    """Which build: DLL file name, the port it opens and the port in its texts."""
    return request.param


@pytest.fixture
def dll_path(variant):
    path = dll_dir() / variant.dll
    if not path.is_file():
        pytest.fail(f"{path} is missing: build it with `cmake --preset windows && "
                    f"cmake --build --preset windows` in {REPO}, or point PONDIX_DLL_DIR "
                    "at the folder holding the DLLs")
    return path


@pytest.fixture
def load_pondix(dll_path):
    """Factory: a fresh emulator on a line prepared by the test, attached by default."""
    def load(line=None, attach=True, settled=True, **options):
        """settled: the balance ends the line it was sending when the port
        opened (the DLL never reads that one), so that the next line fed is
        read; False leaves the line as the open found it."""
        emu = Emulator.load(dll_path, backend=line if line is not None else ScriptedLine(), **options)
        if attach:
            emu.attach()
            if settled:
                emu.backend.feed(SETTLE)
        return emu
    return load


@pytest.fixture
def pondix(load_pondix):
    """The DLL loaded and attached on an idle scripted line (emu.backend)."""
    return load_pondix()
