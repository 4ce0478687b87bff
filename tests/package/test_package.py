"""What a technician downloads: the zip's contents and checksums, and the
version resource Explorer shows for each binary, read back from the built
files."""

import hashlib
import os
import re
import zipfile
from pathlib import Path

import pefile
import pytest

REPO = Path(__file__).resolve().parents[2]
VERSION = re.search(r"project\(pondix VERSION (\d+\.\d+\.\d+)",
                    (REPO / "CMakeLists.txt").read_text()).group(1)
BUILD = Path(os.environ.get("PONDIX_DLL_DIR", REPO / "build" / "windows"))
TOP = f"pondix-{VERSION}-win32"
FILES = {"README.txt", "abi.md", "pondix.ini.example", "pondix1.dll", "pondix5.dll",
         "pondixcheck.exe", "SHA256SUMS"}


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory):
    archive = BUILD / f"{TOP}.zip"
    if not archive.is_file():
        pytest.fail(f"{archive} is missing: `cmake --build --preset windows --target package`")
    out = tmp_path_factory.mktemp("zip")
    with zipfile.ZipFile(archive) as z:
        names = z.namelist()
        z.extractall(out)
    return names, out / TOP


def test_the_zip_holds_exactly_the_files_in_one_folder(unpacked):
    names, _ = unpacked
    assert sorted(names) == sorted(f"{TOP}/{f}" for f in FILES)


def test_checksums_match_every_other_file(unpacked):
    _, top = unpacked
    sums = {}
    for line in (top / "SHA256SUMS").read_text().splitlines():
        digest, name = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line).groups()
        sums[name] = digest
    assert set(sums) == FILES - {"SHA256SUMS"}
    for name, digest in sums.items():
        assert hashlib.sha256((top / name).read_bytes()).hexdigest() == digest, name


def test_the_binaries_are_the_ones_built(unpacked):
    _, top = unpacked
    for name in ("pondix5.dll", "pondix1.dll", "pondixcheck.exe"):
        assert (top / name).read_bytes() == (BUILD / name).read_bytes(), name


def test_texts_for_windows_say_the_version_and_end_lines_in_crlf(unpacked):
    _, top = unpacked
    readme = (top / "README.txt").read_bytes()
    assert f"pondix {VERSION}".encode() in readme
    for name in ("README.txt", "pondix.ini.example"):
        data = (top / name).read_bytes()
        assert data.count(b"\n") == data.count(b"\r\n") > 10, name
    # The example, uncommented, is a file the DLL would take.
    example = (top / "pondix.ini.example").read_text()
    assert "[port]" in example and ";name=COM7" in example and ";mode=baud=" in example


def version_resource(path):
    pe = pefile.PE(str(path))
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    file_version = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                    fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    return file_version, fixed.FileType, strings


@pytest.mark.parametrize("name, kind", [("pondix5.dll", 2), ("pondix1.dll", 2),
                                        ("pondixcheck.exe", 1)])
def test_version_resource_as_explorer_reads_it(name, kind):
    file_version, file_type, strings = version_resource(BUILD / name)
    major, minor, patch = (int(x) for x in VERSION.split("."))
    assert file_version == (major, minor, patch, 0)
    assert file_type == kind  # VFT_APP 1, VFT_DLL 2
    assert strings["FileVersion"] == strings["ProductVersion"] == VERSION
    assert strings["OriginalFilename"] == name
    assert strings["InternalName"] == name.rsplit(".", 1)[0]
    assert strings["ProductName"] == "pondix"
    assert strings["FileDescription"] and "Copyright" in strings["LegalCopyright"]
    if name.endswith(".dll"):
        assert f"Com{name[6]}:" in strings["FileDescription"]
