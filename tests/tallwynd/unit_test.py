#!/usr/bin/python3
"""The systemd unit that 'cmake --install' puts in place passes systemd-analyze
verify, pointed at the tallwynd just built (verify checks that ExecStart's program
exists, and that man finds the page its Documentation= names, here the one in the
source tree). A missing systemd-analyze skips the test."""

import os
import shutil
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
        directory = make_temp_dir(self.addCleanup)
        unit = os.path.join(directory, "tallwynd.service")
        with open(unit, "w", encoding="utf-8") as f:
            f.write(text.replace("@TALLWYND_PATH@", harness.TALLWYND))
        os.makedirs(os.path.join(directory, "man", "man8"))
        shutil.copy(os.path.join(harness.SOURCE_DIR, "packaging", "tallwynd.8"),
                    os.path.join(directory, "man", "man8"))
        done = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True,
                              text=True, timeout=60,
                              env=dict(os.environ, MANPATH=os.path.join(directory, "man")))
        output = done.stdout + done.stderr
        self.assertEqual(done.returncode, 0, output)
        # Unknown keys and the like are only warned of.
        self.assertNotIn("tallwynd.service", output)


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program("systemd-analyze", "systemd")
    unittest.main()
