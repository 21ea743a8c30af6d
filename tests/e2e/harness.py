"""Runs the built programs end to end: through pipes, and in a real terminal.

Pipes: `run_piped` starts a program with the given bytes on its standard
input and collects what it writes.

Terminal: `TerminalTestCase` gives each test class a private tmux server;
`TerminalTestCase.run_program` starts one program in a detached pane of a
fixed size. Inside the pane the program is not started by a shell but by this
file's pane mode (`python3 harness.py --pane DIR`): it records `stty -g`
before and after the run, the program's process id, how it ended (exit
status or signal) and any input bytes it left unread, then stays alive so
that the pane keeps the screen exactly as the program left it.

The directory of the built programs comes from `--bin-dir DIR` on the
command line of a test module, or from the environment variable
CNC64_BIN_DIR, which CTest sets.

Launchers: a test class starts its programs through a `Launcher`: by
default the programs of this machine directly; `wine_launcher` starts the
Windows programs (`NAME.exe`) through Wine in a prefix of their own, which
`WinePrefix` makes. Wine gives a console program a console only when it
runs in a terminal, so the Windows programs are run in panes as well.

Every wait is bounded: a program that hangs fails its test, it never
hangs the suite.
"""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import json
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest
from pathlib import Path
from typing import Callable, Mapping, Optional, Sequence, Union

BIN_DIR_VARIABLE = "CNC64_BIN_DIR"

#: How long a test waits for a screen, a file or the end of a program.
WAIT_SECONDS = 5.0
#: How long one tmux command may take.
TMUX_COMMAND_SECONDS = 10.0
#: How often a wait looks again.
POLL_SECONDS = 0.01
#: How long the pane mode waits for the test to finish typing keys that
#: must be waiting before the program starts.
GATE_SECONDS = 10.0
#: How long keys typed before a start take to reach the pane's terminal.
KEYS_SETTLE_SECONDS = 0.3
#: How long the pane mode keeps the pane alive after the program ended.
LINGER_SECONDS = 300.0
#: How long a tmux server outlives a test process that could not stop it.
KEEPER_SECONDS = 900.0
#: How long a test waits for a screen, a file or an end under Wine, whose
#: programs start more slowly and whose console redraws the terminal later.
WINE_WAIT_SECONDS = 10.0
#: How long making a Wine prefix may take.
WINEBOOT_SECONDS = 180.0

Arg = Union[str, bytes]

_bin_dir_from_command_line: Optional[Path] = None


# ---- the programs ----------------------------------------------------------


def set_bin_dir(path: Union[str, Path]) -> None:
    """Uses `path` as the directory of the built programs."""
    global _bin_dir_from_command_line
    _bin_dir_from_command_line = Path(path).resolve()


def bin_dir_given() -> Optional[Path]:
    """The directory given with `--bin-dir DIR`, if one was."""
    return _bin_dir_from_command_line


def bin_dir() -> Path:
    if _bin_dir_from_command_line is not None:
        return _bin_dir_from_command_line
    value = os.environ.get(BIN_DIR_VARIABLE)
    if not value:
        raise RuntimeError(
            f"the directory of the built programs is not known: pass --bin-dir DIR "
            f"or set {BIN_DIR_VARIABLE}"
        )
    return Path(value).resolve()


def program(name: str) -> Path:
    """The path of the built program `name`; fails when it is not there."""
    return NATIVE.program(name)


@dataclasses.dataclass(frozen=True)
class Launcher:
    """How a built program is started.

    `loader` goes before the program's path on the command line (Wine),
    `suffix` after the program's name (".exe"); `folder` holds the programs,
    None meaning `bin_dir()`. `env` sets variables for every run (None
    removes one); `wait_seconds` bounds each wait of a test."""

    loader: tuple[str, ...] = ()
    suffix: str = ""
    folder: Optional[Path] = None
    env: Mapping[str, Optional[str]] = dataclasses.field(default_factory=dict)
    wait_seconds: float = WAIT_SECONDS

    def program(self, name: str) -> Path:
        """The path of the built program `name`; fails when it is not there."""
        folder = self.folder if self.folder is not None else bin_dir()
        path = folder / (name + self.suffix)
        if not os.access(path, os.X_OK):
            raise AssertionError(f"no built program at {path}")
        return path

    def command(self, argv: Sequence["Arg"]) -> list[bytes]:
        """The command line that starts argv[0] (a program name) with the
        arguments argv[1:]."""
        return (
            [os.fsencode(part) for part in self.loader]
            + [bytes(self.program(_fs(argv[0]).decode()))]
            + [_fs(a) for a in argv[1:]]
        )


#: The programs of this machine, started directly.
NATIVE = Launcher()


def main(argv: Optional[Sequence[str]] = None) -> None:
    """Entry point of a test module run as a script: takes --bin-dir DIR,
    hands everything else to unittest."""
    args = list(sys.argv if argv is None else argv)
    rest = [args[0]]
    i = 1
    while i < len(args):
        if args[i] == "--bin-dir" and i + 1 < len(args):
            set_bin_dir(args[i + 1])
            i += 2
            continue
        if args[i].startswith("--bin-dir="):
            set_bin_dir(args[i].split("=", 1)[1])
        else:
            rest.append(args[i])
        i += 1
    unittest.main(module="__main__", argv=rest)


def _fs(arg: Arg) -> bytes:
    return arg if isinstance(arg, bytes) else os.fsencode(arg)


# ---- what every program prints ------------------------------------------------

PROMPT = "Press any key to continue."
#: The end prompt as a byte stream: an empty line, then the prompt's line.
END_PROMPT = b"\r\n" + PROMPT.encode() + b"\r\n"


def banner_stream(title: str) -> bytes:
    """The banner as a byte stream: the title, its underline, an empty line."""
    return f"{title}\r\n{'-' * len(title)}\r\n\r\n".encode()


def banner_rows(title: str) -> list[str]:
    return [title, "-" * len(title), ""]


def screen_after(
    rows_before: list[str], output: list[str], width: int = 80, height: int = 25
) -> tuple[list[str], int]:
    """The screen, and the cursor's row, once `output` (lines, each ended by
    a line end) was written from the end of `rows_before`, whose last row is
    the one the cursor stands on. A line that fills its last column has
    already moved to the next row when its line end comes; rows that leave
    the bottom scroll the screen up."""
    rows = rows_before[:-1]
    pending = rows_before[-1]
    for line in output:
        text = pending + line
        pending = ""
        if not text:
            rows.append("")
            continue
        rows.extend(text[i : i + width] for i in range(0, len(text), width))
        if len(text) % width == 0:
            rows.append("")
    rows.append(pending)
    visible = [row.rstrip(" ") for row in rows[-height:]]
    cursor_row = len(visible) - 1
    return visible + [""] * (height - len(visible)), cursor_row


class FolderTestCase(unittest.TestCase):
    """A test with a temporary folder of its own, `self.work`."""

    def setUp(self) -> None:
        super().setUp()
        self.work = Path(tempfile.mkdtemp(prefix="cnc64-e2e-"))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)


# ---- through pipes -----------------------------------------------------------


@dataclasses.dataclass
class PipedRun:
    status: int  # the exit status; minus the signal number when a signal ended it
    stdout: bytes
    stderr: bytes


def run_piped(
    argv: Sequence[Arg],
    cwd: Union[str, Path],
    stdin: bytes = b"",
    stdout: str = "pipe",
    timeout: float = WAIT_SECONDS,
    close_stdin: bool = False,
) -> PipedRun:
    """Runs argv[0] (a program name) with `stdin` as its whole input, or
    with no standard input at all (`close_stdin`).

    `stdout` is "pipe" (collected), "closed" (no standard output at all) or
    "read-only" (a standard output open for reading only)."""
    command = [bytes(program(_fs(argv[0]).decode()))] + [_fs(a) for a in argv[1:]]
    closed = ([0] if close_stdin else []) + ([1] if stdout == "closed" else [])

    def preexec() -> None:
        for fd in closed:
            os.close(fd)

    out: object = subprocess.PIPE
    read_only = None
    if stdout == "closed":
        out = None

    elif stdout == "read-only":
        read_only = open(os.devnull, "rb")
        out = read_only
    elif stdout != "pipe":
        raise ValueError(stdout)
    try:
        done = subprocess.run(
            command,
            cwd=cwd,
            input=None if close_stdin else stdin,
            stdin=subprocess.DEVNULL if close_stdin else None,
            stdout=out,
            stderr=subprocess.PIPE,
            preexec_fn=preexec if closed else None,
            timeout=timeout,
        )
    finally:
        if read_only is not None:
            read_only.close()
    return PipedRun(done.returncode, done.stdout or b"", done.stderr)


# ---- in a terminal -----------------------------------------------------------


@dataclasses.dataclass
class ProgramEnd:
    """How a program run in a pane ended."""

    exit_status: Optional[int]  # None when a signal ended it
    signal: Optional[int]  # None when it exited
    stty_before: str
    stty_after: str
    unread_input: bytes  # bytes typed at the terminal that the program left unread

    def describe(self) -> str:
        if self.signal is not None:
            return f"ended by signal {signal.Signals(self.signal).name}"
        return f"exit status {self.exit_status}"


class TerminalServer:
    """A private tmux server; its socket name is unique to this process."""

    _numbers = itertools.count(1)

    def __init__(self, launcher: Launcher = NATIVE) -> None:
        self.launcher = launcher
        self.tmux_path = shutil.which("tmux")
        if self.tmux_path is None:
            raise unittest.SkipTest("tmux is not installed: the terminal tests are skipped")
        self.socket = f"cnc64-e2e-{os.getpid()}-{next(self._numbers)}-{os.urandom(3).hex()}"
        self.state = Path(tempfile.mkdtemp(prefix="cnc64-e2e-panes-"))
        env = {k: v for k, v in os.environ.items() if not k.startswith("TMUX")}
        # The server and its panes: a terminal type the tmux client accepts
        # even where none is set (CI), and a UTF-8 locale so that tmux
        # measures and stores every glyph as one cell.
        env["TERM"] = "xterm-256color"
        env["LC_ALL"] = "C.UTF-8"
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        self.env = env
        self._runs = itertools.count(1)
        # A session that only waits keeps the server up between runs; the
        # server ends by itself once it and the panes are gone, even when
        # this process is killed before it can stop the server.
        self.tmux(
            "new-session", "-d", "-s", "keeper", f"sleep {int(KEEPER_SECONDS)}", ";",
            "set", "-g", "status", "off", ";",
            "set", "-g", "default-shell", "/bin/sh", ";",
            "set", "-g", "default-terminal", "xterm",
        )  # fmt: skip
        self.socket_path = Path(self.tmux("display", "-p", "#{socket_path}").strip())

    def tmux(self, *args: str, check: bool = True) -> str:
        done = subprocess.run(
            [self.tmux_path, "-u", "-L", self.socket, "-f", os.devnull, *args],
            env=self.env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=TMUX_COMMAND_SECONDS,
        )
        if check and done.returncode != 0:
            raise RuntimeError(
                f"tmux {' '.join(args)} failed ({done.returncode}): "
                f"{done.stderr.decode(errors='replace').strip()}"
            )
        return done.stdout.decode("utf-8", errors="replace")

    def start(
        self,
        argv: Sequence[Arg],
        cwd: Union[str, Path],
        keys_before: Optional[Sequence[str]] = None,
        width: int = 80,
        height: int = 25,
        preamble: bytes = b"",
        stdin_null: bool = False,
        env: Optional[Mapping[str, Optional[str]]] = None,
        output: Optional[Path] = None,
    ) -> "TerminalRun":
        number = next(self._runs)
        run_dir = self.state / f"run{number}"
        run_dir.mkdir()
        command = self.launcher.command(argv)
        setup = {
            "argv": [a.hex() for a in command],
            "cwd": str(cwd),
            "preamble": preamble.hex(),
            "gate": keys_before is not None,
            "stdin_null": stdin_null,
            "env": {**self.launcher.env, **(env or {})},
            "output": None if output is None else str(Path(output).resolve()),
        }
        (run_dir / "run.json").write_text(json.dumps(setup))
        name = f"run{number}"
        pane_command = " ".join(
            shlex.quote(part)
            for part in (sys.executable, str(Path(__file__).resolve()), "--pane", str(run_dir))
        )
        self.tmux(
            "new-session", "-d", "-s", name, "-x", str(width), "-y", str(height),
            "exec " + pane_command,
        )  # fmt: skip
        run = TerminalRun(self, name, run_dir, height, self.launcher.wait_seconds)
        if keys_before is not None:
            run.wait_for_file("ready")
            if keys_before:
                run.send_keys(*keys_before)
            # Tells the pane whether keys are on their way to its terminal.
            _write_atomically(run_dir / "go", "keys" if keys_before else "")
        return run

    def stop(self) -> None:
        try:
            self.tmux("kill-server", check=False)
            # The server leaves its socket behind.
            with contextlib.suppress(OSError):
                self.socket_path.unlink()
        finally:
            shutil.rmtree(self.state, ignore_errors=True)


class TerminalRun:
    """One program in one pane."""

    def __init__(
        self, server: TerminalServer, name: str, run_dir: Path, height: int, wait_seconds: float
    ) -> None:
        self.server = server
        self.name = name
        self.dir = run_dir
        self.height = height
        #: The bound of each wait that names none.
        self.wait_seconds = wait_seconds
        self._end: Optional[ProgramEnd] = None

    # -- what the pane shows

    def screen(self, escapes: bool = False, joined: bool = False) -> list[str]:
        """The visible screen, one string per row, trailing blanks removed.

        `escapes` keeps the attribute sequences (capture-pane -e); `joined`
        joins rows that the terminal itself wrapped (capture-pane -J)."""
        args = ["capture-pane", "-p", "-t", self.name]
        if escapes:
            args.append("-e")
        if joined:
            args.append("-J")
        text = self.server.tmux(*args)
        rows = text.split("\n")
        if rows and rows[-1] == "":
            rows.pop()
        rows = [row.rstrip(" ") for row in rows]
        if not joined:
            rows += [""] * (self.height - len(rows))
        return rows

    def screen_text(self) -> str:
        return "\n".join(self.screen())

    def cursor(self) -> tuple[int, int]:
        """The cursor as (x, y), both counted from 0 like the rows of `screen`."""
        x, y = self.server.tmux("display", "-p", "-t", self.name, "#{cursor_x},#{cursor_y}").split(",")
        return int(x), int(y)

    def keypad_mode(self) -> bool:
        """Whether the terminal is in application keypad mode."""
        return self.server.tmux("display", "-p", "-t", self.name, "#{keypad_flag}").strip() == "1"

    # -- typing

    def send_keys(self, *keys: str) -> None:
        """Types keys given by their tmux names (a, Enter, F1, Up, C-c, M-2)."""
        self.server.tmux("send-keys", "-t", self.name, *keys)

    def send_text(self, text: str) -> None:
        """Types each character of `text` as it is."""
        self.server.tmux("send-keys", "-t", self.name, "-l", text)

    def send_bytes(self, data: bytes) -> None:
        """Sends raw bytes to the program, as a terminal would."""
        self.server.tmux("send-keys", "-t", self.name, "-H", *(f"{b:02x}" for b in data))

    # -- the program

    @property
    def pid(self) -> int:
        self.wait_for_file("pid")
        return int((self.dir / "pid").read_text())

    def ended(self) -> bool:
        return (self.dir / "end").exists()

    def wait_until(
        self, condition: Callable[[], bool], what: str, timeout: Optional[float] = None
    ) -> None:
        if timeout is None:
            timeout = self.wait_seconds
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError(
                    f"timed out after {timeout} s waiting for {what}; the screen shows:\n"
                    + self.screen_text()
                )
            time.sleep(POLL_SECONDS)

    def wait_for(self, text: str, timeout: Optional[float] = None) -> list[str]:
        """Waits until `text` stands on the screen; gives the screen."""
        found: list[list[str]] = []

        def shown() -> bool:
            rows = self.screen()
            if text in "\n".join(rows):
                found.append(rows)
                return True
            return False

        self.wait_until(shown, repr(text), timeout)
        return found[0]

    def wait_for_file(self, name: str, timeout: Optional[float] = None) -> None:
        self.wait_until(lambda: (self.dir / name).exists(), f"the pane to write {name}", timeout)

    def wait_exit(self, timeout: Optional[float] = None) -> ProgramEnd:
        """Waits for the program to end and tells how it ended."""
        if self._end is None:
            self.wait_until(self.ended, "the program to end", timeout)
            record = json.loads((self.dir / "end").read_text())
            self._end = ProgramEnd(
                exit_status=record.get("exit"),
                signal=record.get("signal"),
                stty_before=(self.dir / "stty-before").read_text(),
                stty_after=(self.dir / "stty-after").read_text(),
                unread_input=bytes.fromhex(record["unread"]),
            )
        return self._end

    def stop(self) -> None:
        """Ends the program if it still runs, and the pane."""
        if (self.dir / "pid").exists() and not self.ended():
            try:
                os.kill(int((self.dir / "pid").read_text()), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        self.server.tmux("kill-session", "-t", self.name, check=False)


class TerminalTestCase(FolderTestCase):
    """Tests that run programs in terminals of their own."""

    server: TerminalServer

    @classmethod
    def launcher(cls) -> Launcher:
        """How this class starts its programs."""
        return NATIVE

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.server = TerminalServer(cls.launcher())

    @classmethod
    def tearDownClass(cls) -> None:
        cls.server.stop()
        super().tearDownClass()

    def setUp(self) -> None:
        super().setUp()
        self._runs: list[TerminalRun] = []
        self.addCleanup(self.stop_runs)

    def stop_runs(self) -> None:
        """Ends every program that this test started so far, and its pane."""
        for run in self._runs:
            run.stop()
        self._runs.clear()

    def run_program(
        self,
        argv: Sequence[Arg],
        cwd: Optional[Union[str, Path]] = None,
        keys_before: Optional[Sequence[str]] = None,
        width: int = 80,
        height: int = 25,
        **options: object,
    ) -> TerminalRun:
        """Starts argv[0] (a program name) in a fresh pane of `width` x `height`.

        `keys_before` are typed before the program starts, so that they wait
        for it. Further options: `preamble` (bytes the terminal shows before
        the program starts), `stdin_null` (standard input from /dev/null),
        `env` (variables to set, or to remove with None), `output` (a file
        that takes standard output and standard error in place of the
        terminal)."""
        run = self.server.start(
            argv, cwd if cwd is not None else self.work, keys_before, width, height, **options
        )
        self._runs.append(run)
        return run

    def assertTerminalRestored(self, run: TerminalRun, end: ProgramEnd) -> None:
        """The terminal settings and modes are as they were before the run."""
        self.assertEqual(end.stty_before, end.stty_after, "stty -g differs after the run")
        self.assertFalse(run.keypad_mode(), "the terminal was left in application keypad mode")

    def assertExitedWith(self, end: ProgramEnd, status: int) -> None:
        self.assertEqual((end.exit_status, end.signal), (status, None), end.describe())

    def assertKilledBy(self, end: ProgramEnd, signum: int) -> None:
        self.assertEqual((end.exit_status, end.signal), (None, signum), end.describe())


# ---- Wine --------------------------------------------------------------------


def wine_environment(prefix: Union[str, Path]) -> dict[str, Optional[str]]:
    """The variables that run Wine in `prefix` quietly and without a display
    (None removes a variable)."""
    return {
        "WINEPREFIX": str(prefix),
        "WINEDEBUG": "-all",
        # Without a display a console program gets the terminal as its console.
        "DISPLAY": None,
        "WAYLAND_DISPLAY": None,
        # No offers to install Mono or Gecko, and no desktop menu entries.
        "WINEDLLOVERRIDES": "mscoree,mshtml,winemenubuilder.exe=",
    }


def environment_with(changes: Mapping[str, Optional[str]]) -> dict[str, str]:
    """This process's environment with `changes` applied."""
    env = dict(os.environ)
    for key, value in changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


class WinePrefix:
    """A fresh Wine prefix in a temporary folder of its own, made once with
    `wineboot -i`. `close` ends the prefix's Wine server, and with it every
    program still running there, and removes the folder."""

    def __init__(self, timeout: float = WINEBOOT_SECONDS) -> None:
        self.wine = shutil.which("wine")
        if self.wine is None:
            raise RuntimeError("wine is not installed")
        self.path = Path(tempfile.mkdtemp(prefix="cnc64-wine-"))
        self.env = wine_environment(self.path)
        try:
            done = subprocess.run(
                [self.wine, "wineboot", "-i"],
                env=environment_with(self.env),
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=timeout,
            )
            if done.returncode != 0:
                raise RuntimeError(
                    f"wineboot -i failed ({done.returncode}): "
                    f"{done.stderr.decode(errors='replace').strip()}"
                )
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        server = shutil.which("wineserver")
        if server is not None:
            env = environment_with(self.env)
            with contextlib.suppress(subprocess.TimeoutExpired, OSError):
                subprocess.run([server, "-k"], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=TMUX_COMMAND_SECONDS)  # fmt: skip
                subprocess.run([server, "-w"], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=TMUX_COMMAND_SECONDS)  # fmt: skip
        shutil.rmtree(self.path, ignore_errors=True)


def wine_launcher(folder: Union[str, Path], prefix: Union[str, Path]) -> Launcher:
    """Starts the Windows programs `NAME.exe` of `folder` through Wine in
    the prepared prefix `prefix`."""
    wine = shutil.which("wine")
    if wine is None:
        raise unittest.SkipTest("wine is not installed: the Windows tests are skipped")
    return Launcher(
        loader=(wine,),
        suffix=".exe",
        folder=Path(folder).resolve(),
        env=wine_environment(prefix),
        wait_seconds=WINE_WAIT_SECONDS,
    )


# ---- the pane mode: runs inside the pane --------------------------------------


def _write_atomically(path: Path, text: str) -> None:
    part = path.with_name(path.name + ".part")
    part.write_text(text)
    os.replace(part, path)


def _stty() -> str:
    return subprocess.run(["stty", "-g"], capture_output=True, text=True, check=False).stdout.strip()


def _read_unread_input() -> bytes:
    """Whatever bytes wait at the terminal, read without waiting for a line."""
    saved = termios.tcgetattr(0)
    raw = list(saved)
    raw[3] &= ~(termios.ICANON | termios.ECHO)
    raw[6] = list(saved[6])
    raw[6][termios.VMIN] = 0
    raw[6][termios.VTIME] = 0
    termios.tcsetattr(0, termios.TCSANOW, raw)
    got = b""
    try:
        while select.select([0], [], [], 0.05)[0]:
            chunk = os.read(0, 4096)
            if not chunk:
                break
            got += chunk
    finally:
        termios.tcsetattr(0, termios.TCSANOW, saved)
    return got


# Signals that the terminal sends to the whole foreground group: the pane
# mode itself must outlive them to record how the program ended.
_GROUP_SIGNALS = (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP)
_DEFAULTS_FOR_PROGRAM = _GROUP_SIGNALS + (signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE, signal.SIGXFSZ)


def _pane_main(run_dir: Path) -> None:
    setup = json.loads((run_dir / "run.json").read_text())
    argv = [bytes.fromhex(a) for a in setup["argv"]]
    _write_atomically(run_dir / "stty-before", _stty())
    if setup["preamble"]:
        os.write(1, bytes.fromhex(setup["preamble"]))
    if setup["gate"]:
        # Keys typed now wait for the program; they are not echoed.
        saved = termios.tcgetattr(0)
        quiet = list(saved)
        quiet[3] &= ~termios.ECHO
        termios.tcsetattr(0, termios.TCSANOW, quiet)
        (run_dir / "ready").touch()
        deadline = time.monotonic() + GATE_SECONDS
        while not (run_dir / "go").exists() and time.monotonic() < deadline:
            time.sleep(POLL_SECONDS)
        # tmux hands the keys to the terminal a moment after send-keys
        # returns (a canonical-mode terminal cannot be asked how many have
        # come): echo comes back only after that moment, or they would be
        # echoed on a busy machine.
        if (run_dir / "go").exists() and (run_dir / "go").read_text() == "keys":
            time.sleep(KEYS_SETTLE_SECONDS)
        termios.tcsetattr(0, termios.TCSANOW, saved)
    env = dict(os.environ)
    for key, value in setup["env"].items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    for signum in _GROUP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
    pid = os.fork()
    if pid == 0:
        try:
            for signum in _DEFAULTS_FOR_PROGRAM:
                signal.signal(signum, signal.SIG_DFL)
            if setup["stdin_null"]:
                null = os.open(os.devnull, os.O_RDONLY)
                os.dup2(null, 0)
                os.close(null)
            if setup["output"]:
                out = os.open(setup["output"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                os.dup2(out, 1)
                os.dup2(out, 2)
                os.close(out)
            os.chdir(setup["cwd"])
            os.execve(argv[0], argv, env)
        except BaseException as error:  # noqa: BLE001 - report anything, then leave
            os.write(2, f"cannot start the program: {error}\n".encode())
        os._exit(127)
    _write_atomically(run_dir / "pid", str(pid))
    while True:
        try:
            _, status = os.waitpid(pid, 0)
            break
        except InterruptedError:
            continue
    record: dict[str, object] = {}
    if os.WIFSIGNALED(status):
        record["signal"] = os.WTERMSIG(status)
    else:
        record["exit"] = os.WEXITSTATUS(status)
    _write_atomically(run_dir / "stty-after", _stty())
    record["unread"] = _read_unread_input().hex()
    _write_atomically(run_dir / "end", json.dumps(record))
    time.sleep(LINGER_SECONDS)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--pane":
        _pane_main(Path(sys.argv[2]))
    else:
        sys.exit("usage: harness.py --pane RUN_DIR (started by the end-to-end tests)")
