"""A slow or stalled link to the broker: the heartbeat must go on through a
long republication, the connection must hold while the link moves, and a
refused publication must lose no control's reading. The last two mostly
wait (for a link to drain, for a sweep), so they run side by side."""

import concurrent.futures
import threading
import time

import pytest

import mqtt
from rig import Processes, Rig
from source import read_tree
from test_link import run_for

pytestmark = pytest.mark.slowlink


def read_value(r, topic):
    return read_tree(r.broker.port, [topic]).get(topic)


def test_a_long_republication_keeps_the_heartbeat_and_the_readings_going(rig, figure, long_form):
    """20,000 controls (100,000 long) republished over 500 kB/s to a broker
    back without its store, with a 3 s systemd watchdog."""
    devices = 5000 if long_form else 1000
    r = rig(devices, 20, watchdog_usec=3000000, history=False)
    r.flowing(120)
    r.check(60)
    r.proxy("rate", "up", 500000)
    r.proxy("rate", "down", 500000)
    since = time.monotonic()
    r.restart_broker(store=False)
    r.proxy.wait_event("accept", 2, 30)
    # The subscriptions go first on a new connection, then the tree, io0 first.
    mqtt.wait_until(lambda: read_value(r, "/devices/io0/meta/name"), 30, 0.05, "the republication to start")
    sent_at = time.monotonic()
    r.source.send(["io0"])
    want = str(r.source.rounds["io0"])
    shown = mqtt.wait_until(lambda: read_value(r, "/devices/io0/controls/c0") == want and time.monotonic(),
                            60, 0.1, "the reading sent during the republication")
    assert shown - sent_at < 5, f"the reading took {shown - sent_at:.1f} s"
    r.check(120)
    whole = time.monotonic() - since
    gap, beats = r.notify.longest_watchdog_gap(since)
    figure(f"{devices * 20} controls over 500 kB/s: the tree whole again {whole:.0f} s after the restart; "
           f"a reading sent during the republication shown {shown - sent_at:.1f} s later; the longest "
           f"WATCHDOG=1 gap {gap:.1f} s ({beats} beats)")
    assert gap < 2.5, f"the longest gap between WATCHDOG=1 was {gap:.1f} s"


def moving_link(procs, long_form):
    """4,000 controls over 10 kB/s each way (10,000 over 20 kB/s for 6 minutes
    in the long form): the announcements take more than a minute to drain, the
    link moves all along, the whole tree is retained, and no loss is told."""
    devices, rate, seconds = (500, 20000, 360) if long_form else (200, 10000, 150)
    r = Rig(procs, devices, 20, link_rate=rate)
    r.check(seconds, swept=True)
    whole = time.monotonic() - r.started
    # and it holds while the link idles: to the end in the long form, a ping's round in the short
    run_for(seconds - whole if long_form else 35, r.service.proc)
    seconds = time.monotonic() - r.started
    lost = r.service.with_text("lost: ")
    owed = r.service.with_text("не принятых клиентом")
    text = (f"{devices * 20} controls over {rate // 1000} kB/s: the tree whole {whole:.0f} s after the start, "
            f"{len(lost)} losses told in {seconds:.0f} s; {r.proxy('state')['counts']}")
    assert not lost, f"the connection was declared lost: {lost[0].text} ({text})"
    # A link that moves makes Send wait, never refuse: the tree is not published again for it.
    assert not owed, f"the tree was owed on a moving link: {owed[0].text} ({text})"
    return text


def stalled_link(procs):
    """50 devices x 20 controls, every message all 20 controls at one round;
    the way to the broker stalled 20 s, then restored: the refusals owe the
    tree, which goes out once the output drains, not at the next sweep (up
    to 90 s on), and every control ends at its device's last delivered round."""
    r = Rig(procs, 50, 20)
    r.flowing()
    stop = threading.Event()
    r.source.flow(400, stop)  # 16,000 publications a second: the service's buffers fill within the stall
    r.proxy("stall", "up", "on")
    run_for(20, r.service.proc)
    r.proxy("stall", "up", "off")
    restored = time.monotonic()
    stop.set()
    r.service.wait_record("заново после публикаций, не принятых клиентом", seconds=60)
    took = time.monotonic() - restored
    text = (f"50 x 20, the way up stalled 20 s: the owed tree out {took:.1f} s after; "
            f"records {dict(r.service.levels())}; {r.accounting()}")
    assert took < 15, f"the owed tree waited for a sweep ({text})"
    try:
        r.check(10)
    except AssertionError as e:
        raise AssertionError(f"{e} ({text})") from None
    return text


@pytest.fixture(scope="module")
def side_by_side(tmp_path_factory, binary, launcher, long_form):
    """The moving and the stalled link, each with its own broker, proxy and service, at once."""
    procs = Processes(str(tmp_path_factory.mktemp("slowlink")), binary, launcher)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        yield {"moving": pool.submit(moving_link, procs, long_form), "stalled": pool.submit(stalled_link, procs)}
    procs.stop_all()


def test_a_slow_link_that_moves_keeps_the_connection(side_by_side, figure):
    figure(side_by_side["moving"].result())


def test_a_stalled_link_loses_no_control_of_a_refused_message(side_by_side, figure):
    figure(side_by_side["stalled"].result())
