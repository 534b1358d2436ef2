"""A host's alarm handling, tested through the emulated climate controller.

The host under test is started with the control endpoint and the manual
clock; the test lets an hour of device time pass, injects an overheat through
the endpoint, lets a minute pass, and then asks the host itself, through its
own interface, whether it saw the alarm. The reference host, orv_host,
stands in for any host here; its own interface is its dashboard's JSON.

Run from the repository after building the default preset:
    python3 -m pytest examples/host_test
Environment: ORV_EXAMPLE_HOST (the command that starts the host, default
build/default/bin/orv_host), ORV_EXAMPLE_PLUGIN (the plug-in, default
build/default/bin/climate_sim.so), ORV_EXAMPLE_PID_IS_OURS=0 when the host's
process id is not this system's (a host under Wine), ORV_CONTROL_FOLDER (the
connection files' folder, when it is not this user's own).
"""

import json
import os
import pathlib
import re
import shlex
import signal
import subprocess
import urllib.request

import pytest

from control_client import find_endpoint

ROOT = pathlib.Path(__file__).resolve().parents[2]
OVERHEAT = 5  # the climate controller's alarm channel
HEATING = 4


@pytest.fixture
def host():
    """The host under test, with the control endpoint and the manual clock."""
    command = shlex.split(os.environ.get("ORV_EXAMPLE_HOST", str(ROOT / "build/default/bin/orv_host")))
    plugin = os.environ.get("ORV_EXAMPLE_PLUGIN", str(ROOT / "build/default/bin/climate_sim.so"))
    environment = dict(os.environ, ORV_CONTROL="0", ORV_EMU_SPEED="manual")
    # A session of its own, so that the whole host goes at the end, also when
    # a wrapper starts it.
    process = subprocess.Popen(
        command + ["--web", "0", "--duration", "0", "--devices", "1", "--interval", "0",
                   "--plugin", plugin],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=environment,
        start_new_session=True)
    try:
        for line in process.stdout:
            if match := re.search(r"dashboard at (http://\S+?/)", line):
                process.dashboard = match.group(1)
                break
        else:
            pytest.fail("the host ended before it served its dashboard")
        process.plugin = pathlib.PureWindowsPath(plugin).name if "\\" in plugin else pathlib.Path(plugin).name
        yield process
    finally:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=30)


def host_state(host):
    """What the host itself shows: its dashboard's state."""
    with urllib.request.urlopen(host.dashboard + "api/state", timeout=30) as answer:
        return json.load(answer)


def host_chart(host, driver, device, first, last):
    """The samples the host reads from the driver over [first, last] seconds."""
    url = f"{host.dashboard}api/drivers/{driver}/devices/{device}/chart?from={first}&to={last}&points=200"
    with urllib.request.urlopen(url, timeout=30) as answer:
        return json.load(answer)


def test_host_shows_the_overheat_a_minute_after_it_happens(host):
    ours = os.environ.get("ORV_EXAMPLE_PID_IS_OURS", "1") != "0"
    endpoint = find_endpoint(host.plugin, pid=host.pid if ours else None)

    # An hour of device time, and no alarm in it: the heating stays at 1.
    seconds = endpoint.advance(3600)
    assert list(seconds.values()) == [3600]
    [device] = host_state(host)["devices"]
    assert device["channels"][OVERHEAT]["value"] == 0

    # The heater runs away and the overheat indication comes on.
    endpoint.post_event(at="now", action="set", index=HEATING, value=3, note="heater stuck at full")
    alarm = endpoint.post_event(at="now", action="hold", index=OVERHEAT, value=1, duration=600,
                                note="overheat")
    assert endpoint.advance(60) == {device["id"]: 3660}

    # The host saw it: its live value, and its history of the last minute.
    [device] = host_state(host)["devices"]
    assert device["channels"][OVERHEAT]["value"] == 1
    assert device["channels"][HEATING]["value"] == 3
    chart = host_chart(host, device["driver"], device["id"], 3600, 3660)
    overheat = chart["values"][OVERHEAT]
    assert overheat[0] == 0 and overheat[-1] == 1
    # And the endpoint's log says when, in the device's own seconds.
    texts = [line["text"] for line in endpoint.log()]
    assert any(f"at second 3601: hold {OVERHEAT} (Overheat) at 1 for 600 s; overheat" in text
               for text in texts), texts
    assert alarm > 0
