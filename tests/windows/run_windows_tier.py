"""The Windows tier: builds the Windows programs with the `windows` presets
and runs their tests under Wine.

1. `cmake --preset windows` and `cmake --build --preset windows` in the
   source folder (their own build folder; the native build is not touched);
2. a fresh Wine prefix in a temporary folder (`wineboot -i`, once);
3. `unit_tests.exe`, where the build made it, in a tmux pane, so that the
   tests of the console back end have a console (without tmux it runs on
   pipes, and those tests skip themselves);
4. the Wine end-to-end tests (tests/e2e/test_windows.py).

Without the MinGW-w64 cross compiler or Wine the tier is skipped: it says
what is missing and ends with SKIP_STATUS. Every step is bounded, and the
whole tier ends within --budget seconds; the prefix is removed on every
way out.
"""

from __future__ import annotations

import argparse
import json
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


def binary_dir(source: Path) -> Path:
    """The build folder of the `windows` configure preset."""
    presets = json.loads((source / "CMakePresets.json").read_text())
    for preset in presets.get("configurePresets", []):
        if preset.get("name") == PRESET and "binaryDir" in preset:
            return Path(preset["binaryDir"].replace("${sourceDir}", str(source)))
    return source / "build" / PRESET


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


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source-dir", required=True, type=Path)
    parser.add_argument("--cmake", default="cmake", help="the cmake to build with")
    parser.add_argument("--budget", type=float, default=840.0, help="seconds for the whole tier")
    args = parser.parse_args(argv)

    missing = [tool for tool in (CROSS_COMPILER, "wine") if shutil.which(tool) is None]
    if missing:
        say(f"skipped: not installed: {', '.join(missing)}")
        return SKIP_STATUS

    # A stop from outside (CTest's time-out) still removes the prefix.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    deadline = Deadline(args.budget)
    source = args.source_dir.resolve()
    build = binary_dir(source)

    for step in (["--preset", PRESET], ["--build", "--preset", PRESET]):
        if not run_step("cmake " + " ".join(step), [args.cmake, *step], source, deadline.left()):
            return 1
    programs = build / "programs"
    absent = [name for name in PROGRAMS if not (programs / f"{name}.exe").is_file()]
    if absent:
        say(f"the build made no {', '.join(name + '.exe' for name in absent)} in {programs}")
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


if __name__ == "__main__":
    sys.exit(main())
