"""End-to-end tests of halvard on a terminal that speaks the progressive
keyboard-enhancement protocol.

The test plays the terminal itself through a pseudo-terminal: it answers
the enhancement query and the cursor query, expects the flags to be
pushed, types every key as the protocol reports it (presses, releases,
modifier keys alone, the keypad's own keys, the text a key types) and
checks the bytes that reach the image, and that the flags are popped on
every way out.
"""

from __future__ import annotations

import os
import pty
import select
import signal
import time
import unittest
from pathlib import Path
from typing import Optional

import harness
import test_rom_tools as roms

QUERY = b"\x1b[?u"
CURSOR_QUERY = b"\x1b[6n"
PUSH = b"\x1b[>27u"
POP = b"\x1b[<u"
WAIT_SECONDS = 10.0


def report(code: int, modifiers: int = 1, event: int = 1, text: Optional[int] = None) -> bytes:
    """One key report: CSI code ; modifiers:event ; text u."""
    fields = str(code)
    if modifiers != 1 or event != 1 or text is not None:
        fields += f";{modifiers}" + (f":{event}" if event != 1 else "")
    if text is not None:
        fields += f";{text}"
    return f"\x1b[{fields}u".encode()


def tap(code: int, modifiers: int = 1, text: Optional[int] = None) -> bytes:
    """A press and its release."""
    return report(code, modifiers, 1, text) + report(code, modifiers, 3)


LEFT_SHIFT, LEFT_ALT = 57441, 57443
KP_0, KP_DIVIDE, KP_ENTER = 57399, 57410, 57414
NUM_LOCK = 128 + 1  # the modifier value with Num Lock on


class EnhancedTerminal:
    """halvard on a pseudo-terminal that this object plays."""

    def __init__(self, work: Path, term: str = "xterm-kitty", answers_query: bool = True) -> None:
        self.output = b""
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.chdir(work)
                env = dict(os.environ, TERM=term)
                program = str(harness.program("halvard"))
                os.execve(program, [program, "rom.z64"], env)
            finally:
                os._exit(127)
        self.pid, self.fd = pid, fd
        self.status: Optional[int] = None
        self.read_until(QUERY + CURSOR_QUERY if answers_query else CURSOR_QUERY)
        os.write(fd, (b"\x1b[?0u" if answers_query else b"") + b"\x1b[1;1R")

    def read_some(self, timeout: float) -> bool:
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.fd, 4096)
        except OSError:  # the program ended and the terminal hung up
            return False
        self.output += chunk
        return bool(chunk)

    def read_until(self, wanted: bytes, start: int = 0) -> None:
        deadline = time.monotonic() + WAIT_SECONDS
        while wanted not in self.output[start:]:
            if time.monotonic() > deadline:
                raise AssertionError(f"{wanted!r} did not arrive; got {self.output!r}")
            self.read_some(0.1)

    def type(self, keys: bytes) -> None:
        os.write(self.fd, keys)

    def wait_exit(self) -> int:
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            self.read_some(0.05)
            done, status = os.waitpid(self.pid, os.WNOHANG)
            if done == self.pid:
                while self.read_some(0.05):
                    pass
                os.close(self.fd)
                return status
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
                os.close(self.fd)
                raise AssertionError(f"the program did not end; got {self.output!r}")


class EnhancedTerminalTest(harness.FolderTestCase):
    def test_reports_give_the_console_codes(self) -> None:
        path = self.work / "rom.z64"
        roms.make_rom(path)
        terminal = EnhancedTerminal(self.work)
        terminal.read_until(PUSH)
        terminal.read_until(roms.DEFAULT_NAME)
        keys = (
            tap(97)  # a, lowered to A
            + report(LEFT_SHIFT, 2) + tap(98, 2, text=66) + report(LEFT_SHIFT, 1, 3)  # B
            # Alt held, keypad 6 and 5, Alt released: 65
            + report(LEFT_ALT, 3) + tap(KP_0 + 6, 3 + 128) + tap(KP_0 + 5, 3 + 128)
            + report(LEFT_ALT, 1 + 128, 3)
            + tap(KP_DIVIDE, NUM_LOCK)  # 0 and 53, not '/'
            + tap(233, text=233)  # e with acute: 130 in code page 437
            + report(49) + report(49, 1, 2) + report(49, 1, 3)  # 1, and its repeat
            + b"\x1b[1;1:1P\x1b[1;1:3P"  # F1: 0 and 59
        )  # fmt: skip
        terminal.type(keys)
        terminal.type(tap(KP_ENTER))
        terminal.read_until(b"? (Y/N)")
        terminal.type(tap(121, text=121))  # y
        terminal.read_until(b"Press any key")
        at = len(terminal.output)
        terminal.type(tap(113, text=113))
        status = terminal.wait_exit()
        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status)
        name = b"ABA\x005\x8211\x00;\r"
        field = path.read_bytes()[roms.NAME_OFFSET : roms.NAME_OFFSET + 11]
        self.assertEqual(field, name)
        self.assertTrue(terminal.output[at:].endswith(POP), terminal.output[at:])

    def test_the_flags_are_popped_when_a_signal_ends_the_program(self) -> None:
        roms.make_rom(self.work / "rom.z64")
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum):
                terminal = EnhancedTerminal(self.work)
                terminal.read_until(roms.DEFAULT_NAME)
                at = len(terminal.output)
                os.kill(terminal.pid, signum)
                status = terminal.wait_exit()
                self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signum, status)
                self.assertIn(POP, terminal.output[at:])

    def test_a_terminal_that_does_not_answer_gets_no_flags(self) -> None:
        roms.make_rom(self.work / "rom.z64")
        terminal = EnhancedTerminal(self.work, answers_query=False)
        terminal.read_until(roms.DEFAULT_NAME)
        terminal.type(b"abcdefg.hij")
        terminal.read_until(b"? (Y/N)")
        terminal.type(b"n")
        terminal.read_until(b"Press any key")
        terminal.type(b"q")
        status = terminal.wait_exit()
        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status)
        self.assertNotIn(PUSH, terminal.output)
        self.assertNotIn(POP, terminal.output)


if __name__ == "__main__":
    harness.main()
