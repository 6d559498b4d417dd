"""The broker goes away: restarts with and without its store, and a broker
that hangs with the connection open."""

import os
import signal
import threading
import time

import pytest

import model as checks
import mqtt
from rig import concurrently
from source import configuration


def first_value_after(port, topic, source, device, seconds=30):
    """Time of the first live value on topic, the source sending every 20 ms meanwhile."""
    seen = threading.Event()
    at = []

    def on(t, payload, retain):
        if not retain and not seen.is_set():
            at.append(time.time())
            seen.set()
    watcher = mqtt.Client(port, f"robust-watch-{port}", on_message=on)
    watcher.subscribe([topic])
    deadline = time.monotonic() + seconds
    while not seen.wait(0.02):
        assert time.monotonic() < deadline, f"no value {seconds} s after the broker came back"
        source.send([device])
    watcher.close()
    return at[0]


@pytest.mark.parametrize("store", [False, True], ids=["without-store", "with-store"])
def test_values_flow_within_1s_of_each_broker_restart(rig, figure, long_form, store):
    restarts = 5 if long_form else 3
    r = rig(1, 1, store=store)
    r.flowing()
    delays = []
    for _ in range(restarts):
        r.proxy("refuse", "close")  # the broker's port refuses connections while it is away
        r.broker.kill()
        time.sleep(1)  # the outage
        r.restart_broker(store=store)
        r.proxy("refuse", None)
        back = time.time()
        delays.append(first_value_after(r.broker.port, "/devices/io0/controls/c0", r.source, "io0") - back)
    figure(f"values flow again {' '.join(f'{d * 1000:.0f}' for d in delays)} ms after the broker "
           f"{'with' if store else 'without'} its store accepts connections ({restarts} restarts)")
    assert max(delays) < 1.0, f"values came back {delays} s after the restarts"
    r.source.send()
    r.check(5)
    checks.check_records(r.service, {"ERROR": 0, "WARNING": 10})


def test_broker_back_without_store_shows_the_whole_tree_within_1s(rig, figure):
    r = rig(20, 5, stale=("io19",))
    r.flowing()
    r.check(5)
    seen = {}  # (topic, payload) -> first arrival
    watch_on = lambda t, p, retain: seen.setdefault((t, p.decode()), time.time())  # noqa: E731
    # The service is held still until a watcher listens on the new broker, so
    # that the watcher sees every publication, cleared markers included.
    os.kill(r.service.pid, signal.SIGSTOP)
    try:
        r.restart_broker(store=False)
        watcher = r.procs.keep(mqtt.Client(r.broker.port, "robust-restore-watch", on_message=watch_on))
        watcher.subscribe(["/devices/#"])
    finally:
        os.kill(r.service.pid, signal.SIGCONT)
    accepted = r.proxy.wait_event("accept", 2)[0]
    want = r.model.expected(r.delivered())
    for topic in [t for t in want if "/controls/" in t and "/meta/" not in t]:
        want.setdefault(topic + "/meta/error", "")  # cleared markers are published empty
    mqtt.wait_until(lambda: all((t, p) in seen for t, p in want.items()), 5, 0.05, "the whole tree again")
    late = max(seen[(t, p)] for t, p in want.items()) - accepted
    figure(f"{len(want)} publications (values, markers, announcements) back {late * 1000:.0f} ms after "
           "the service reconnected to a broker without its store")
    assert late < 1.0, f"the tree was whole again only {late:.2f} s after the reconnection"
    r.check(1)


# (devices, controls, hang at the first SUBSCRIBE of, most WARNING records):
# at start-up, however many subscriptions were pending, the lost connection
# is one WARNING. Each data message refused while the broker reads nothing is
# one ERROR: at most one per message it flooded.
HUNG = {"steady": (1, 20, None, 10), "start-up": (3000, 10, "/qv/bridge/thirdparty_data/", 10)}


def hung_run(procs, devices, controls, prefix):
    text, _ = configuration(devices, controls)
    path = os.path.join(procs.work, f"configuration-{devices}.json")
    with open(path, "w") as f:
        f.write(text)
    fake = procs.helper("hung", path, "io0", controls, *([prefix] if prefix else []))
    service = procs.service(fake.port)
    if not prefix:
        fake.wait_event("value", 1, 60, service)  # the message loop runs
        fake("hang")
    hung = fake.wait_event("hang", 1, 60, service)[0]
    connect = fake.wait_event("connect", 2, 120, service)[0]
    return connect - hung, service, fake


def test_a_hung_broker_is_left_and_reconnected_within_90s(procs, figure):
    runs = concurrently(*(lambda a=a: hung_run(procs, *a[:3]) for a in HUNG.values()))
    for (name, (devices, controls, _, most)), (after, service, fake) in zip(HUNG.items(), runs):
        figure(f"{name}, {devices} x {controls}: next CONNECT {after:.1f} s after the broker hung (it wrote "
               f"{fake.events('flooded')[0][2]} data messages before its send blocked); records "
               f"{dict(service.levels())}")
        assert after < 90, f"{name}: the service came back {after:.1f} s after the broker hung"
        checks.check_alive(service)
        assert service.with_text("lost: "), f"{name}: the service did not tell the lost connection"
        checks.check_records(service, {"WARNING": most, "ERROR": fake.events("flooded")[0][2] + 5, "CRITICAL": 0})
        checks.check_memory(service)
