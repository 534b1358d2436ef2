"""A small client for the emulated drivers' control endpoints, standard library only.

An endpoint is found by its connection file, never by a typed port or token:
each plug-in of a host started with ORV_CONTROL writes one, named
orv-<pid>-<plug-in>.json, to its user's runtime folder.
"""

import json
import os
import pathlib
import sys
import time
import urllib.error
import urllib.request


def connection_folder():
    """Where the plug-ins of this user write their connection files."""
    if override := os.environ.get("ORV_CONTROL_FOLDER"):
        return pathlib.Path(override)
    if sys.platform == "win32":
        return pathlib.Path(os.environ["LOCALAPPDATA"]) / "orv-emu" / "control"
    base = os.environ.get("XDG_RUNTIME_DIR") or os.environ.get("XDG_CACHE_HOME")
    base = pathlib.Path(base) if base else pathlib.Path.home() / ".cache"
    return base / "orv-emu" / "control"


class RequestRefused(Exception):
    """The endpoint answered with an error status; its message is the text."""

    def __init__(self, status, message):
        super().__init__(f"{status}: {message}")
        self.status = status
        self.message = message


class Endpoint:
    def __init__(self, info):
        self.info = info
        self.url = info["url"]
        self._token = info["token"]

    def request(self, method, path, body=None, timeout=600):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url.rstrip("/") + path, data=data, method=method)
        request.add_header("Authorization", "Bearer " + self._token)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=timeout) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as error:
            raise RequestRefused(error.code, json.load(error).get("error", "")) from None

    def devices(self):
        return self.request("GET", "/devices")["devices"]

    def advance(self, seconds):
        """Lets `seconds` of device time pass; returns each device's new second."""
        answer = self.request("POST", "/clock/advance", {"seconds": seconds})
        return {device["id"]: device["second"] for device in answer["devices"]}

    def post_event(self, **event):
        return self.request("POST", "/events", event)["id"]

    def log(self, after=0, wait=0):
        return self.request("GET", f"/log?after={after}&wait={wait}")["lines"]


def _answers(info):
    try:
        Endpoint(info).request("GET", "/clock", timeout=2)
        return True
    except (OSError, RequestRefused):
        return False


def find_endpoint(plugin, pid=None, folder=None, timeout=30):
    """The endpoint of one plug-in (its file name, e.g. climate_sim.so).

    With pid, the file of that process; without (a host whose process id is
    not this system's, such as one under Wine), the one file naming the
    plug-in whose endpoint answers. Waits for the host to write it.
    """
    folder = pathlib.Path(folder) if folder else connection_folder()
    deadline = time.monotonic() + timeout
    while True:
        found = []
        for path in folder.glob("orv-*.json"):
            try:
                info = json.loads(path.read_text())
            except (OSError, ValueError):
                continue  # being written, or not ours
            if info.get("plugin") != plugin or (pid is not None and info.get("pid") != pid):
                continue
            if pid is not None or _answers(info):
                found.append(info)
        if len(found) == 1:
            return Endpoint(found[0])
        if len(found) > 1:
            raise RuntimeError(f"several endpoints for {plugin} in {folder}: give the pid")
        if time.monotonic() > deadline:
            raise TimeoutError(f"no connection file for {plugin} appeared in {folder}")
        time.sleep(0.1)
