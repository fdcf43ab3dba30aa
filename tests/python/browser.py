"""Headless Chromium driven over the DevTools protocol on a pipe: no port, no extra package."""

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import threading


def chromium_path():
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Chromium:
    """One headless page. Each call waits for its answer at most `timeout` seconds."""

    def __init__(self, width=1280, height=800, timeout=60.0):
        self.timeout = timeout
        to_chrome_r, to_chrome_w = os.pipe()
        from_chrome_r, from_chrome_w = os.pipe()
        # The browser reads commands on fd 3 and writes answers on fd 4: move both ends out of
        # the way first, so that setting up one cannot close the other.
        child_in = fcntl.fcntl(to_chrome_r, fcntl.F_DUPFD, 10)
        child_out = fcntl.fcntl(from_chrome_w, fcntl.F_DUPFD, 10)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self._profile = tempfile.TemporaryDirectory(prefix="chromium-",
                                                    ignore_cleanup_errors=True)

        def place_pipes():
            os.dup2(child_in, 3)
            os.dup2(child_out, 4)

        self._process = subprocess.Popen(
            [chromium_path(), "--headless", "--no-sandbox", "--remote-debugging-pipe",
             "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--metrics-recording-only",
             # Loopback only: every other name fails to resolve.
             "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
             f"--user-data-dir={self._profile.name}", f"--window-size={width},{height}",
             "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=place_pipes, close_fds=False)
        os.close(child_in)
        os.close(child_out)
        self._send_fd = to_chrome_w
        self._reader = os.fdopen(from_chrome_r, "rb")
        self._next_id = 0
        self._answers = {}
        self._arrived = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()
        self._session = None

    def _read(self):
        buffer = b""
        while chunk := self._reader.read1(65536):
            buffer += chunk
            while b"\0" in buffer:
                message, buffer = buffer.split(b"\0", 1)
                answer = json.loads(message)
                if "id" in answer:
                    with self._arrived:
                        self._answers[answer["id"]] = answer
                        self._arrived.notify_all()
        with self._arrived:
            self._closed = True
            self._arrived.notify_all()

    def call(self, method, session=False, **params):
        self._next_id += 1
        number = self._next_id
        message = {"id": number, "method": method, "params": params}
        if session:
            message["sessionId"] = self._session
        os.write(self._send_fd, json.dumps(message).encode() + b"\0")
        with self._arrived:
            if not self._arrived.wait_for(lambda: number in self._answers or self._closed,
                                          self.timeout):
                raise TimeoutError(f"Chromium did not answer {method} in {self.timeout} s")
            if number not in self._answers:
                raise RuntimeError(f"Chromium ended before answering {method}")
            answer = self._answers.pop(number)
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer["result"]

    def open(self, url):
        """A new page at url: a page of its own from the start, so that no navigation swaps
        the page under the session."""
        target = self.call("Target.createTarget", url=url)["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=target,
                                  flatten=True)["sessionId"]

    def screenshot(self):
        """The page as PNG bytes."""
        return base64.b64decode(self.call("Page.captureScreenshot", session=True,
                                          format="png")["data"])

    def close(self):
        if self._process.poll() is None:
            try:
                self.call("Browser.close")  # lets its helper processes end with it
                self._process.wait(10)
            except (RuntimeError, TimeoutError, subprocess.TimeoutExpired):
                pass
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        os.close(self._send_fd)
        self._thread.join(10)
        self._reader.close()
        self._profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
