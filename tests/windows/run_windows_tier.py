"""The Windows tier: builds the Windows programs with the `windows`
configure preset and checks them under Wine and in their ZIP. It runs as
three CTest tests, so that the test command shows which step it is in:

    run_windows_tier.py build --binary-dir B   `cmake --preset windows -B B`
                                               and `cmake --build B`: the
                                               cross build goes inside the
                                               native build folder, never
                                               into the source tree;
    run_windows_tier.py tests --binary-dir B   a fresh Wine prefix in a
                                               temporary folder (`wineboot
                                               -i`); `unit_tests.exe` in a
                                               tmux pane, so that the tests
                                               of the console back end have
                                               a console (without tmux it
                                               runs on pipes, and those tests
                                               skip themselves); then the
                                               Wine end-to-end tests
                                               (tests/e2e/test_windows.py);
    run_windows_tier.py zip --binary-dir B     the ZIP made with CPack, its
                                               contents, README.txt and
                                               LICENSE.txt with Windows line
                                               ends, SHA256SUMS, the version
                                               resource, manifest and icon of
                                               every .exe, no PE time stamp;
                                               then a second build of the
                                               programs in B-again, whose ZIP
                                               must have the same sum.

Without the MinGW-w64 cross compiler or Wine a step is skipped: it says
what is missing and ends with SKIP_STATUS. Every step is bounded, and
each ends within --budget seconds; the prefix is removed on every way out.
"""

from __future__ import annotations

import argparse
import hashlib
import re
import struct
import zipfile
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional, Sequence

E2E_DIR = Path(__file__).resolve().parent.parent / "e2e"
sys.path.insert(0, str(E2E_DIR))

import harness  # noqa: E402

#: The exit status that CTest counts as a skip (SKIP_RETURN_CODE).
SKIP_STATUS = 77
CROSS_COMPILER = "x86_64-w64-mingw32-g++"
PROGRAMS = ("pelloran", "dravimund", "oskebar", "halvard")
PRESET = "windows"
#: The longest that the unit tests may take.
UNIT_TEST_SECONDS = 300.0
#: How many lines of a failed step's output are shown.
TAIL_LINES = 80


class Deadline:
    def __init__(self, seconds: float) -> None:
        self.end = time.monotonic() + seconds

    def left(self, cap: Optional[float] = None) -> float:
        remaining = max(self.end - time.monotonic(), 1.0)
        return remaining if cap is None else min(remaining, cap)


def say(text: str) -> None:
    print(f"windows tier: {text}", flush=True)


def tail(text: str) -> str:
    return "\n".join(text.splitlines()[-TAIL_LINES:])


def run_step(what: str, command: Sequence[str], cwd: Path, timeout: float) -> bool:
    """Runs one command with its output collected; shows the output's end
    when it fails."""
    started = time.monotonic()
    try:
        done = subprocess.run(
            list(command), cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, timeout=timeout,
        )  # fmt: skip
    except subprocess.TimeoutExpired as expired:
        output = expired.output.decode(errors="replace") if expired.output else ""
        say(f"{what}: timed out after {timeout:.0f} s\n{tail(output)}")
        return False
    output = done.stdout.decode(errors="replace")
    if done.returncode != 0:
        say(f"{what}: failed with exit status {done.returncode}\n{tail(output)}")
        return False
    say(f"{what}: done in {time.monotonic() - started:.0f} s")
    return True


def run_unit_tests(executable: Path, prefix: harness.WinePrefix, work: Path, timeout: float) -> bool:
    launcher = harness.wine_launcher(executable.parent, prefix.path)
    log = work / "unit_tests.log"
    arguments = [executable.stem, "--gtest_brief=1"]
    if shutil.which("tmux") is None:
        say("tmux is not installed: the unit tests run without a console")
        try:
            done = subprocess.run(
                launcher.command(arguments), cwd=work, env=harness.environment_with(launcher.env),
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                timeout=timeout,
            )  # fmt: skip
        except subprocess.TimeoutExpired:
            say(f"unit tests: timed out after {timeout:.0f} s")
            return False
        print(done.stdout.decode(errors="replace"), flush=True)
        status: Optional[int] = done.returncode
    else:
        server = harness.TerminalServer(launcher)
        try:
            run = server.start(arguments, work, width=120, height=40, output=log)
            try:
                end = run.wait_exit(timeout=timeout)
            except AssertionError:
                end = None
            finally:
                run.stop()
            print(log.read_text(errors="replace") if log.exists() else "", flush=True)
            if end is None:
                say(f"unit tests: timed out after {timeout:.0f} s")
                return False
            status = end.exit_status
        finally:
            server.stop()
    if status != 0:
        say(f"unit tests: failed with exit status {status}")
        return False
    say("unit tests: passed")
    return True


def run_end_to_end(bin_dir: Path, prefix: harness.WinePrefix, timeout: float) -> bool:
    env = dict(os.environ)
    env.update({
        "CNC64_WINDOWS_BIN_DIR": str(bin_dir),
        "CNC64_WINEPREFIX": str(prefix.path),
        "PYTHONDONTWRITEBYTECODE": "1",
    })  # fmt: skip
    try:
        done = subprocess.run(
            [sys.executable, "-m", "unittest", "-v", "test_windows"],
            cwd=E2E_DIR, env=env, stdin=subprocess.DEVNULL, timeout=timeout,
        )  # fmt: skip
    except subprocess.TimeoutExpired:
        say(f"end-to-end tests: timed out after {timeout:.0f} s")
        return False
    if done.returncode != 0:
        say(f"end-to-end tests: failed with exit status {done.returncode}")
        return False
    say("end-to-end tests: passed")
    return True


# ---- the ZIP and the resources of the programs ------------------------------

#: Resource types (winuser.h).
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
WINDOWS_10_ID = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def pe_resources(image: bytes) -> tuple[int, dict[tuple[int, int], bytes]]:
    """The PE header's time stamp, and the resources of an .exe as
    {(type, id): data}, first language of each."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe : pe + 4] != b"PE\0\0":
        raise AssertionError("not a PE image")
    sections, stamp = struct.unpack_from("<HI", image, pe + 6)
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise AssertionError("not a PE32+ image")
    resource_rva, resource_size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
    if resource_size == 0:
        return stamp, {}
    table = optional + optional_size
    spans = []
    for i in range(sections):
        _, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", image, table + 40 * i)
        spans.append((rva, max(size, raw_size), raw))

    def offset(rva: int) -> int:
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise AssertionError(f"RVA {rva:#x} lies in no section")

    base = offset(resource_rva)

    def entries(directory: int) -> list[tuple[int, int]]:
        named, ids = struct.unpack_from("<HH", image, base + directory + 12)
        return [struct.unpack_from("<II", image, base + directory + 16 + 8 * i) for i in range(named + ids)]

    found: dict[tuple[int, int], bytes] = {}
    for kind, kind_dir in entries(0):
        for ident, ident_dir in entries(kind_dir & 0x7FFFFFFF):
            _, leaf = entries(ident_dir & 0x7FFFFFFF)[0]
            data_rva, size = struct.unpack_from("<II", image, base + leaf)
            found[(kind, ident)] = image[offset(data_rva) : offset(data_rva) + size]
    return stamp, found


def check_program(name: str, image: bytes, version: str, copyright_line: str) -> bytes:
    """Checks one .exe's resources; gives its icon images, to compare."""
    stamp, resources = pe_resources(image)
    if stamp != 0:
        raise AssertionError(f"{name}: the PE header carries the time stamp {stamp}")
    kinds = {kind for kind, _ in resources}
    for kind, label in ((RT_VERSION, "version"), (RT_MANIFEST, "manifest"), (RT_GROUP_ICON, "icon")):
        if kind not in kinds:
            raise AssertionError(f"{name}: no {label} resource")
    info = next(data for (kind, _), data in resources.items() if kind == RT_VERSION)
    fixed = info.find(struct.pack("<I", 0xFEEF04BD))
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", info, fixed + 8)
    numbers = [int(part) for part in version.split(".")] + [0]
    wanted = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
    if (file_ms, file_ls) != wanted or (product_ms, product_ls) != wanted:
        raise AssertionError(f"{name}: the fixed file version is not {version}")
    text = info.decode("utf-16-le", errors="replace")
    for key, value in (("FileVersion", version), ("ProductVersion", version),
                       ("LegalCopyright", copyright_line), ("OriginalFilename", name)):  # fmt: skip
        if not re.search(re.escape(key) + r"\0+" + re.escape(value) + r"\0", text):
            raise AssertionError(f"{name}: the version resource has no {key} {value!r}")
    if not re.search(r"FileDescription\0+[^\0]{4,}\0", text):
        raise AssertionError(f"{name}: the version resource has no description")
    manifest = resources.get((RT_MANIFEST, 1), b"").decode("utf-8", errors="replace")
    for needed in ('level="asInvoker"', ">true</longPathAware>", f'supportedOS Id="{WINDOWS_10_ID}"'):
        if needed not in manifest:
            raise AssertionError(f"{name}: the manifest lacks {needed}")
    return b"".join(data for (kind, _), data in sorted(resources.items()) if kind == RT_ICON)


def windows_lines(name: str, data: bytes) -> str:
    if data.count(b"\n") == 0 or data.count(b"\r\n") != data.count(b"\n") or data.count(b"\r") != data.count(b"\n"):
        raise AssertionError(f"{name} does not have Windows line ends throughout")
    return data.decode("utf-8")


def check_zip(source: Path, build: Path) -> str:
    """Checks the ZIP in `build`; gives its SHA-256 sum."""
    version = re.search(r"project\(cnc64tools VERSION ([0-9.]+)", (source / "CMakeLists.txt").read_text()).group(1)
    licence = (source / "LICENSE").read_bytes()
    copyright_line = next(line for line in licence.decode().splitlines() if line.startswith("Copyright"))
    package = build / f"cnc64tools-{version}-win64.zip"
    data = package.read_bytes()
    digest = hashlib.sha256(data).hexdigest()
    beside = package.with_name(package.name + ".sha256").read_text().split()[0]
    if beside != digest:
        raise AssertionError(f"{package.name}.sha256 gives {beside}, the ZIP's sum is {digest}")
    with zipfile.ZipFile(package) as archive:
        infos = [info for info in archive.infolist() if not info.is_dir()]
        files = {info.filename.split("/", 1)[-1]: archive.read(info) for info in infos}
        times = {info.date_time for info in infos}
    say(f"{package.name} holds: {', '.join(sorted(files))}")
    wanted = {f"{p}.exe" for p in PROGRAMS} | {"README.txt", "LICENSE.txt", "SHA256SUMS"}
    if set(files) != wanted:
        raise AssertionError(f"the ZIP holds {sorted(files)}, not {sorted(wanted)}")
    if len(times) != 1:
        raise AssertionError(f"the ZIP's entries carry different times: {sorted(times)}")
    readme = windows_lines("README.txt", files["README.txt"])
    for needed in ("Send To", "SmartScreen", "Unblock", "certutil -hashfile", "SHA256SUMS",
                   "80 37 12 40", "40 12 37 80", "37 80 40 12", "LICENSE", *(f"{p}.exe" for p in PROGRAMS)):  # fmt: skip
        if needed not in readme:
            raise AssertionError(f"README.txt does not mention {needed!r}")
    if windows_lines("LICENSE.txt", files["LICENSE.txt"]).replace("\r\n", "\n").encode() != licence:
        raise AssertionError("LICENSE.txt is not the licence")
    sums = dict(reversed(line.split("  ", 1)) for line in files["SHA256SUMS"].decode().splitlines())
    if set(sums) != wanted - {"SHA256SUMS"}:
        raise AssertionError(f"SHA256SUMS lists {sorted(sums)}")
    for name, value in sums.items():
        if hashlib.sha256(files[name]).hexdigest() != value:
            raise AssertionError(f"SHA256SUMS gives a wrong sum for {name}")
    icons = {}
    for program in PROGRAMS:
        icons[program] = check_program(f"{program}.exe", files[f"{program}.exe"], version, copyright_line)
    if len(set(icons.values())) != len(PROGRAMS):
        raise AssertionError("two programs carry the same icon")
    say(f"{package.name}: contents, line ends, sums, resources and icons checked; sum {digest}")
    return digest


# ---- the steps ----------------------------------------------------------------


def configure_and_build(cmake: str, source: Path, build: Path, deadline: Deadline, *options: str) -> bool:
    return run_step(f"cmake --preset {PRESET} -B {build}", [cmake, "--preset", PRESET, "-B", str(build), *options],
                    source, deadline.left()) and run_step(  # fmt: skip
        f"cmake --build {build}", [cmake, "--build", str(build)], source, deadline.left()
    )


def step_build(args: argparse.Namespace, deadline: Deadline) -> int:
    source = args.source_dir.resolve()
    if not configure_and_build(args.cmake, source, args.binary_dir, deadline):
        return 1
    programs = args.binary_dir / "programs"
    absent = [name for name in PROGRAMS if not (programs / f"{name}.exe").is_file()]
    if absent:
        say(f"the build made no {', '.join(name + '.exe' for name in absent)} in {programs}")
        return 1
    return 0


def step_tests(args: argparse.Namespace, deadline: Deadline) -> int:
    build = args.binary_dir
    programs = build / "programs"
    if not all((programs / f"{name}.exe").is_file() for name in PROGRAMS):
        say(f"no Windows programs in {programs}: the build step did not make them")
        return 1
    try:
        prefix = harness.WinePrefix(timeout=deadline.left(harness.WINEBOOT_SECONDS))
    except (RuntimeError, subprocess.TimeoutExpired) as error:
        say(f"no Wine prefix: {error}")
        return 1
    work = Path(tempfile.mkdtemp(prefix="cnc64-windows-tier-"))
    try:
        say(f"Wine prefix ready: {prefix.path}")
        passed = True
        unit_tests = build / "tests" / "unit_tests.exe"
        if unit_tests.is_file():
            passed = run_unit_tests(unit_tests, prefix, work, deadline.left(UNIT_TEST_SECONDS)) and passed
        else:
            say(f"no unit_tests.exe in {unit_tests.parent}: the unit tests are not run")
        passed = run_end_to_end(programs, prefix, deadline.left()) and passed
    finally:
        prefix.close()
        shutil.rmtree(work, ignore_errors=True)
    return 0 if passed else 1


def step_zip(args: argparse.Namespace, deadline: Deadline) -> int:
    source = args.source_dir.resolve()
    build = args.binary_dir
    cpack = str(Path(args.cmake).with_name("cpack"))
    try:
        if not run_step("cpack (first build)", [cpack, "-G", "ZIP", "--config", str(build / "CPackConfig.cmake")],
                        build, deadline.left()):  # fmt: skip
            return 1
        first = check_zip(source, build)
        # A second build of the programs alone, in another folder: the same
        # source must give the same ZIP.
        again = build.with_name(build.name + "-again")
        shutil.rmtree(again, ignore_errors=True)
        if not configure_and_build(args.cmake, source, again, deadline, "-D", "BUILD_TESTING=OFF"):
            return 1
        if not run_step("cpack (second build)", [cpack, "-G", "ZIP", "--config", str(again / "CPackConfig.cmake")],
                        again, deadline.left()):  # fmt: skip
            return 1
        second = check_zip(source, again)
    except (AssertionError, OSError, KeyError, StopIteration, struct.error) as failure:
        say(f"ZIP check failed: {failure!r}")
        return 1
    if first != second:
        say(f"two builds gave different ZIPs: {first} and {second}")
        return 1
    say("two builds gave the same ZIP")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["build", "tests", "zip"])
    parser.add_argument("--source-dir", required=True, type=Path)
    parser.add_argument("--binary-dir", required=True, type=Path, help="the folder of the cross build")
    parser.add_argument("--cmake", default="cmake", help="the cmake to build with")
    parser.add_argument("--budget", type=float, default=840.0, help="seconds for the step")
    args = parser.parse_args(argv)
    args.binary_dir = args.binary_dir.resolve()

    needed = [CROSS_COMPILER] if args.step != "tests" else [CROSS_COMPILER, "wine"]
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        say(f"{args.step}: skipped: not installed: {', '.join(missing)}")
        return SKIP_STATUS

    # A stop from outside (CTest's time-out) still removes the prefix.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    deadline = Deadline(args.budget)
    say(f"{args.step}: started")
    steps = {"build": step_build, "tests": step_tests, "zip": step_zip}
    return steps[args.step](args, deadline)


if __name__ == "__main__":
    sys.exit(main())
