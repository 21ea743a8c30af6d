"""Checks of what gets installed and packaged, one command per CTest test.

    packages.py build   --source-dir S --work W   the `package` preset's build
                                                   and packages, twice, in two
                                                   folders: same sums, no
                                                   build paths in any file
    packages.py deb     --work W                  the .deb: fields, contents,
                                                   dpkg -x and a tool run from
                                                   there; the .tar.gz's contents
    packages.py lintian --work W                  lintian on the .deb
    packages.py install --build-dir B --work W    a bare cmake --install
    packages.py desktop --source-dir S            desktop-file-validate and the
                                                   entries' fields
    packages.py man     --source-dir S --build-dir B
                                                   groff -ww and man --warnings
                                                   on the pages; the pages
                                                   carry the README's guide

A check whose tool is missing says so and ends with SKIP_STATUS.
Everything is written inside W, which is inside the build folder.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path
from typing import Iterable, Optional, Sequence

SKIP_STATUS = 77
PROGRAMS = ("pelloran", "dravimund", "oskebar", "halvard")
PACKAGE = "cnc64tools"
#: What an install puts under its prefix, the manual pages compressed.
EXPECTED = sorted(
    [f"bin/{p}" for p in PROGRAMS]
    + [f"share/man/man1/{p}.1.gz" for p in PROGRAMS]
    + [f"share/applications/cnc64tools-{p}.desktop" for p in PROGRAMS]
    + [f"share/doc/{PACKAGE}/{name}" for name in ("README.md", "LICENSE", "copyright", "changelog.gz")]
)
#: Built files that must never be installed.
NEVER_INSTALLED = ("unit_tests", "pass_benchmark", "make_samples", "make_man_page", "sample.z64", "sample.map")


class Skip(Exception):
    pass


def say(text: str) -> None:
    print(text, flush=True)


def need(*tools: str) -> None:
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        raise Skip(f"not installed: {', '.join(missing)}")


def run(command: Sequence[str], cwd: Optional[Path] = None, timeout: float = 600, **kwargs) -> subprocess.CompletedProcess:
    done = subprocess.run(list(command), cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, **kwargs)  # fmt: skip
    if done.returncode != 0:
        raise AssertionError(
            f"{' '.join(map(str, command))} failed with status {done.returncode}\n"
            f"{done.stdout.decode(errors='replace')[-4000:]}{done.stderr.decode(errors='replace')[-4000:]}"
        )
    return done


def files_under(root: Path) -> list[str]:
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file() or p.is_symlink())


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def check_contents(listing: Iterable[str], what: str) -> None:
    listing = sorted(listing)
    say(f"{what} holds:\n  " + "\n  ".join(listing))
    stray = [name for name in listing if Path(name).name in NEVER_INSTALLED]
    if stray:
        raise AssertionError(f"{what} holds built files that are not part of the tools: {stray}")
    if listing != EXPECTED:
        missing = sorted(set(EXPECTED) - set(listing))
        extra = sorted(set(listing) - set(EXPECTED))
        raise AssertionError(f"{what}: missing {missing}, not expected {extra}")


def packages_in(folder: Path) -> tuple[Path, Path]:
    debs = sorted(folder.glob(f"{PACKAGE}_*.deb"))
    tars = sorted(folder.glob(f"{PACKAGE}-*.tar.gz"))
    if len(debs) != 1 or len(tars) != 1:
        raise AssertionError(f"expected one .deb and one .tar.gz in {folder}, found {debs + tars}")
    return debs[0], tars[0]


# ---- build -------------------------------------------------------------------


def build(args: argparse.Namespace) -> None:
    need("dpkg-deb", "dpkg-shlibdeps")
    source = args.source_dir.resolve()
    work = args.work.resolve()
    sums = []
    for copy in ("a", "b"):
        folder = work / copy
        shutil.rmtree(folder, ignore_errors=True)
        say(f"building the packages in {folder}")
        run([args.cmake, "--preset", "package", "-B", str(folder)], cwd=source)
        run([args.cmake, "--build", str(folder)], cwd=source)
        run([args.cpack, "-G", "DEB;TGZ", "--config", str(folder / "CPackConfig.cmake")], cwd=folder)
        deb, tar = packages_in(folder)
        sums.append({p.name: sha256(p) for p in (deb, tar)})
        say("\n".join(f"  {value}  {name}" for name, value in sums[-1].items()))
        # No path of the source or of this build in anything packaged.
        staged = folder / "_CPack_Packages"
        for path in (p for p in staged.rglob("*") if p.is_file()):
            data = path.read_bytes()
            for leak in (str(source), str(folder)):
                if leak.encode() in data:
                    raise AssertionError(f"{path} holds the build path {leak}")
    if sums[0] != sums[1]:
        raise AssertionError(f"two builds of the same source gave different packages: {sums}")
    say("the two builds gave the same packages")


# ---- deb ---------------------------------------------------------------------


def deb(args: argparse.Namespace) -> None:
    need("dpkg-deb")
    work = args.work.resolve()
    package, tar = packages_in(work / "a")
    fields = {
        name: run(["dpkg-deb", "-f", str(package), name]).stdout.decode().strip()
        for name in ("Package", "Version", "Section", "Maintainer", "Description", "Depends", "Architecture")
    }
    say("\n".join(f"{name}: {value.splitlines()[0] if value else ''}" for name, value in fields.items()))
    for name, value in fields.items():
        if not value:
            raise AssertionError(f"the .deb has no {name} field")
    for library in ("libc6", "libstdc++6"):
        if library not in fields["Depends"]:
            raise AssertionError(f"Depends does not name {library}: {fields['Depends']}")

    root = work / "root"
    shutil.rmtree(root, ignore_errors=True)
    run(["dpkg", "-x", str(package), str(root)])
    check_contents(files_under(root / "usr"), "the .deb")
    listing = run(["dpkg-deb", "-c", str(package)]).stdout.decode()
    if not all(line.split()[1] == "root/root" for line in listing.splitlines()):
        raise AssertionError(f"files not owned by root in the .deb:\n{listing}")

    # A tool from the scratch root, on a file of its own, through pipes.
    sample = work / "sample.z64"
    sample.write_bytes(bytes(range(1, 9)))
    done = subprocess.run([str(root / "usr/bin/oskebar"), str(sample)], input=b"", stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=30)  # fmt: skip
    say(f"oskebar from the .deb: status {done.returncode}, output {done.stdout!r}")
    if done.returncode != 0 or b"Fixing\r\nDone.\r\n" not in done.stdout:
        raise AssertionError(f"oskebar from the .deb did not run its pass: {done!r}")
    if sample.read_bytes() != bytes([4, 3, 2, 1, 8, 7, 6, 5]):
        raise AssertionError(f"oskebar from the .deb left {sample.read_bytes().hex(' ')}")

    with tarfile.open(tar) as archive:
        names = [m.name for m in archive.getmembers() if m.isfile()]
    tops = {name.split("/", 1)[0] for name in names}
    if len(tops) != 1:
        raise AssertionError(f"the .tar.gz has more than one top folder: {tops}")
    check_contents([name.split("/", 1)[1] for name in names], "the .tar.gz")


# ---- lintian -------------------------------------------------------------------


def lintian(args: argparse.Namespace) -> None:
    need("lintian")
    package, _ = packages_in(args.work.resolve() / "a")
    done = subprocess.run(["lintian", "--fail-on", "none", str(package)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600)  # fmt: skip
    report = done.stdout.decode(errors="replace")
    say(report or "lintian reports nothing")
    tags = [line for line in report.splitlines() if re.match(r"^[EWIX]: ", line)]
    if tags or done.returncode != 0:
        raise AssertionError(f"lintian reports (status {done.returncode}):\n{report}{done.stderr.decode()}")


# ---- install -------------------------------------------------------------------


def install(args: argparse.Namespace) -> None:
    stage = args.work.resolve() / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    env = dict(os.environ, DESTDIR=str(stage))
    run([args.cmake, "--install", str(args.build_dir), "--prefix", "/opt/cnc64tools"], env=env)
    installed = files_under(stage / "opt/cnc64tools")
    if shutil.which("gzip") is None:
        installed = [name + ".gz" if name.endswith(".1") else name for name in installed]
        say("gzip is not installed: the manual pages are installed uncompressed")
    check_contents(installed, "cmake --install")


# ---- desktop -------------------------------------------------------------------


def desktop(args: argparse.Namespace) -> None:
    need("desktop-file-validate")
    for program in PROGRAMS:
        entry = args.source_dir / "packaging" / "desktop" / f"cnc64tools-{program}.desktop"
        done = subprocess.run(["desktop-file-validate", str(entry)], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60)  # fmt: skip
        report = done.stdout.decode(errors="replace")
        if done.returncode != 0 or report.strip():
            raise AssertionError(f"desktop-file-validate on {entry.name}:\n{report}")
        keys = dict(line.split("=", 1) for line in entry.read_text().splitlines() if "=" in line)
        wanted = {"Type": "Application", "Exec": f"{program} %f", "Terminal": "true"}
        if program in ("oskebar", "halvard"):
            wanted["MimeType"] = "application/x-n64-rom;"
        for key, value in wanted.items():
            if keys.get(key) != value:
                raise AssertionError(f"{entry.name}: {key} is {keys.get(key)!r}, not {value!r}")
        if program not in ("oskebar", "halvard") and "MimeType" in keys:
            raise AssertionError(f"{entry.name} claims files that are not map files: {keys['MimeType']}")
        say(f"{entry.name}: valid")


# ---- man -----------------------------------------------------------------------


def readme_words(readme: str, section: str, left_out: Optional[str] = None) -> list[str]:
    """The words of the README's section "## section", as a manual page
    shows them: without Markdown's marks, and without the subsection
    "### left_out"."""
    part = readme.split(f"\n## {section}\n", 1)[1].split("\n## ", 1)[0]
    if left_out is not None:
        part = part.split(f"\n### {left_out}\n", 1)[0]
    words = []
    for line in part.splitlines():
        if re.fullmatch(r"\s*\|[-:| ]+\|\s*", line):
            continue
        line = re.sub(r"^(### |- )", "", line).replace("**", "").replace("`", "")
        words += line.replace("|", " ").split()
    return words


def page_words(page: Path) -> list[str]:
    """The words of a manual page as groff sets it in plain ASCII, on lines
    long enough that no table cell wraps, without hyphenation, table rules
    or list bullets."""
    done = subprocess.run(["groff", "-man", "-t", "-Tascii", "-P-c", "-rHY=0", "-rLL=3000n", str(page)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)  # fmt: skip
    text = re.sub(r".\x08", "", done.stdout.decode("ascii", errors="replace"))
    return [word for word in text.replace("|", " ").split() if not re.fullmatch(r"o|[+\-]{2,}", word)]


def first_difference(wanted: list[str], words: list[str]) -> str:
    """Where the longest leading run of `wanted` that `words` holds ends."""
    text = " " + " ".join(words) + " "
    low, high = 0, len(wanted)
    while low < high:
        middle = (low + high + 1) // 2
        if " " + " ".join(wanted[:middle]) + " " in text:
            low = middle
        else:
            high = middle - 1
    return " ".join(wanted[max(0, low - 8) : low]) + " >>> " + " ".join(wanted[low : low + 8])


def man(args: argparse.Namespace) -> None:
    need("groff", "man")
    readme = (args.source_dir / "README.md").read_text()
    sections = {
        "User's guide": readme_words(readme, "User's guide"),
        "Behaviour": readme_words(readme, "Behaviour", left_out="Windows"),
    }
    for program in PROGRAMS:
        page = args.build_dir / "packaging" / "man" / f"{program}.1"
        checks = [
            ["groff", "-ww", "-z", "-t", "-man", str(page)],
            ["man", "--warnings", "-l", str(page)],
        ]
        for command in checks:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=dict(os.environ, MANWIDTH="80"), timeout=60)  # fmt: skip
            if done.returncode != 0 or done.stderr.strip():
                raise AssertionError(f"{' '.join(command)}:\n{done.stderr.decode(errors='replace')}")
        # The page says, word for word, what the README's sections say.
        words = page_words(page)
        flat = " " + " ".join(words) + " "
        for title, wanted in sections.items():
            if " " + " ".join(wanted) + " " not in flat:
                raise AssertionError(
                    f"{page.name} does not agree with the README's {title} section at: "
                    f"{first_difference(wanted, words)}"
                )
        for sentence in (f"{program} -", "changes the file in place; no copy is made"):
            if sentence not in flat:
                raise AssertionError(f"{page.name} lacks {sentence!r}")
        compressed = page.with_name(page.name + ".gz")
        if compressed.exists() and gzip.decompress(compressed.read_bytes()) != page.read_bytes():
            raise AssertionError(f"{compressed.name} is not {page.name}")
        say(f"{page.name}: no warnings; agrees with the README's user's guide and Behaviour sections")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=["build", "deb", "lintian", "install", "desktop", "man"])
    parser.add_argument("--source-dir", type=Path)
    parser.add_argument("--build-dir", type=Path)
    parser.add_argument("--work", type=Path)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    args = parser.parse_args(argv)
    try:
        globals()[args.check](args)
    except Skip as skip:
        say(f"{args.check}: skipped: {skip}")
        return SKIP_STATUS
    except AssertionError as failure:
        say(f"{args.check}: FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
