#!/usr/bin/python3
"""The systemd unit that 'cmake --install' puts in place passes systemd-analyze
verify, pointed at the tallwynd just built (verify checks that ExecStart's program
exists). A missing systemd-analyze skips the test."""

import os
import subprocess
import unittest

import harness
from harness import make_temp_dir


class UnitTest(unittest.TestCase):
    def test_unit_verifies_without_a_complaint(self):
        template = os.path.join(harness.SOURCE_DIR, "tallwynd", "tallwynd.service.in")
        with open(template, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("ExecStart=@TALLWYND_PATH@ ", text)
        unit = os.path.join(make_temp_dir(self.addCleanup), "tallwynd.service")
        with open(unit, "w", encoding="utf-8") as f:
            f.write(text.replace("@TALLWYND_PATH@", harness.TALLWYND))
        done = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True,
                              text=True, timeout=60)
        output = done.stdout + done.stderr
        self.assertEqual(done.returncode, 0, output)
        # Unknown keys and the like are only warned of.
        self.assertNotIn("tallwynd.service", output)


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program("systemd-analyze", "systemd")
    unittest.main()
