"""End-to-end tests of the Windows programs (`NAME.exe`) under Wine.

Each program runs through Wine in a tmux pane, as the programs of this
machine do in the other modules: Wine gives a console program a console
only inside a terminal, and draws that console's screen buffer on it. The
tests read the screen cell for cell, type keys and read the files back.

Wine's console in a terminal has limits that these tests keep clear of: it
reports every key without the enhanced-key flag and the keypad's keys as
the keys of the main block, gives Escape no character, knows tmux's Home
and End only as ESC [ H and ESC [ F, never delivers Ctrl+C, Ctrl+Z or
Ctrl+\\ as keys, prints control characters raw to the terminal (so rows
that show control codes are not compared; the unit tests check those cells
in the screen buffer itself), lets root open files that are read-only, and
reports the cursor at the top-left at start-up (every pane starts empty).

The programs come from `--bin-dir DIR` or CNC64_WINDOWS_BIN_DIR; the Wine
prefix from CNC64_WINEPREFIX, or, without it, a fresh one made for this
module.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import Iterator, Optional, Sequence

import harness
import test_map_cleaners as maps
import test_rom_tools as roms
from harness import PROMPT, TerminalRun, screen_after

WINDOWS_BIN_DIR_VARIABLE = "CNC64_WINDOWS_BIN_DIR"
WINE_PREFIX_VARIABLE = "CNC64_WINEPREFIX"

MiB = 1048576
#: Title and usage lines of each program.
USAGES = {
    "pelloran": ("Pelloran", [maps.MAP_USAGE]),
    "dravimund": ("Dravimund", [maps.MAP_USAGE]),
    "oskebar": ("Oskebar", [roms.OSKEBAR_USAGE]),
    "halvard": (roms.HALVARD_TITLE, roms.HALVARD_USAGE),
}
TOOLS = tuple(USAGES)
#: Home and End as a terminal sends them; Wine knows no other form.
HOME = b"\x1b[H"
END = b"\x1b[F"
#: How long a program may take to show its banner: Wine may start a
#: program late, for one while its server starts or ends the prefix's
#: services.
START_SECONDS = 30.0

_launcher: Optional[harness.Launcher] = None
_own_prefix: Optional[harness.WinePrefix] = None


def setUpModule() -> None:
    global _launcher, _own_prefix
    if shutil.which("wine") is None:
        raise unittest.SkipTest("wine is not installed: the Windows tests are skipped")
    folder = os.environ.get(WINDOWS_BIN_DIR_VARIABLE) or harness.bin_dir_given()
    if not folder:
        raise unittest.SkipTest(
            f"the Windows programs are not known: pass --bin-dir DIR or set {WINDOWS_BIN_DIR_VARIABLE}"
        )
    prefix = os.environ.get(WINE_PREFIX_VARIABLE)
    if not prefix:
        _own_prefix = harness.WinePrefix()
        prefix = str(_own_prefix.path)
    _launcher = harness.wine_launcher(folder, prefix)


def tearDownModule() -> None:
    if _own_prefix is not None:
        _own_prefix.close()


def banner_rows(tool: str) -> list[str]:
    return harness.banner_rows(USAGES[tool][0])


def report_rows(tool: str, argument: str) -> tuple[list[str], int]:
    """The screen, and the cursor's row, of the open-failure report."""
    return screen_after([""], banner_rows(tool) + ["", f'Error opening "{argument}"', "", PROMPT])


class WineTestCase(harness.TerminalTestCase):
    @classmethod
    def launcher(cls) -> harness.Launcher:
        assert _launcher is not None
        return _launcher

    def run_program(self, argv: Sequence[harness.Arg], *args: object, **options: object) -> TerminalRun:
        """Starts the program and waits until it shows something.

        Now and then Wine's console fails to start and the program ends
        before anything reaches the pane; such a start is tried once more.
        A program that shows nothing twice fails the test.
        """
        for attempt in (1, 2):
            run = super().run_program(argv, *args, **options)  # type: ignore[arg-type]
            run.wait_until(
                lambda: any(run.screen()) or run.ended(), "the program to show its banner", START_SECONDS
            )
            if not any(run.screen()):
                # The pane may take a moment to show what the program drew last.
                with contextlib.suppress(AssertionError):
                    run.wait_until(lambda: any(run.screen()), "the screen", 1.0)
            if any(run.screen()):
                return run
            ended = run.wait_exit().describe()
            if attempt == 2:
                self.fail(f"the program ended ({ended}) with nothing on the screen, twice")
            print(f"retrying a start that showed nothing ({ended})", file=sys.stderr, flush=True)
        return run

    @contextlib.contextmanager
    def case(self, **params: object) -> Iterator[None]:
        """A subtest whose programs end with it, so that a program left
        waiting by a failed case holds no file that the next case uses."""
        with self.subTest(**params):
            try:
                yield
            finally:
                self.stop_runs()

    def assertScreen(self, run: TerminalRun, rows: list[str], cursor: tuple[int, int]) -> None:
        """The pane shows `rows` with the cursor at `cursor`. Wine's console
        draws on the terminal a little after the program's calls, so the
        pane gets a bounded time to come to that state."""
        with contextlib.suppress(AssertionError):
            run.wait_until(lambda: run.screen() == rows and run.cursor() == cursor, "the expected screen")
        self.assertEqual(run.screen(), rows)
        self.assertEqual(run.cursor(), cursor)

    def expect_screen(self, run: TerminalRun, rows: list[str], cursor_row: int, status: int = 0) -> None:
        """The end prompt shows `rows`, the cursor stands at the start of
        `cursor_row`, and a key ends the program with exit status `status`
        and leaves the screen as it was."""
        run.wait_for(PROMPT)
        self.assertScreen(run, rows, (0, cursor_row))
        run.send_keys("q")
        end = run.wait_exit()
        self.assertExitedWith(end, status)
        self.assertEqual(run.screen(), rows, "the screen changed after the key")

    def finish(self, run: TerminalRun) -> None:
        run.wait_for(PROMPT)
        run.send_keys("q")
        self.assertExitedWith(run.wait_exit(), 0)


class UsageScreenTest(WineTestCase):
    def test_usage_screens(self) -> None:
        # The last case wraps the usage line and scrolls the screen buffer.
        cases = [(tool, 80, 25) for tool in TOOLS] + [("pelloran", 40, 6)]
        for tool, width, height in cases:
            with self.case(tool=tool, size=(width, height)):
                title, usage = USAGES[tool]
                rows, cursor_row = screen_after(
                    [""], harness.banner_rows(title) + usage + ["", PROMPT], width, height
                )
                run = self.run_program([tool], width=width, height=height)
                self.expect_screen(run, rows, cursor_row)


class PassTest(WineTestCase):
    """Each tool's main path: the screen, then the file's bytes."""

    def test_map_cleaners(self) -> None:
        # The second map ends with a single byte that no rule may touch.
        cases = [("pelloran", maps.map_bytes(MiB)), ("dravimund", maps.odd_map(MiB + 1))]
        for tool, data in cases:
            with self.case(tool=tool, size=len(data)):
                path = self.work / "map.bin"
                path.write_bytes(data)
                rows, cursor_row = screen_after(
                    [""], banner_rows(tool) + ["Fixing: [*.]", "Done.", "", PROMPT]
                )
                run = self.run_program([tool, "map.bin"])
                self.expect_screen(run, rows, cursor_row)
                after = path.read_bytes()
                self.assertEqual(len(after), len(data), "the map changed its length")
                self.assertTrue(after == maps.cleaned(tool, data), "the cells read back differ from the rule")

    def test_oskebar_twice_gives_the_file_back(self) -> None:
        # The last word is 3 bytes long and stays as it is.
        data = roms.pattern_bytes(MiB + 3)
        path = self.work / "rom.z64"
        path.write_bytes(data)
        rows, cursor_row = screen_after([""], banner_rows("oskebar") + ["Fixing.", "Done.", "", PROMPT])
        for turn, expected in (("first", roms.reversed_words(data)), ("second", data)):
            with self.case(run=turn):
                run = self.run_program(["oskebar", "rom.z64"])
                self.expect_screen(run, rows, cursor_row)
                self.assertTrue(path.read_bytes() == expected, f"the words after the {turn} run differ")

    def test_path_with_blanks_and_a_second_argument(self) -> None:
        folder = self.work / "my maps"
        folder.mkdir()
        data = maps.map_bytes(64)
        (folder / "the  map.bin").write_bytes(data)
        (self.work / "other map.bin").write_bytes(data)
        rows, cursor_row = screen_after([""], banner_rows("dravimund") + ["Fixing: [*]", "Done.", "", PROMPT])
        run = self.run_program(["dravimund", "my maps/the  map.bin", "other map.bin"])
        self.expect_screen(run, rows, cursor_row)
        self.assertEqual((folder / "the  map.bin").read_bytes(), maps.cleaned("dravimund", data))
        self.assertEqual((self.work / "other map.bin").read_bytes(), data, "the second argument was used")


class OpenFailureTest(WineTestCase):
    def test_missing_files(self) -> None:
        for tool in TOOLS:
            # The exit status is the open's failure code: file not found,
            # path not found.
            for argument, status in (("missing.bin", 2), ("no such folder/the map.bin", 3)):
                with self.case(tool=tool, argument=argument):
                    rows, cursor_row = report_rows(tool, argument)
                    run = self.run_program([tool, argument])
                    self.expect_screen(run, rows, cursor_row, status)
                    self.assertEqual(os.listdir(self.work), [], "a file was created")

    def test_file_held_by_a_second_program(self) -> None:
        # A second halvard keeps the image open while it waits for the name.
        path = self.work / "rom.z64"
        roms.make_rom(path)
        holder = self.run_program(["halvard", "rom.z64"])
        holder.wait_for(roms.DEFAULT_NAME.decode())
        holder.wait_until(lambda: holder.cursor() == (0, 5), "the holder to wait for the name")
        for tool in TOOLS:
            with self.subTest(tool=tool):
                rows, cursor_row = report_rows(tool, "rom.z64")
                run = self.run_program([tool, "rom.z64"])
                self.expect_screen(run, rows, cursor_row, 5)  # access denied
        self.assertFalse(holder.ended())
        # The holder still reads its keys and writes the image.
        holder.send_text("abcdefg.hij")
        holder.wait_for(roms.question(b"ABCDEFG.HIJ"))
        holder.send_keys("y")
        holder.wait_for("Done.")
        self.finish(holder)
        self.assertTrue(path.read_bytes() == roms.rom_holding(b"ABCDEFG.HIJ"), "the image read back differs")


class HalvardTest(WineTestCase):
    def start(self, rom: Path) -> TerminalRun:
        run = self.run_program(["halvard", rom.name], cwd=rom.parent)
        run.wait_for(roms.DEFAULT_NAME.decode())
        run.wait_until(lambda: run.cursor() == (0, 5), "the cursor on the first character of the name")
        return run

    def test_typed_name_is_written(self) -> None:
        path = self.work / "rom.z64"
        roms.make_rom(path)
        run = self.start(path)
        # The cursor walks over the default name, and each key's echo
        # replaces one of its characters.
        for i, key in enumerate("abcdefg.hi"):
            run.send_text(key)
            run.wait_until(lambda: run.cursor() == (i + 1, 5), f"the cursor on column {i + 2} of row 6")
            self.assertEqual(run.screen()[5], "ABCDEFG.HIJ"[: i + 1] + "MISSION.ENG"[i + 1 :])
        run.send_text("j")
        question = roms.question(b"ABCDEFG.HIJ")
        rows = run.wait_for(question)
        self.assertEqual(rows[3:9], [roms.ENTRY_PROMPT, "", "ABCDEFG.HIJ", "", question, ""])
        self.assertTrue(path.read_bytes() == roms.rom_holding(roms.DEFAULT_NAME), "written before the answer")
        run.send_keys("y")
        rows = run.wait_for(PROMPT)
        self.assertEqual(rows[8:11], ["Writing changes...Done.", "", PROMPT])
        run.wait_until(lambda: run.cursor() == (0, 11), "the cursor below the prompt")
        self.finish(run)
        self.assertTrue(path.read_bytes() == roms.rom_holding(b"ABCDEFG.HIJ"), "the image read back differs")

    def test_image_one_byte_short_is_refused(self) -> None:
        # A key typed before the start waits for the end prompt: nothing
        # before it may read a key.
        path = self.work / "rom.z64"
        roms.make_rom(path, roms.ROM_SIZE - 1)
        rows, cursor_row = screen_after([""], banner_rows("halvard") + [roms.SIZE_MESSAGE, "", PROMPT])
        run = self.run_program(["halvard", "rom.z64"], keys_before=["x"])
        self.assertExitedWith(run.wait_exit(), roms.WRONG_SIZE_STATUS)
        self.assertScreen(run, rows, (0, cursor_row))
        self.assertTrue(path.read_bytes() == bytes(roms.ROM_SIZE - 1), "the file was changed")

    def test_other_answers_abort(self) -> None:
        for answer in ("n", "Space", "Enter"):
            with self.case(answer=answer):
                path = self.work / "rom.z64"
                roms.make_rom(path)
                run = self.start(path)
                run.send_text("abcdefg.hij")
                question = roms.question(b"ABCDEFG.HIJ")
                run.wait_for(question)
                run.send_keys(answer)
                rows = run.wait_for(PROMPT)
                self.assertEqual(rows[7:11], [question, "Aborted.", "", PROMPT])
                self.finish(run)
                self.assertTrue(path.read_bytes() == roms.rom_holding(roms.DEFAULT_NAME), "the file was changed")

    def test_keys_stored_as_the_console_reports_them(self) -> None:
        # A special key stands in the name as 0 and its second code, which
        # is lowered like a typed letter (Alt+2 gives 121, stored as "Y").
        # The echo of control codes reaches the terminal raw, so only the
        # bytes written are compared.
        cases: list[tuple[Sequence[object], bytes]] = [
            (["a", "b", "c", "Up", "d", "e", "f", "g", "h", "i"], b"ABC\x00HDEFGHI"),
            (["F1", "b", "c", "d", "e", "f", "g", "h", "i", "j"], b"\x00;BCDEFGHIJ"),
            ([HOME, END, "S-F1", "v", "w", "x", "y", "z"], b"\x00G\x00O\x00TVWXYZ"),
            (["a", "b", "c", "d", "Enter", "BSpace", "Tab", "C-a", "M-2", "z"], b"ABCD\r\x08\t\x01\x00YZ"),
        ]
        for keys, name in cases:
            with self.case(keys=keys):
                path = self.work / "rom.z64"
                roms.make_rom(path)
                run = self.start(path)
                for key in keys:
                    if isinstance(key, bytes):
                        run.send_bytes(key)
                    else:
                        run.send_keys(str(key))
                run.wait_for("? (Y/N)")
                run.send_keys("y")
                run.wait_for("Done.")
                self.finish(run)
                field = path.read_bytes()[roms.NAME_OFFSET : roms.NAME_OFFSET + 11]
                self.assertEqual(field, name)
                self.assertTrue(path.read_bytes() == roms.rom_holding(name), "bytes outside the field changed")


class PipeTest(harness.FolderTestCase):
    """Standard input and output are pipes, as with `type keys.txt | halvard.exe rom`:
    each byte of the input is one key, and the end of the input reads as
    Escape only once the writer is gone."""

    EXPECTED = (
        harness.banner_stream(roms.HALVARD_TITLE)
        + roms.ENTRY_PROMPT.encode() + b"\r\n\r\n"
        + roms.DEFAULT_NAME + b"ABCDEFG.HIJ\r\n\r\n"
        + b'Change "MISSION.ENG" location to "ABCDEFG.HIJ"? (Y/N)\r\n'
        + b"Writing changes...Done.\r\n" + harness.END_PROMPT
    )  # fmt: skip

    def start(self, argv: Sequence[harness.Arg]) -> subprocess.Popen[bytes]:
        assert _launcher is not None
        return subprocess.Popen(
            _launcher.command(argv),
            cwd=self.work,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=harness.environment_with(_launcher.env),
        )

    def test_keys_from_a_pipe_are_typed(self) -> None:
        # All at once and the pipe closed; then in two parts with a pause
        # between them, during which the pipe is empty but not ended.
        for parts in ([b"abcdefg.hijy"], [b"abcd", b"efg.hijy"]):
            with self.subTest(parts=parts):
                path = self.work / "rom.z64"
                roms.make_rom(path)
                program = self.start(["halvard", "rom.z64"])
                assert program.stdin is not None
                for part in parts[:-1]:
                    program.stdin.write(part)
                    program.stdin.flush()
                    time.sleep(2.0)
                # The last part, then the pipe is closed.
                out, err = program.communicate(parts[-1], timeout=START_SECONDS + 30)
                self.assertEqual(program.returncode, 0, err)
                self.assertEqual(out, self.EXPECTED)
                self.assertTrue(path.read_bytes() == roms.rom_holding(b"ABCDEFG.HIJ"), "the image read back differs")


if __name__ == "__main__":
    harness.main()
