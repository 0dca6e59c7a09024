#!/usr/bin/env python3
"""Robustness figures of the real helper, driven over its pipes as a host drives it.

  bench/helper_robustness.py HELPER [fifo] [pipe] [loss] [memory] [sessions]

- fifo: a file source that is a FIFO with no writer is refused at once and wedges nothing;
- pipe: a host that stops reading stdout and then closes stdin: time to exit, and whether every
  line left in the pipe is whole;
- loss: the virtual microphone's module unloaded and loaded again during a session (on the
  default input and by id): time to the held/fallback event and to the resumed/restored one;
- memory: peak memory of an unpaced session on 25 s and on 10 minutes of speech;
- sessions: resident memory after each of 20 consecutive sessions, and a minute after the last.

Needs the test sound server (scripts/test-audio-server.sh) for "loss", and ffmpeg to join the
librivox recordings of pocketsphinx-testdata. Prints one line per figure.
"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
RECORDING = LIBRIVOX + "/sense_and_sensibility_01_austen_64kb-0870.wav"


class Helper:
    """One helper process; replies and events are read as they come, with their arrival time."""

    def __init__(self, path):
        self.p = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, bufsize=0)
        self.pending = b""
        self.count = 0
        self.read_until(lambda m: m.get("ev") == "hello")

    def send(self, op, args=None):
        self.count += 1
        cid = "c%d" % self.count
        line = {"id": cid, "op": op}
        if args is not None:
            line["args"] = args
        self.p.stdin.write((json.dumps(line) + "\n").encode())
        return cid

    def read_until(self, wanted, limit=60.0):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                message = json.loads(line)
                if wanted(message):
                    return message
            ready, _, _ = select.select([self.p.stdout], [], [], 0.05)
            if ready:
                chunk = os.read(self.p.stdout.fileno(), 65536)
                if not chunk:
                    return None
                self.pending += chunk
        return None

    def call(self, op, args=None, limit=60.0):
        cid = self.send(op, args)
        return self.read_until(lambda m: m.get("id") == cid, limit)

    def start(self, source, session="s1"):
        return self.call("captionsStart", {"sessionId": session, "locale": "en-US",
                                           "source": source})

    def stop(self, session="s1"):
        return self.call("captionsStop", {"sessionId": session})

    def memory_mib(self, key="VmRSS"):
        with open("/proc/%d/status" % self.p.pid) as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) / 1024.0
        return float("nan")

    def close(self, limit=20):
        self.p.stdin.close()
        self.p.wait(limit)


def state_event(reason):
    return lambda m: m.get("ev") == "captionState" and m["data"].get("reason") == reason


def ms(seconds):
    return "%.0f" % (seconds * 1000)


def joined(directory, repeats, name):
    """The librivox recordings one after another, `repeats` times, as one WAV file."""
    recordings = sorted(f for f in os.listdir(LIBRIVOX) if f.endswith(".wav"))
    listing = os.path.join(directory, name + ".txt")
    with open(listing, "w") as f:
        for _ in range(repeats):
            for r in recordings:
                f.write("file '%s/%s'\n" % (LIBRIVOX, r))
    out = os.path.join(directory, name + ".wav")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i", listing,
                    "-t", "600", out], check=True)
    return out


def fifo(helper_path, scratch):
    path = os.path.join(scratch, "no-writer")
    os.mkfifo(path)
    h = Helper(helper_path)
    t = time.monotonic()
    reply = h.start({"kind": "file", "path": path})
    took = time.monotonic() - t
    print("  FIFO without a writer: answered in %s ms with %s" % (ms(took), reply.get("code")))
    reply = h.start({"kind": "file", "path": RECORDING, "paced": True})
    print("  the next start, on a recording: %s" % reply.get("t"))
    h.stop()
    t = time.monotonic()
    h.close()
    print("  exit after end of input: %s ms, status %d" % (ms(time.monotonic() - t),
                                                          h.p.returncode))


def pipe(helper_path):
    h = Helper(helper_path)
    h.start({"kind": "file", "path": RECORDING, "paced": True})
    for _ in range(20000):
        h.send("captionsStatus")  # never read
    time.sleep(1.0)
    t = time.monotonic()
    h.p.stdin.close()
    try:
        h.p.wait(15)
    except subprocess.TimeoutExpired:
        print("  full pipe: the helper still runs 15 s after the end of its input")
        h.p.kill()
        return
    took = time.monotonic() - t
    lines = h.p.stdout.read().split(b"\n")
    broken = 0
    for line in lines[:-1]:
        try:
            json.loads(line)
        except ValueError:
            broken += 1
    print("  full pipe: exit %s ms after the end of input, status %d; %d lines left in the pipe, "
          "%d of them not JSON, %d bytes of a partial line" %
          (ms(took), h.p.returncode, len(lines) - 1, broken, len(lines[-1])))


def pactl(*args):
    return subprocess.run(["pactl", *args], capture_output=True, text=True).stdout


def loss(helper_path, rounds=5):
    if not pactl("info"):
        print("  skipped: no sound server")
        return
    for source, lost, back in (({"kind": "default"}, "input_fallback", "input_restored"),
                               ({"kind": "device", "uniqueID": "ci_mic"}, "input_lost",
                                "audio_resumed")):
        away, returned = [], []
        h = Helper(helper_path)
        h.start(source)
        for _ in range(rounds):
            time.sleep(1.0)
            module = [l.split()[0] for l in pactl("list", "short", "modules").splitlines()
                      if "module-remap-source" in l and "source_name=ci_mic" in l]
            t = time.monotonic()
            pactl("unload-module", module[0])
            away.append(time.monotonic() - t if h.read_until(state_event(lost), 10) else None)
            time.sleep(0.5)
            t = time.monotonic()
            pactl("load-module", "module-remap-source", "source_name=ci_mic",
                  "master=ci_sink.monitor", "source_properties=device.description=CI-Mic")
            pactl("set-default-source", "ci_mic")
            returned.append(time.monotonic() - t if h.read_until(state_event(back), 10) else None)
        reply = h.stop()
        h.close()
        show = lambda xs: " ".join(ms(x) if x is not None else "never" for x in xs)
        print("  %s session: microphone unloaded -> %s in %s ms; loaded -> %s in %s ms; stop %s" %
              (source["kind"], lost, show(away), back, show(returned),
               json.dumps(reply.get("result"))))


def memory(helper_path, scratch):
    for label, path in (("25 s", joined(scratch, 1, "joined")),
                        ("10 min", joined(scratch, 25, "ten-minutes"))):
        h = Helper(helper_path)
        h.start({"kind": "file", "path": path, "paced": False})
        h.read_until(lambda m: m.get("ev") == "captionSourceEnded", 1800)
        h.stop()
        peak = h.memory_mib("VmHWM")
        h.close()
        print("  unpaced session on %s of speech: peak %.1f MiB" % (label, peak))


def sessions(helper_path, count=20):
    h = Helper(helper_path)
    after = []
    for i in range(count):
        h.start({"kind": "file", "path": RECORDING, "paced": False}, "s%d" % i)
        h.read_until(lambda m: m.get("ev") == "captionSourceEnded", 120)
        h.stop("s%d" % i)
        after.append("%.0f" % h.memory_mib())
    print("  resident memory after each of %d sessions, MiB: %s" % (count, " ".join(after)))
    time.sleep(61)
    print("  61 s after the last stop (the kept decoder released): %.0f MiB" % h.memory_mib())
    h.close()


def main():
    helper_path = sys.argv[1]
    wanted = sys.argv[2:] or ["fifo", "pipe", "loss", "memory", "sessions"]
    scratch = tempfile.mkdtemp(prefix="quorvel-robustness.")
    try:
        if "fifo" in wanted:
            fifo(helper_path, scratch)
        if "pipe" in wanted:
            pipe(helper_path)
        if "loss" in wanted:
            loss(helper_path)
        if "memory" in wanted:
            memory(helper_path, scratch)
        if "sessions" in wanted:
            sessions(helper_path)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
