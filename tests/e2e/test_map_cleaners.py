"""End-to-end tests of the map cleaners, pelloran and dravimund.

Each test runs a built program on real files in a temporary folder, either
in a tmux pane (what the screen shows, the cursor, keys, signals, the
terminal's settings afterwards) or through pipes (the exact byte stream).
The maps are read back and compared with `cleaned`, a small model of the
two cell rules.
"""

from __future__ import annotations

import array
import contextlib
import errno
import functools
import hashlib
import os
import signal
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator, Optional

import harness
from harness import END_PROMPT, PROMPT, FolderTestCase, TerminalTestCase, run_piped, screen_after

MiB = 1048576
MAP_USAGE = "Drop the map you wish to clean onto the icon of this program to fix it."
TITLES = {"pelloran": "Pelloran", "dravimund": "Dravimund"}
TOOLS = tuple(TITLES)


# ---- the cell rules, as a model --------------------------------------------


def _pelloran_selects(first: int, second: int) -> bool:
    return first != 0xFF and second != 0xFF


def _dravimund_selects(first: int, second: int) -> bool:
    return first == 0x00


RULES = {
    "pelloran": (_pelloran_selects, b"\x01\x00"),
    "dravimund": (_dravimund_selects, b"\xff\x00"),
}


@functools.cache
def _cell_table(tool: str) -> array.array:
    """Every two-byte cell, as a native 16-bit value, mapped to what the
    tool leaves in it."""
    selects, replacement = RULES[tool]
    order = sys.byteorder
    new = int.from_bytes(replacement, order)
    return array.array(
        "H", (new if selects(*value.to_bytes(2, order)) else value for value in range(65536))
    )


def cleaned(tool: str, data: bytes) -> bytes:
    """The map after one pass: each whole cell that the tool's rule selects
    holds the replacement bytes; a trailing single byte is left as it is."""
    whole = len(data) - len(data) % 2
    cells = array.array("H")
    cells.frombytes(data[:whole])
    table = _cell_table(tool)
    return array.array("H", map(table.__getitem__, cells)).tobytes() + data[whole:]


# Both rules rewrite 00 00, 00 7F and 00 01; only pelloran rewrites 12 34,
# 01 00 and 80 00; only dravimund rewrites 00 FF; neither rewrites FF 00,
# FF FF, FF 01 or 7F FF.
PATTERN = bytes.fromhex("0000 1234 0100 ff00 00ff ffff 007f 8000 ff01 7fff 0001")


def map_bytes(size: int, last_cell: Optional[bytes] = None) -> bytes:
    """A map of `size` bytes of PATTERN, its last cell replaced if given."""
    data = (PATTERN * (size // len(PATTERN) + 1))[:size]
    if last_cell is not None:
        data = data[:-2] + last_cell
    return data


def odd_map(size: int) -> bytes:
    """A map of odd `size` whose trailing byte 00, read over the cell 12 00
    before it, would pass either rule if it were taken as a cell."""
    return map_bytes(size - 3) + b"\x12\x00\x00"


# ---- what the programs print -------------------------------------------------


def banner(tool: str) -> bytes:
    return harness.banner_stream(TITLES[tool])


def usage_stream(tool: str) -> bytes:
    return banner(tool) + MAP_USAGE.encode() + b"\r\n" + END_PROMPT


def pass_stream(tool: str, marks: bytes) -> bytes:
    return banner(tool) + b"Fixing: [*" + marks + b"]\r\nDone.\r\n" + END_PROMPT


def open_failure_stream(tool: str, argument: bytes) -> bytes:
    return banner(tool) + b'\r\nError opening "' + argument + b'"\r\n' + END_PROMPT


def banner_rows(tool: str) -> list[str]:
    return harness.banner_rows(TITLES[tool])


# ---- files -------------------------------------------------------------------


def snapshot(folder: Path) -> dict[str, tuple]:
    """Names, kinds, permissions, sizes and contents of everything in
    `folder`; files of 64 MiB or more by size and modification time only."""
    found: dict[str, tuple] = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = Path(root) / name
            info = path.lstat()
            content = None
            if stat.S_ISREG(info.st_mode) and info.st_size < 64 * MiB:
                content = hashlib.sha256(path.read_bytes()).hexdigest()
            found[str(path.relative_to(folder))] = (
                stat.S_IFMT(info.st_mode),
                stat.S_IMODE(info.st_mode),
                info.st_size if not stat.S_ISDIR(info.st_mode) else None,
                info.st_mtime_ns if content is None and not stat.S_ISDIR(info.st_mode) else None,
                content,
            )
    return found


@contextlib.contextmanager
def held_by_another_process(path: Path, lock: bool) -> Iterator[None]:
    """Keeps `path` open for reading in a separate process, with an
    exclusive flock when `lock` is true."""
    script = (
        "import fcntl, sys, time\n"
        "f = open(sys.argv[1], 'rb')\n"
        "if sys.argv[2] == 'lock':\n"
        "    fcntl.flock(f, fcntl.LOCK_EX)\n"
        "print('held', flush=True)\n"
        "time.sleep(60)\n"
    )
    holder = subprocess.Popen(
        [sys.executable, "-c", script, str(path), "lock" if lock else "open"],
        stdout=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
    )
    try:
        assert holder.stdout is not None
        if holder.stdout.readline().strip() != b"held":
            raise AssertionError("the holding process did not start")
        yield
    finally:
        holder.kill()
        holder.wait(timeout=harness.WAIT_SECONDS)
        if holder.stdout is not None:
            holder.stdout.close()


def read_back_all_cells(path: Path, cell: bytes, size: int) -> bool:
    """Whether the file holds `size` bytes, every two of them `cell`."""
    if path.stat().st_size != size:
        return False
    chunk = cell * (MiB // 2)
    with path.open("rb") as f:
        while block := f.read(MiB):
            if block != chunk[: len(block)]:
                return False
    return True


# ---- through pipes -----------------------------------------------------------


class ByteStreamTest(FolderTestCase):
    """stdout and stdin are pipes: the exact bytes of every line."""

    def test_usage_without_an_argument(self) -> None:
        for tool in TOOLS:
            with self.subTest(tool=tool):
                run = run_piped([tool], self.work)
                self.assertEqual(run.status, 0)
                self.assertEqual(run.stdout, usage_stream(tool))

    def test_progress_line_and_cells(self) -> None:
        cases: list[tuple[str, str, Callable[[], bytes], bytes]] = [
            ("pelloran", "empty", lambda: b"", b""),
            ("dravimund", "empty", lambda: b"", b""),
            ("pelloran", "2 bytes, cell kept", lambda: b"\xff\xff", b""),
            ("pelloran", "2 bytes, cell rewritten", lambda: b"\x12\x34", b""),
            ("dravimund", "2 bytes, cell kept", lambda: b"\x01\x00", b""),
            ("dravimund", "2 bytes, cell rewritten", lambda: b"\x00\x7f", b""),
            ("pelloran", "1 MiB", lambda: map_bytes(MiB), b"."),
            ("dravimund", "1 MiB", lambda: map_bytes(MiB), b"."),
            ("pelloran", "3 MiB", lambda: map_bytes(3 * MiB), b"..."),
            ("dravimund", "3 MiB", lambda: map_bytes(3 * MiB), b"..."),
            ("pelloran", "10 MiB", lambda: map_bytes(10 * MiB), b"....-....*"),
            ("dravimund", "10 MiB", lambda: map_bytes(10 * MiB), b"....-....*"),
            ("pelloran", "20 MiB", lambda: map_bytes(20 * MiB), b"....-....*" * 2),
            ("pelloran", "1 MiB - 2, last cell FF FF", lambda: map_bytes(MiB - 2, b"\xff\xff"), b"."),
            ("pelloran", "1 MiB - 2, last cell 00 00", lambda: map_bytes(MiB - 2, b"\x00\x00"), b""),
            ("dravimund", "1 MiB - 2, last cell FF FF", lambda: map_bytes(MiB - 2, b"\xff\xff"), b"."),
            ("dravimund", "1 MiB - 2, last cell 00 00", lambda: map_bytes(MiB - 2, b"\x00\x00"), b""),
            ("pelloran", "odd, 7 bytes", lambda: odd_map(7), b""),
            ("dravimund", "odd, 7 bytes", lambda: odd_map(7), b""),
            ("pelloran", "odd, 1 MiB + 1", lambda: odd_map(MiB + 1), b"."),
            ("dravimund", "odd, 5 MiB + 3", lambda: odd_map(5 * MiB + 3), b"....-"),
        ]
        path = self.work / "map.bin"
        for tool, label, make, marks in cases:
            with self.subTest(tool=tool, map=label):
                data = make()
                path.write_bytes(data)
                run = run_piped([tool, "map.bin"], self.work)
                self.assertEqual(run.status, 0)
                self.assertEqual(run.stdout, pass_stream(tool, marks))
                after = path.read_bytes()
                self.assertEqual(len(after), len(data), "the map changed its length")
                self.assertTrue(after == cleaned(tool, data), "the cells read back differ from the rule")

    def test_second_run_changes_nothing(self) -> None:
        path = self.work / "map.bin"
        for tool in TOOLS:
            with self.subTest(tool=tool):
                data = map_bytes(MiB + 4)
                path.write_bytes(data)
                run_piped([tool, "map.bin"], self.work)
                once = path.read_bytes()
                self.assertNotEqual(once, data)
                run = run_piped([tool, "map.bin"], self.work)
                self.assertEqual(run.status, 0)
                self.assertTrue(path.read_bytes() == once)

    def test_open_failure_reports(self) -> None:
        long_missing = ("0123456789" * 30).encode()

        def missing(d: Path) -> bytes:
            return b"missing.bin"

        def missing_folder(d: Path) -> bytes:
            return b"no such folder/map.bin"

        def folder(d: Path) -> bytes:
            (d / "folder").mkdir()
            return b"folder"

        def read_only(d: Path) -> bytes:
            (d / "locked.bin").write_bytes(b"\x00\x00\x12\x34")
            os.chmod(d / "locked.bin", 0o444)
            return b"locked.bin"

        def two_gib(d: Path) -> bytes:
            with (d / "huge.bin").open("wb") as f:
                f.truncate(2 * 1024 * MiB)
            return b"huge.bin"

        def empty_argument(d: Path) -> bytes:
            return b""

        def over_long_naming_nothing(d: Path) -> bytes:
            return long_missing

        def over_long_whose_start_names_a_file(d: Path) -> bytes:
            (d / ("a" * 255)).write_bytes(b"\x00\x00" * 8)
            return b"a" * 255 + b"b" * 45

        # Each case with the exit status it ends with: the open's failure code.
        cases = [
            (missing, errno.ENOENT), (missing_folder, errno.ENOENT), (folder, errno.EISDIR),
            (read_only, errno.EACCES), (two_gib, errno.EFBIG), (empty_argument, errno.ENOENT),
            (over_long_naming_nothing, errno.ENAMETOOLONG),
            (over_long_whose_start_names_a_file, errno.ENAMETOOLONG),
        ]  # fmt: skip
        for tool in TOOLS:
            for case, status in cases:
                with self.subTest(tool=tool, case=case.__name__):
                    folder_for_case = Path(tempfile.mkdtemp(dir=self.work))
                    argument = case(folder_for_case)
                    before = snapshot(folder_for_case)
                    run = run_piped([tool, argument], folder_for_case)
                    self.assertEqual(run.status, status)
                    self.assertEqual(run.stdout, open_failure_stream(tool, argument))
                    self.assertEqual(snapshot(folder_for_case), before, "the folder changed")

    def test_open_failure_for_a_file_held_by_another_process(self) -> None:
        path = self.work / "held.bin"
        path.write_bytes(b"\x00\x00\x00\x00")
        for tool in TOOLS:
            for lock in (False, True):
                with self.subTest(tool=tool, flock=lock):
                    with held_by_another_process(path, lock):
                        run = run_piped([tool, "held.bin"], self.work)
                    self.assertEqual(run.status, errno.EACCES)
                    self.assertEqual(run.stdout, open_failure_stream(tool, b"held.bin"))
                    self.assertEqual(path.read_bytes(), b"\x00\x00\x00\x00")

    def test_name_of_255_characters_opens(self) -> None:
        name = "n" * 255
        (self.work / name).write_bytes(b"\x00\x00\xff\xff")
        run = run_piped(["pelloran", name], self.work)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, pass_stream("pelloran", b""))
        self.assertEqual((self.work / name).read_bytes(), b"\x01\x00\xff\xff")

    def test_arguments_after_the_first_are_ignored(self) -> None:
        data = map_bytes(4096)
        (self.work / "map.bin").write_bytes(data)
        (self.work / "other.bin").write_bytes(data)
        for tool in TOOLS:
            with self.subTest(tool=tool):
                (self.work / "map.bin").write_bytes(data)
                run = run_piped([tool, "map.bin", "other.bin", "missing.bin", ""], self.work)
                self.assertEqual(run.status, 0)
                self.assertEqual(run.stdout, pass_stream(tool, b""))
                self.assertEqual((self.work / "map.bin").read_bytes(), cleaned(tool, data))
                self.assertEqual((self.work / "other.bin").read_bytes(), data)
                self.assertFalse((self.work / "missing.bin").exists())

    def test_path_with_blanks(self) -> None:
        folder = self.work / "my maps"
        folder.mkdir()
        path = folder / " the map .bin"
        data = map_bytes(64)
        path.write_bytes(data)
        run = run_piped(["dravimund", "my maps/ the map .bin"], self.work)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, pass_stream("dravimund", b""))
        self.assertEqual(path.read_bytes(), cleaned("dravimund", data))

    def test_stream_drops_bell_and_backspace_and_keeps_other_bytes(self) -> None:
        # A name that names no file is printed back in the report.
        name = b"a\x07b\x08c\x1b[2J\x01\x7f\xe9\xff"
        run = run_piped(["pelloran", name], self.work)
        self.assertEqual(run.status, errno.ENOENT)
        self.assertEqual(run.stdout, open_failure_stream("pelloran", b"abc\x1b[2J\x01\x7f\xe9\xff"))


class StandardInputTest(FolderTestCase):
    """stdin is not a terminal: each byte is a key; its end reads as Escape."""

    def test_a_byte_ends_the_prompt(self) -> None:
        for stdin in (b"x", b"\x00", b"\x1b[A"):
            with self.subTest(stdin=stdin):
                run = run_piped(["pelloran"], self.work, stdin=stdin)
                self.assertEqual(run.status, 0)
                self.assertEqual(run.stdout, usage_stream("pelloran"))

    def test_prompt_waits_while_the_input_stays_open(self) -> None:
        process = subprocess.Popen(
            [str(harness.program("dravimund"))],
            cwd=self.work,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.addCleanup(process.kill)
        assert process.stdin is not None
        time.sleep(0.5)
        self.assertIsNone(process.poll(), "the prompt did not wait for a key")
        process.stdin.write(b"k")
        process.stdin.flush()
        out, _ = process.communicate(timeout=harness.WAIT_SECONDS)
        self.assertEqual(process.returncode, 0)
        self.assertEqual(out, usage_stream("dravimund"))


class NoStandardOutputTest(FolderTestCase):
    """With no usable stdout the program ends before the banner."""

    def test_status_1_and_a_message(self) -> None:
        data = map_bytes(64)
        path = self.work / "map.bin"
        for tool in TOOLS:
            for stdout in ("closed", "read-only"):
                with self.subTest(tool=tool, stdout=stdout):
                    path.write_bytes(data)
                    run = run_piped([tool, "map.bin"], self.work, stdout=stdout)
                    self.assertEqual(run.status, 1)
                    self.assertNotEqual(run.stderr.strip(), b"", "no message on stderr")
                    self.assertEqual(path.read_bytes(), data, "the map was changed")


# ---- in a terminal -----------------------------------------------------------


class ScreenTest(TerminalTestCase):
    """What the terminal shows, cell for cell, and where the cursor stands."""

    def expect_screen(self, run: harness.TerminalRun, rows: list[str], cursor_row: int) -> None:
        shown = run.wait_for(PROMPT)
        self.assertEqual(shown, rows)
        self.assertEqual(run.cursor(), (0, cursor_row))

    def end_with_key(self, run: harness.TerminalRun, rows: list[str], status: int = 0) -> None:
        run.send_keys("q")
        end = run.wait_exit()
        self.assertExitedWith(end, status)
        self.assertTerminalRestored(run, end)
        self.assertEqual(run.screen(), rows, "the screen changed after the key")

    def test_usage_screens(self) -> None:
        usage = [MAP_USAGE, "", PROMPT]
        cases = [
            ("pelloran", b"", 80, 25),
            ("dravimund", b"", 80, 25),
            ("pelloran", b"one\ntwo\nthree\n", 80, 25),
            ("dravimund", b"$ ", 80, 25),
            ("pelloran", b"".join(b"line %d\n" % i for i in range(1, 23)), 80, 25),
            ("dravimund", b"", 40, 12),
        ]
        for tool, preamble, width, height in cases:
            with self.subTest(tool=tool, preamble=preamble[:20], size=(width, height)):
                before = preamble.decode().split("\n")
                rows, cursor_row = screen_after(before, banner_rows(tool) + usage, width, height)
                run = self.run_program([tool], width=width, height=height, preamble=preamble)
                self.expect_screen(run, rows, cursor_row)
                self.end_with_key(run, rows)

    def test_pass_screens(self) -> None:
        cases = [
            ("pelloran", 10 * MiB, "Fixing: [*....-....*]"),
            ("dravimund", 0, "Fixing: [*]"),
        ]
        for tool, size, progress in cases:
            with self.subTest(tool=tool, size=size):
                path = self.work / "map.bin"
                data = map_bytes(size)
                path.write_bytes(data)
                rows, cursor_row = screen_after(
                    [""], banner_rows(tool) + [progress, "Done.", "", PROMPT], 80, 25
                )
                run = self.run_program([tool, "map.bin"])
                self.expect_screen(run, rows, cursor_row)
                self.end_with_key(run, rows)
                self.assertTrue(path.read_bytes() == cleaned(tool, data))

    def test_long_argument_report_wraps(self) -> None:
        argument = "".join(chr(ord("A") + i % 26) for i in range(300))
        report = f'Error opening "{argument}"'
        rows, cursor_row = screen_after([""], banner_rows("pelloran") + ["", report, "", PROMPT], 80, 25)
        self.assertEqual(rows[4:8], [report[0:80], report[80:160], report[160:240], report[240:]])
        run = self.run_program(["pelloran", argument])
        self.expect_screen(run, rows, cursor_row)
        self.end_with_key(run, rows, errno.ENAMETOOLONG)
        self.assertEqual(os.listdir(self.work), [])

    def test_name_with_control_codes_shows_glyphs(self) -> None:
        # No file of this name exists, so the report shows it. ESC [ 2 J
        # would clear the screen if it reached the terminal as it is.
        name = b"a\x01\x09\x1b[2J\x7f\x9b\xe9\x07\xffz"
        glyphs = "a\u263a\u25cb\u2190[2J\u2302" + bytes([0x9B, 0xE9]).decode("cp437") + "\u00a0z"
        # Without a UTF-8 locale the glyphs cannot be written, and every
        # code outside 32..126 shows as "?".
        plain = "a???[2J????z"
        locales = {
            "UTF-8 locale": ({"LC_ALL": "C.UTF-8"}, glyphs),
            "no locale set": ({"LC_ALL": None, "LC_CTYPE": None, "LANG": None}, plain),
            "C locale": ({"LC_ALL": "C"}, plain),
        }
        for label, (env, shown) in locales.items():
            rows, cursor_row = screen_after(
                [""], banner_rows("pelloran") + ["", f'Error opening "{shown}"', "", PROMPT], 80, 25
            )
            with self.subTest(locale=label):
                run = self.run_program(["pelloran", name], env=env)
                self.expect_screen(run, rows, cursor_row)
                self.end_with_key(run, rows, errno.ENOENT)
                self.assertEqual(os.listdir(self.work), [])


class KeyAndSignalTest(TerminalTestCase):
    """Keys at the end prompt, and interruptions."""

    def start_at_prompt(self, tool: str = "pelloran", **options: object) -> harness.TerminalRun:
        run = self.run_program([tool], **options)
        run.wait_for(PROMPT)
        return run

    def test_any_key_ends_the_prompt(self) -> None:
        keys = [
            "q", "Enter", "Escape", "Space", "BSpace", "Tab", "F1", "F12", "Up", "Left",
            "Home", "PPage", "DC", "IC", "KP5", "KP/", "KPEnter", "M-a", "C-z", "C-\\",
        ]  # fmt: skip
        for key in keys:
            with self.subTest(key=key):
                run = self.start_at_prompt()
                self.assertTrue(run.keypad_mode(), "no application keypad mode while running")
                rows = run.screen()
                run.send_keys(key)
                end = run.wait_exit()
                self.assertExitedWith(end, 0)
                self.assertTerminalRestored(run, end)
                self.assertEqual(end.unread_input, b"", "part of the key was left unread")
                self.assertEqual(run.screen(), rows, "the key changed the screen")

    def test_key_typed_before_the_prompt_ends_it(self) -> None:
        for keys in (["k"], ["F1"], ["Up"]):
            with self.subTest(typed_before_start=keys):
                run = self.run_program(["dravimund"], keys_before=keys)
                end = run.wait_exit()
                self.assertExitedWith(end, 0)
                self.assertTerminalRestored(run, end)
                self.assertEqual(run.screen()[:6], banner_rows("dravimund") + [MAP_USAGE, "", PROMPT])
                self.assertEqual(run.cursor(), (0, 6))
        with self.subTest(typed="right after the start"):
            run = self.run_program(["dravimund"])
            run.send_keys("k")
            end = run.wait_exit()
            self.assertExitedWith(end, 0)
            self.assertTerminalRestored(run, end)
            self.assertIn(PROMPT, run.screen_text())

    def test_key_typed_during_the_pass_ends_the_prompt(self) -> None:
        path = self.work / "big.bin"
        with path.open("wb") as f:
            f.truncate(64 * MiB)
        run = self.run_program(["pelloran", "big.bin"])
        run.wait_for("Fixing")
        run.send_keys("k")
        end = run.wait_exit(timeout=20)
        self.assertExitedWith(end, 0)
        self.assertTerminalRestored(run, end)
        self.assertIn("Done.\n\n" + PROMPT, run.screen_text())
        self.assertTrue(read_back_all_cells(path, b"\x01\x00", 64 * MiB))

    def test_end_of_input_ends_the_prompt(self) -> None:
        run = self.run_program(["pelloran"], stdin_null=True)
        end = run.wait_exit()
        self.assertExitedWith(end, 0)
        self.assertTerminalRestored(run, end)
        self.assertEqual(run.screen()[:6], banner_rows("pelloran") + [MAP_USAGE, "", PROMPT])

    def test_ctrl_c_at_the_prompt_interrupts(self) -> None:
        run = self.start_at_prompt("dravimund")
        run.send_keys("C-c")
        end = run.wait_exit()
        self.assertKilledBy(end, signal.SIGINT)
        self.assertTerminalRestored(run, end)

    def test_interruption_during_the_pass_waits_for_its_end(self) -> None:
        def ctrl_c(run: harness.TerminalRun) -> None:
            run.send_keys("C-c")

        def kill_with(signum: int) -> Callable[[harness.TerminalRun], None]:
            return lambda run: os.kill(run.pid, signum)

        cases = [
            ("Ctrl+C", ctrl_c, signal.SIGINT),
            ("SIGTERM", kill_with(signal.SIGTERM), signal.SIGTERM),
            ("SIGHUP", kill_with(signal.SIGHUP), signal.SIGHUP),
        ]
        size = 64 * MiB
        for label, interrupt, signum in cases:
            with self.subTest(interruption=label):
                path = self.work / "big.bin"
                with path.open("wb") as f:
                    f.truncate(size)
                run = self.run_program(["dravimund", "big.bin"])
                run.wait_for("Fixing")
                still_running = "]" not in run.screen_text()
                interrupt(run)
                end = run.wait_exit(timeout=20)
                self.assertKilledBy(end, signum)
                self.assertTerminalRestored(run, end)
                if still_running:
                    self.assertNotIn(PROMPT, run.screen_text(), "the interruption waited past the pass")
                self.assertTrue(
                    read_back_all_cells(path, b"\xff\x00", size), "the map is not completely cleaned"
                )
                path.unlink()


if __name__ == "__main__":
    harness.main()
