"""End-to-end tests of the ROM tools: oskebar (word byte order) and halvard
(the mission file reference).

The ROM images are made quickly in a temporary folder: halvard's are sparse
32 MiB files with the name field written in; oskebar's are filled with a
pattern whose period, 7, does not divide a word, so that every word is
reversed into something else. Files are read back and compared whole.
"""

from __future__ import annotations

import errno
import os
import time
from pathlib import Path
from typing import Sequence

import harness
from harness import END_PROMPT, PROMPT, FolderTestCase, TerminalRun, TerminalTestCase, run_piped, screen_after

MiB = 1048576
ROM_SIZE = 33554432
NAME_OFFSET = 2152924
DEFAULT_NAME = b"MISSION.ENG"

OSKEBAR_USAGE = "Drop the C&C N64 ROM onto the icon of this program to fix it."
HALVARD_TITLE = "Pelloran"
HALVARD_USAGE = [
    "Drop a (fixed) N64 C&C ROM on the icon of this program to replace the",
    '"MISSION.ENG" reference by a different file for extraction.',
]
ENTRY_PROMPT = "Enter the filename of the file to extract:"
SIZE_MESSAGE = "This is not a valid ROM. Filesize must be 33554432 bytes."
#: The exit status after the size message.
WRONG_SIZE_STATUS = 201


# ---- oskebar -----------------------------------------------------------------


def reversed_words(data: bytes) -> bytes:
    """Every whole four-byte word reversed; a shorter last word left as it is."""
    whole = len(data) - len(data) % 4
    out = bytearray(data)
    for i in range(4):
        out[i:whole:4] = data[3 - i : whole : 4]
    return bytes(out)


def pattern_bytes(size: int) -> bytes:
    return (bytes(range(1, 8)) * (size // 7 + 1))[:size]


def oskebar_stream(dots: int) -> bytes:
    return harness.banner_stream("Oskebar") + b"Fixing" + b"." * dots + b"\r\nDone.\r\n" + END_PROMPT


class OskebarStreamTest(FolderTestCase):
    def test_usage(self) -> None:
        run = run_piped(["oskebar"], self.work)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, harness.banner_stream("Oskebar") + OSKEBAR_USAGE.encode() + b"\r\n" + END_PROMPT)

    def test_words_reversed_and_given_back_by_a_second_run(self) -> None:
        cases = [
            ("empty", b"", 0),
            ("8 bytes", bytes(range(1, 9)), 0),
            ("1 MiB - 4", pattern_bytes(MiB - 4), 0),
            ("1 MiB", pattern_bytes(MiB), 1),
            ("32 MiB", pattern_bytes(32 * MiB), 32),
            ("10 bytes", b"ABCDEFGHIJ", 0),
            ("3 bytes", b"XYZ", 0),
            ("1 MiB + 3", pattern_bytes(MiB + 3), 1),
        ]
        path = self.work / "rom.z64"
        for label, data, dots in cases:
            with self.subTest(rom=label):
                path.write_bytes(data)
                run = run_piped(["oskebar", "rom.z64"], self.work)
                self.assertEqual(run.status, 0)
                self.assertEqual(run.stdout, oskebar_stream(dots))
                once = path.read_bytes()
                self.assertEqual(len(once), len(data), "the size changed")
                self.assertTrue(once == reversed_words(data), "the words read back are not reversed")
                run_piped(["oskebar", "rom.z64"], self.work)
                self.assertTrue(path.read_bytes() == data, "a second run did not give the file back")

    def test_known_words(self) -> None:
        path = self.work / "rom.z64"
        for data, expected in [
            (bytes(range(1, 9)), bytes([4, 3, 2, 1, 8, 7, 6, 5])),
            (b"ABCDEFGHIJ", b"DCBAHGFEIJ"),
            (b"\x00" * 12, b"\x00" * 12),
        ]:
            with self.subTest(data=data):
                path.write_bytes(data)
                self.assertEqual(run_piped(["oskebar", "rom.z64"], self.work).status, 0)
                self.assertEqual(path.read_bytes(), expected)

    def test_open_failure(self) -> None:
        run = run_piped(["oskebar", "missing.z64"], self.work)
        self.assertEqual(run.status, errno.ENOENT)
        self.assertEqual(
            run.stdout,
            harness.banner_stream("Oskebar") + b'\r\nError opening "missing.z64"\r\n' + END_PROMPT,
        )
        self.assertEqual(os.listdir(self.work), [])


# ---- halvard -----------------------------------------------------------------


def make_rom(path: Path, size: int = ROM_SIZE) -> bytes:
    """A sparse image of `size` bytes; a whole-size one holds the default
    name between the marker bytes AA and BB. Gives what it holds."""
    with path.open("wb") as f:
        f.truncate(size)
        if size == ROM_SIZE:
            f.seek(NAME_OFFSET - 1)
            f.write(b"\xaa" + DEFAULT_NAME + b"\xbb")
    return rom_holding(DEFAULT_NAME) if size == ROM_SIZE else bytes(size)


def rom_holding(name: bytes) -> bytes:
    """A whole-size image made by `make_rom` with `name` in the field."""
    assert len(name) == 11
    tail = ROM_SIZE - NAME_OFFSET - 12
    return bytes(NAME_OFFSET - 1) + b"\xaa" + name + b"\xbb" + bytes(tail)


# The code page 437 glyphs of the control codes that the names below hold.
CONTROL_GLYPHS = {0: " ", 9: "\u25cb", 27: "\u2190"}


def file_state(path: Path) -> tuple[int, int]:
    """Size and modification time, which a write changes."""
    info = path.stat()
    return info.st_size, info.st_mtime_ns


def draw_row(text: bytes) -> str:
    """What one row shows once `text` is written on it from column 1: 7
    shows nothing, 8 steps back, 13 goes to column 1, every other code is
    its code page 437 glyph."""
    cells: list[str] = []
    column = 0
    for code in text:
        if code == 7:
            continue
        if code == 8:
            column = max(column - 1, 0)
            continue
        if code == 13:
            column = 0
            continue
        glyph = CONTROL_GLYPHS[code] if code < 32 else bytes([code]).decode("cp437")
        if column == len(cells):
            cells.append(glyph)
        else:
            cells[column] = glyph
        column += 1
    return "".join(cells).rstrip(" ")


def question(name: bytes) -> str:
    """The confirmation row for `name`."""
    return draw_row(b'Change "MISSION.ENG" location to "' + name + b'"? (Y/N)')


class HalvardStreamTest(FolderTestCase):
    """stdin and stdout are pipes: each byte of input is one key."""

    def entry_stream(self, name: bytes, answer_line: bytes) -> bytes:
        return (
            harness.banner_stream(HALVARD_TITLE)
            + ENTRY_PROMPT.encode() + b"\r\n\r\n"
            + DEFAULT_NAME + name + b"\r\n\r\n"
            + b'Change "MISSION.ENG" location to "' + name + b'"? (Y/N)\r\n'
            + answer_line + b"\r\n" + END_PROMPT
        )  # fmt: skip

    def test_usage(self) -> None:
        run = run_piped(["halvard"], self.work)
        self.assertEqual(run.status, 0)
        expected = harness.banner_stream(HALVARD_TITLE) + b"".join(
            line.encode() + b"\r\n" for line in HALVARD_USAGE
        )
        self.assertEqual(run.stdout, expected + END_PROMPT)

    def test_typed_name_is_written(self) -> None:
        path = self.work / "rom.z64"
        make_rom(path)
        run = run_piped(["halvard", "rom.z64"], self.work, stdin=b"abcdefg.hijy")
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, self.entry_stream(b"ABCDEFG.HIJ", b"Writing changes...Done."))
        self.assertTrue(path.read_bytes() == rom_holding(b"ABCDEFG.HIJ"))

    def test_no_standard_input_patches_nothing(self) -> None:
        # With standard input closed, the ROM opened must not take its place:
        # there is no key at all, so the entry reads Escapes and aborts.
        path = self.work / "rom.z64"
        before = make_rom(path)
        run = run_piped(["halvard", "rom.z64"], self.work, close_stdin=True)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, self.entry_stream(b"\x1b" * 11, b"Aborted."))
        self.assertTrue(path.read_bytes() == before)

    def test_short_input_aborts(self) -> None:
        # The end of the input reads as Escape: eight of them complete the
        # name, one more is the answer.
        path = self.work / "rom.z64"
        before = make_rom(path)
        run = run_piped(["halvard", "rom.z64"], self.work, stdin=b"abc")
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, self.entry_stream(b"ABC" + b"\x1b" * 8, b"Aborted."))
        self.assertTrue(path.read_bytes() == before)

    def test_wrong_sizes(self) -> None:
        path = self.work / "rom.z64"
        for size in (ROM_SIZE - 1, ROM_SIZE + 1, 0):
            with self.subTest(size=size):
                make_rom(path, size)
                run = run_piped(["halvard", "rom.z64"], self.work, stdin=b"abcdefg.hijy")
                self.assertEqual(run.status, WRONG_SIZE_STATUS)
                self.assertEqual(
                    run.stdout,
                    harness.banner_stream(HALVARD_TITLE) + SIZE_MESSAGE.encode() + b"\r\n" + END_PROMPT,
                )
                self.assertTrue(path.read_bytes() == bytes(size), "the file was changed")


# ---- in a terminal -----------------------------------------------------------


class UsageScreenTest(TerminalTestCase):
    def test_usage_screens(self) -> None:
        cases = [
            ("oskebar", harness.banner_rows("Oskebar") + [OSKEBAR_USAGE]),
            ("halvard", harness.banner_rows(HALVARD_TITLE) + HALVARD_USAGE),
        ]
        for tool, lines in cases:
            with self.subTest(tool=tool):
                rows, cursor_row = screen_after([""], lines + ["", PROMPT])
                run = self.run_program([tool])
                self.assertEqual(run.wait_for(PROMPT), rows)
                self.assertEqual(run.cursor(), (0, cursor_row))
                run.send_keys("Space")
                end = run.wait_exit()
                self.assertExitedWith(end, 0)
                self.assertTerminalRestored(run, end)
                self.assertEqual(run.screen(), rows)

    def test_oskebar_pass_screen(self) -> None:
        path = self.work / "rom.z64"
        data = pattern_bytes(32 * MiB)
        path.write_bytes(data)
        rows, cursor_row = screen_after(
            [""], harness.banner_rows("Oskebar") + ["Fixing" + "." * 32, "Done.", "", PROMPT]
        )
        run = self.run_program(["oskebar", "rom.z64"])
        self.assertEqual(run.wait_for(PROMPT), rows)
        self.assertEqual(run.cursor(), (0, cursor_row))
        run.send_keys("Enter")
        end = run.wait_exit()
        self.assertExitedWith(end, 0)
        self.assertTerminalRestored(run, end)
        self.assertTrue(path.read_bytes() == reversed_words(data))


class HalvardScreenTest(TerminalTestCase):
    """The name entry on the screen, the question, and the file afterwards."""

    def start(self, rom: Path) -> TerminalRun:
        run = self.run_program(["halvard", rom.name], cwd=rom.parent)
        run.wait_for(DEFAULT_NAME.decode())
        run.wait_until(lambda: run.cursor() == (0, 5), "the cursor on the first character of the name")
        return run

    def type_name(self, run: TerminalRun, keys: Sequence[str], name: bytes) -> list[str]:
        run.send_keys(*keys)
        return run.wait_for(question(name))

    def finish(self, run: TerminalRun) -> None:
        run.wait_for(PROMPT)
        run.send_keys("q")
        end = run.wait_exit()
        self.assertExitedWith(end, 0)
        self.assertTerminalRestored(run, end)

    def test_other_programs_opening_the_image_while_it_waits(self) -> None:
        # Another program (a file manager, an emulator) opens the image while
        # halvard waits for the name: it gets in at once. When it only read
        # the image, the name is written; when it truncated the image,
        # nothing is written and failure code 202 is reported.
        for truncates in (False, True):
            with self.subTest(truncates=truncates):
                path = self.work / "rom.z64"
                before = make_rom(path)
                run = self.start(path)
                started = time.monotonic()
                if truncates:
                    with path.open("r+b") as other:
                        other.truncate(100)
                else:
                    with path.open("rb") as other:
                        other.read(4)
                self.assertLess(time.monotonic() - started, 5.0, "the other program was held up")
                self.type_name(run, list("abcdefg.hij"), b"ABCDEFG.HIJ")
                run.send_keys("y")
                if not truncates:
                    self.finish(run)
                    self.assertTrue(path.read_bytes() == rom_holding(b"ABCDEFG.HIJ"))
                    continue
                rows = run.wait_for("Runtime error 202 at 0x")
                end = run.wait_exit()
                self.assertExitedWith(end, 202)
                self.assertTerminalRestored(run, end)
                self.assertIn("Writing changes...", rows)
                self.assertEqual(path.read_bytes(), before[:100], "written into the truncated image")

    def test_wrong_sizes_show_the_size_message(self) -> None:
        # A key typed before the start waits for the end prompt: nothing
        # before it may read a key.
        rows, cursor_row = screen_after([""], harness.banner_rows(HALVARD_TITLE) + [SIZE_MESSAGE, "", PROMPT])
        self.assertEqual(rows[3], SIZE_MESSAGE)
        for size in (ROM_SIZE - 1, ROM_SIZE + 1, 0):
            with self.subTest(size=size):
                path = self.work / "rom.z64"
                make_rom(path, size)
                before = path.stat()
                run = self.run_program(["halvard", "rom.z64"], keys_before=["x"])
                end = run.wait_exit()
                self.assertExitedWith(end, WRONG_SIZE_STATUS)
                self.assertTerminalRestored(run, end)
                self.assertEqual(run.screen(), rows)
                self.assertEqual(run.cursor(), (0, cursor_row))
                after = path.stat()
                self.assertEqual((after.st_size, after.st_mtime_ns), (before.st_size, before.st_mtime_ns))

    def test_typed_name_is_written(self) -> None:
        path = self.work / "rom.z64"
        make_rom(path)
        before = file_state(path)
        run = self.start(path)
        # The cursor walks over the default name, and each key's echo
        # replaces one of its characters.
        for i, key in enumerate("abcdefg.hi"):
            run.send_text(key)
            run.wait_until(lambda: run.cursor() == (i + 1, 5), f"the cursor on column {i + 2} of row 6")
            self.assertEqual(run.screen()[5], "ABCDEFG.HIJ"[: i + 1] + "MISSION.ENG"[i + 1 :])
        run.send_text("j")
        rows = run.wait_for(question(b"ABCDEFG.HIJ"))
        self.assertEqual(rows[3:9], [ENTRY_PROMPT, "", "ABCDEFG.HIJ", "", question(b"ABCDEFG.HIJ"), ""])
        # The image is read only once the program has ended: reading it
        # while the program holds it would wait for the hold to be broken.
        self.assertEqual(file_state(path), before, "written before the answer")
        held = run_piped(["dravimund", path.name], path.parent)
        self.assertIn(b'Error opening "rom.z64"', held.stdout, "the image is not held while the question waits")
        run.send_keys("y")
        rows = run.wait_for(PROMPT)
        self.assertEqual(rows[8:11], ["Writing changes...Done.", "", PROMPT])
        self.assertEqual(run.cursor(), (0, 11))
        self.finish(run)
        self.assertTrue(path.read_bytes() == rom_holding(b"ABCDEFG.HIJ"))

    def test_keys_stored_as_the_terminal_sends_them(self) -> None:
        # (keys, the name stored, what row 6 shows)
        cases = [
            (["a", "b", "c", "Up", "d", "e", "f", "g", "h", "i"], b"ABC\x00HDEFGHI", "ABC HDEFGHI"),
            (["F1", "b", "c", "d", "e", "f", "g", "h", "i", "j"], b"\x00;BCDEFGHIJ", " ;BCDEFGHIJ"),
            (["a", "b", "c", "d", "Enter", "e", "f", "g", "h", "i", "j"], b"ABCD\rEFGHIJ", "ABCDIEFGHIJ"),
            (["a", "b", "BSpace", "c", "d", "e", "f", "g", "h", "i", "j"], b"AB\x08CDEFGHIJ", "ABSCDEFGHIJ"),
            (list("1_Zm.x-9~") + ["Tab", "z"], b"1_ZM.X-9~\tZ", "1_ZM.X-9~\u25cbZ"),
        ]
        for keys, name, row6 in cases:
            with self.subTest(keys=keys):
                path = self.work / "rom.z64"
                make_rom(path)
                run = self.start(path)
                rows = self.type_name(run, keys, name)
                self.assertEqual(rows[5], row6)
                run.send_keys("Y")
                self.assertEqual(run.wait_for("Done.")[8], "Writing changes...Done.")
                self.finish(run)
                self.assertTrue(path.read_bytes() == rom_holding(name), "the field read back differs")

    def test_other_answers_abort(self) -> None:
        for answer in ("n", "N", "Escape", "Enter", "Space", "5"):
            with self.subTest(answer=answer):
                path = self.work / "rom.z64"
                make_rom(path)
                run = self.start(path)
                self.type_name(run, list("abcdefg.hij"), b"ABCDEFG.HIJ")
                run.send_keys(answer)
                rows = run.wait_for(PROMPT)
                self.assertEqual(rows[7:11], [question(b"ABCDEFG.HIJ"), "Aborted.", "", PROMPT])
                self.finish(run)
                self.assertTrue(path.read_bytes() == rom_holding(DEFAULT_NAME), "the file was changed")

    def test_special_key_at_the_question_aborts_and_its_second_code_ends_the_prompt(self) -> None:
        path = self.work / "rom.z64"
        make_rom(path)
        run = self.start(path)
        self.type_name(run, list("abcdefg.hij"), b"ABCDEFG.HIJ")
        run.send_keys("F1")
        end = run.wait_exit()
        self.assertExitedWith(end, 0)
        self.assertTerminalRestored(run, end)
        self.assertEqual(run.screen()[7:11], [question(b"ABCDEFG.HIJ"), "Aborted.", "", PROMPT])
        self.assertTrue(path.read_bytes() == rom_holding(DEFAULT_NAME))

    def test_second_code_of_the_last_key_does_not_answer(self) -> None:
        # Alt+2, sent by the terminal as ESC 2, gives 0 and then 121 ("y").
        path = self.work / "rom.z64"
        make_rom(path)
        before = file_state(path)
        run = self.start(path)
        name = b"ABCDEFG.HI\x00"
        self.type_name(run, list("abcdefg.hi") + ["M-2"], name)
        # Time enough for a program that took 121 as the answer to write.
        time.sleep(0.5)
        self.assertFalse(run.ended())
        self.assertEqual(run.screen()[8], "", "the question was answered without a key")
        self.assertEqual(file_state(path), before, "written without an answer")
        run.send_keys("y")
        self.assertEqual(run.wait_for("Done.")[8], "Writing changes...Done.")
        self.finish(run)
        self.assertTrue(path.read_bytes() == rom_holding(name))


if __name__ == "__main__":
    harness.main()
