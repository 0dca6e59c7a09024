#!/usr/bin/env python3
"""examples/python-host/caption_host.py against the real helper on real recordings: it starts a
file session, shows volatiles and finals as they change, stops at the file's end and closes the
helper; a file that cannot be opened is reported with its error code.

    python_host_test.py HOST_SCRIPT HELPER [--has-recognizer]
"""

import os
import re
import subprocess
import sys
import unittest

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
RECORDING = "sense_and_sensibility_01_austen_64kb-0870"

HOST, HELPER = sys.argv[1], sys.argv[2]
HAS_RECOGNIZER = "--has-recognizer" in sys.argv[3:]


def run_host(*args):
    return subprocess.run([sys.executable, HOST, "--helper", HELPER, *args],
                          capture_output=True, text=True, timeout=240)


def transcript_words():
    with open(os.path.join(LIBRIVOX, "transcription")) as f:
        for line in f:
            if f"({RECORDING})" in line:
                words = re.sub(r"\(.*\)", "", line).lower().split()
                return [w for w in words if w not in ("<s>", "</s>")]
    return []


class PythonHost(unittest.TestCase):
    @unittest.skipUnless(HAS_RECOGNIZER, "built without a recognizer")
    def test_captions_a_recording_to_its_end_and_stops(self):
        path = os.path.join(LIBRIVOX, RECORDING + ".wav")
        if not os.path.exists(path):
            self.skipTest("no test recording")
        run = run_host(path)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        volatiles = [l for l in lines if l.startswith("volatile ")]
        finals = [l for l in lines if l.startswith("final ")]
        self.assertGreater(len(volatiles), 0, run.stdout)
        self.assertGreater(len(finals), 0, run.stdout)
        self.assertEqual(len(volatiles) + len(finals), len(lines), run.stdout)
        # Finals follow one another through the recording, which lasts about 7.1 s.
        previous_end = 0
        heard = []
        for line in finals:
            start, end, text = re.match(r"final (\d+)-(\d+) (.+)$", line).groups()
            self.assertGreaterEqual(int(start), previous_end)
            self.assertLessEqual(int(start), int(end))
            self.assertLessEqual(int(end), 7200)
            previous_end = int(end)
            heard += text.split()
        # The recording's words were heard, its last ones too: the session ran to the file's end.
        said = transcript_words()
        self.assertGreaterEqual(len(said), 4)
        self.assertGreaterEqual(len(set(said) & set(heard)) / len(set(said)), 0.5, heard)
        self.assertTrue(set(said[-4:]) & set(heard), heard)
        stopped = re.search(r"stopped: (\d+) finals, (\d+) seconds", run.stderr)
        self.assertIsNotNone(stopped, run.stderr)
        self.assertEqual(int(stopped.group(1)), len(finals))

    def test_a_file_that_cannot_be_captioned_is_reported_by_its_code(self):
        run = run_host("/nonexistent/talk.wav")
        self.assertEqual(run.returncode, 1, run.stderr)
        expected = "CAPTIONS_AUDIO_UNAVAILABLE" if HAS_RECOGNIZER else "captions are not available"
        self.assertIn(expected, run.stderr)
        self.assertEqual(run.stdout, "")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
