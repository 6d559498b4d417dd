"""The link to the broker breaks: cuts while readings flow, and the pacing of
reconnections against servers and links that keep dropping the service."""

import threading
import time

import model as checks
from mqtt import wait_until
from rig import concurrently


def run_for(seconds, *processes):
    """Lets seconds pass, failing as soon as one of the processes ends."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for p in processes:
            assert p.poll() is None, f"process {p.args} ended"
        time.sleep(min(0.2, max(0.0, end - time.monotonic())))


def outages(proxy):
    """Seconds from each cut to the next accepted connection (to now, if none yet)."""
    events = proxy.events()
    cuts = [t for t, what, _ in events if what == "cut"]
    accepts = [t for t, what, _ in events if what == "accept"]
    return [min([a for a in accepts if a > c], default=time.time()) - c for c in cuts]


def test_after_link_cuts_every_control_shows_the_last_reading_delivered(rig, figure):
    r = rig(20, 5)
    r.flowing()
    stop = threading.Event()
    flow = r.source.flow(200, stop)
    carried = lambda: r.proxy("state")["counts"].get("delivered", 0)  # noqa: E731
    for cut in range(1, 6):
        before = carried()
        wait_until(lambda: carried() >= before + 200, 30, 0.05, "readings to flow between cuts")
        if cut == 5:
            # The way up dies first: the service's answers to the last round,
            # every device's, never reach the broker before the cut.
            r.proxy("stall", "up", "on")
            stop.set()
            flow.join()
            r.source.send()
            rounds = dict(r.source.rounds)
            wait_until(lambda: all(values[0]["c0"] == rounds[d] for d, values in
                                   r.model.readings(r.delivered()).items()), 30, 0.05, "the last round delivered")
        r.proxy("cut")
        r.proxy("stall", "up", "off")
        r.proxy.wait_event("accept", cut + 1, 60)
    took = r.check(10)
    figure(f"5 cuts, 20 x 5 at 200 msg/s: the tree equals the model {took:.1f} s after the source stopped; "
           f"the service connected again {' '.join(f'{o * 1000:.0f}' for o in outages(r.proxy))} ms after "
           f"the cuts; {r.accounting()}")
    checks.check_records(r.service, {"ERROR": 0, "WARNING": 15})
    checks.check_memory(r.service)


def pacing_alternating(procs, seconds):
    fake = procs.helper("alternating")
    service = procs.service(fake.port)
    run_for(seconds, fake.proc, service.proc)
    return len(fake.events("accept")), service, []


def pacing_kept(procs, seconds):
    broker = procs.broker()  # no configuration: the service waits for one
    proxy = procs.proxy(broker.port)
    proxy("timed", 5.05, 10**6)
    service = procs.service(proxy.port)
    run_for(seconds, proxy.proc, broker.proc, service.proc)
    return len(proxy.events("accept")), service, []


def pacing_flapping(procs, cuts):
    from rig import Rig
    r = Rig(procs, 5, 2)
    r.flowing()
    stop = threading.Event()
    r.source.flow(10, stop)
    before = len(r.proxy.events("accept"))
    r.proxy("timed", 1, cuts)
    wait_until(lambda: len(r.proxy.events("cut")) >= cuts and len(r.proxy.events("accept")) > before + cuts - 1
               or max(outages(r.proxy), default=0) > 10 or not r.service.alive(), 30 + 10 * cuts, 0.1,
               f"{cuts} cuts and the connection back after the last")
    stop.set()
    return len(r.proxy.events("accept")), r.service, outages(r.proxy)


def test_reconnections_are_paced(procs, figure, long_form):
    """alternating: CONNACK, closed 5 ms later, away 30 ms; kept: each
    connection cut 5.05 s after it was accepted; flapping: a link cut 1 s
    after each accept while readings flow. The bucket allows 5 connections,
    then one every 8 s: at most 6 + t/8 connections in t seconds."""
    t_alt, t_kept, cuts = (60, 120, 20) if long_form else (24, 32, 7)
    start = time.monotonic()
    runs = concurrently(lambda: pacing_alternating(procs, t_alt), lambda: pacing_kept(procs, t_kept),
                        lambda: pacing_flapping(procs, cuts))
    bounds = (("alternating", t_alt, 20), ("kept 5.05 s", t_kept, 12), ("flapping 1 s", time.monotonic() - start, 20))
    for (name, seconds, records), (connections, service, down) in zip(bounds, runs):
        levels = dict(service.levels())
        figure(f"{name} ({seconds:.0f} s): {connections} connections ({connections * 60 / seconds:.0f}/min), "
               f"records {levels}" + (f"; outages after the cuts: longest {max(down):.1f} s" if down else ""))
        checks.check_alive(service)
        assert connections <= 6 + seconds / 8, f"{name}: {connections} connections in {seconds:.0f} s"
        checks.check_records(service, {"WARNING": records, "ERROR": records, "INFO": records})
        assert all(d <= 10 for d in down), f"{name}: outages over 10 s: {down}"
    assert len(runs[2][2]) >= cuts, f"flapping: only {len(runs[2][2])} of {cuts} cuts"
