#!/usr/bin/env python3
"""A complete host of quorvel-caption-helper, in Python with the standard library only.

It starts the helper, captions an audio file, prints the words being heard as they change and
each final line as it settles, waits for the file's end, stops the session and closes the helper.
The protocol it speaks is described in docs/protocol.md.

    caption_host.py [--helper PATH] [--locale en-US] [--paced] [--terms a,b] FILE

On a terminal the volatile text updates in place; otherwise every change is a line of its own:
    volatile 380-1100 the family
    final 380-3980 the family of dashwood had long been settled in sussex
and at the end, on standard error:
    stopped: 3 finals, 2 seconds
"""

import argparse
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import threading

# How long to wait for each answer from the helper, in seconds. A start loads the recognizer's
# model; a stop finishes the words still being recognised.
REPLY_TIMEOUT = 60.0


class HelperError(Exception):
    """An `err` reply, or a helper that went away."""

    def __init__(self, code, message, context=None):
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message
        self.context = context or {}


def explain(error, file, locale):
    """What to tell a user about a failure: decided by its code and context, as hosts should,
    rather than by its message text (which is written for every platform the helper runs on)."""
    reason = error.context.get("reason")
    if error.code == "CAPTIONS_MODEL_MISSING" and reason == "unsupported_locale":
        return f"there is no speech model for {locale} on this machine"
    if error.code == "CAPTIONS_MODEL_MISSING":
        return f"the speech model for {locale} is not installed"
    if error.code == "CAPTIONS_AUDIO_UNAVAILABLE":
        return f"cannot caption {file}: it is missing, or not audio that can be decoded"
    if error.code == "CAPTIONS_UNSUPPORTED":
        return "captions are not available in this build of the helper"
    return error.message


class Helper:
    """The helper process and its two pipes. One reader thread turns stdout lines into messages
    on a queue; the main thread sends commands and takes messages off the queue."""

    def __init__(self, path, verbose=False):
        self._process = subprocess.Popen(
            [path],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=None if verbose else subprocess.DEVNULL,
            text=True,
            encoding="utf-8",
            bufsize=1,
        )
        self._messages = queue.Queue()
        self._next_id = 0
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self._process.stdout:
            line = line.strip()
            if not line:
                continue
            try:
                message = json.loads(line)
            except ValueError:
                continue  # the helper writes only JSON lines; anything else is not ours
            if isinstance(message, dict):
                self._messages.put(message)
        self._messages.put(None)  # the helper's output ended

    def next_message(self, timeout):
        """The next message, or None when the helper has gone away."""
        try:
            return self._messages.get(timeout=timeout)
        except queue.Empty:
            raise HelperError("TIMEOUT", f"no message from the helper for {timeout:.0f} s")

    def send(self, op, args=None):
        """Sends a command and returns its id."""
        self._next_id += 1
        command_id = str(self._next_id)
        command = {"id": command_id, "op": op}
        if args is not None:
            command["args"] = args
        self._process.stdin.write(json.dumps(command) + "\n")
        self._process.stdin.flush()
        return command_id

    def close(self):
        """Ends the helper by closing its input, as hosts do; returns its exit status."""
        try:
            self._process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self._process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self._process.kill()
            return self._process.wait()


class Display:
    """Volatile text in place on a terminal, or one line per change elsewhere."""

    def __init__(self):
        self._tty = sys.stdout.isatty()
        self._shown = False

    def volatile(self, segment):
        if self._tty:
            width = shutil.get_terminal_size().columns - 1
            text = segment["text"]
            if len(text) > width:
                text = "…" + text[len(text) - width + 1:]
            sys.stdout.write("\r\033[2K" + text)
            self._shown = True
        else:
            sys.stdout.write(f"volatile {segment['tStartMs']}-{segment['tEndMs']} {segment['text']}\n")
        sys.stdout.flush()

    def final(self, segment):
        if self._tty:
            sys.stdout.write("\r\033[2K" + segment["text"] + "\n")
            self._shown = False
        else:
            sys.stdout.write(f"final {segment['tStartMs']}-{segment['tEndMs']} {segment['text']}\n")
        sys.stdout.flush()

    def done(self):
        if self._tty and self._shown:
            sys.stdout.write("\r\033[2K")
            sys.stdout.flush()


class Session:
    """One caption session on the helper: the events of the session are shown as they come;
    replies are matched to their commands by id."""

    def __init__(self, helper, session_id, display):
        self.helper = helper
        self.session_id = session_id
        self.display = display
        self.source_ended = False
        self.failed = None

    def handle(self, message):
        if message.get("t") != "evt":
            return
        event, data = message.get("ev"), message.get("data", {})
        if data.get("sessionId") != self.session_id:
            return  # hello, model progress, or another session's events
        if event == "captionSegment":
            if data["kind"] == "final":
                self.display.final(data)
            else:
                self.display.volatile(data)
        elif event == "captionSourceEnded":
            self.source_ended = True
        elif event == "captionState" and data.get("state") == "error":
            self.failed = data.get("reason", "the session failed")
        # Other events (levels, hello, anything newer) are not needed here; hosts ignore
        # events they do not know.

    def call(self, op, args=None):
        """Sends a command and handles events until its reply; returns the result."""
        command_id = self.helper.send(op, args)
        while True:
            message = self.helper.next_message(REPLY_TIMEOUT)
            if message is None:
                raise HelperError("GONE", "the helper ended")
            if message.get("t") in ("ack", "err") and message.get("id") == command_id:
                if message["t"] == "err":
                    raise HelperError(message["code"], message["message"], message.get("context"))
                return message.get("result")
            self.handle(message)

    def wait_for_end(self, interrupted):
        """Handles events until the file has been read to its end (or the session failed, or
        Ctrl-C came)."""
        while not (self.source_ended or self.failed or interrupted.is_set()):
            try:
                message = self.helper.next_message(0.2)
            except HelperError:
                continue  # nothing for a moment: check for Ctrl-C, then wait again
            if message is None:
                raise HelperError("GONE", "the helper ended")
            self.handle(message)


def find_helper(given):
    if given:
        return given
    if os.environ.get("QUORVEL_CAPTION_HELPER"):
        return os.environ["QUORVEL_CAPTION_HELPER"]
    try:
        path = subprocess.run(
            ["pkg-config", "--variable=helper", "quorvel-caption-engine"],
            capture_output=True, text=True, check=True).stdout.strip()
        if path and os.path.exists(path):
            return path
    except (OSError, subprocess.CalledProcessError):
        pass
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "build", "bin", "quorvel-caption-helper")


def main(argv):
    parser = argparse.ArgumentParser(description="Caption an audio file with quorvel-caption-helper.")
    parser.add_argument("file", help="the audio file (wav, flac, ogg, opus, mp3, m4a, ...)")
    parser.add_argument("--helper", help="the helper program (default: $QUORVEL_CAPTION_HELPER, "
                        "pkg-config's helper variable, or the build tree's)")
    parser.add_argument("--locale", default="en-US")
    parser.add_argument("--paced", action="store_true", help="read the file in real time")
    parser.add_argument("--terms", default="", help="contextual terms, comma separated")
    parser.add_argument("--verbose", action="store_true", help="show the helper's log lines")
    options = parser.parse_args(argv)

    interrupted = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: interrupted.set())

    helper = Helper(find_helper(options.helper), options.verbose)
    display = Display()
    session = Session(helper, "py-1", display)
    status = 0
    try:
        hello = helper.next_message(REPLY_TIMEOUT)
        if not hello or hello.get("ev") != "hello":
            raise HelperError("GONE", "the helper did not say hello")
        captions = hello["data"]["captions"]
        if not captions["supported"]:
            print(f"captions are not available: {captions['reason']}", file=sys.stderr)
            return 1

        started = session.call("captionsStart", {
            "sessionId": session.session_id,
            "locale": options.locale,
            "source": {"kind": "file", "path": os.path.abspath(options.file),
                       "paced": options.paced},
            "terms": [t for t in options.terms.split(",") if t],
        })
        print(f"captioning {options.file} in {started['locale']}", file=sys.stderr)
        session.wait_for_end(interrupted)
        stopped = session.call("captionsStop", {"sessionId": session.session_id})
        display.done()
        if session.failed:
            print(f"the session failed: {session.failed}", file=sys.stderr)
            status = 1
        print(f"stopped: {stopped['finals']} finals, {stopped['seconds']} seconds", file=sys.stderr)
    except HelperError as error:
        display.done()
        print(f"{error.code}: {explain(error, options.file, options.locale)}", file=sys.stderr)
        status = 1
    finally:
        exit_status = helper.close()
    if status == 0 and exit_status != 0:
        print(f"the helper ended with status {exit_status}", file=sys.stderr)
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
