"""End-to-end test of the build's sample ROM image: it is stored
word-swapped, one run of oskebar puts it in the order halvard reads, and
a second run gives it back. The image is copied into a scratch folder, so
the build's own sample stays as the build made it.

The sample is found through CNC64_SAMPLE_ROM, which CTest sets.
"""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import harness
from harness import FolderTestCase, run_piped

ROM_SIZE = 33554432
NAME_OFFSET = 2152924
NAME = b"MISSION.ENG"


def sample_rom() -> Path:
    value = os.environ.get("CNC64_SAMPLE_ROM")
    if not value:
        raise RuntimeError("the sample ROM image is not known: set CNC64_SAMPLE_ROM")
    return Path(value)


class SampleRomTest(FolderTestCase):
    def test_oskebar_turns_the_sample_into_the_order_halvard_reads(self) -> None:
        path = self.work / "sample.z64"
        shutil.copyfile(sample_rom(), path)
        stored = path.read_bytes()
        self.assertEqual(len(stored), ROM_SIZE)
        self.assertEqual(stored[:4].hex(" "), "40 12 37 80", "not word-swapped as stored")
        self.assertNotEqual(stored[NAME_OFFSET : NAME_OFFSET + len(NAME)], NAME)

        self.assertEqual(run_piped(["oskebar", "sample.z64"], self.work, timeout=60).status, 0)
        converted = path.read_bytes()
        self.assertEqual(converted[:4].hex(" "), "80 37 12 40")
        self.assertEqual(converted[NAME_OFFSET : NAME_OFFSET + len(NAME)], NAME)

        # Ready for halvard: the size check passes and the name is replaced.
        run = run_piped(["halvard", "sample.z64"], self.work, stdin=b"mission.txty", timeout=60)
        self.assertEqual(run.status, 0)
        self.assertIn(b"Writing changes...Done.", run.stdout)
        patched = path.read_bytes()
        self.assertEqual(patched[NAME_OFFSET : NAME_OFFSET + len(NAME)], b"MISSION.TXT")
        self.assertTrue(patched[: NAME_OFFSET] == converted[: NAME_OFFSET])

    def test_a_second_run_of_oskebar_gives_the_sample_back(self) -> None:
        path = self.work / "sample.z64"
        shutil.copyfile(sample_rom(), path)
        stored = path.read_bytes()
        for _ in range(2):
            self.assertEqual(run_piped(["oskebar", "sample.z64"], self.work, timeout=60).status, 0)
        self.assertTrue(path.read_bytes() == stored, "two runs did not give the sample back")


if __name__ == "__main__":
    harness.main()
