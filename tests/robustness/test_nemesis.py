"""A randomized nemesis: a seeded schedule of faults while readings flow,
then a quiet period and the model check. A failing run names its seed:
  /usr/bin/python3 -m pytest tests/robustness -k nemesis --seed SEED"""

import random
import signal
import threading
import time

import model as checks

STEPS = 6
FLOW_RATE = 50  # messages per second, 10 devices of 3 controls


def hold(seconds):
    time.sleep(seconds)  # the fault lasts this long


def kill_broker(r, seconds, store):
    """The broker killed; its port refuses connections until it is back."""
    r.proxy("refuse", "close")
    r.broker.kill()
    hold(seconds)
    r.restart_broker(store=store, sig=signal.SIGKILL)
    r.proxy("refuse", None)


def toggled(*words):
    def fault(r, seconds):
        r.proxy(*words, "on")
        hold(seconds)
        r.proxy(*words, "off")
    return fault


def refused(how):
    def fault(r, seconds):
        r.proxy("refuse", how)
        hold(seconds)
        r.proxy("refuse", None)
    return fault


def slow(r, seconds):
    for way in ("up", "down"):
        r.proxy("rate", way, 50000)
    hold(seconds)
    for way in ("up", "down"):
        r.proxy("rate", way, None)


FAULTS = {
    "cut": lambda r, s: r.proxy("cut"),
    "blackhole": toggled("blackhole"),
    "stall up": toggled("stall", "up"),
    "stall down": toggled("stall", "down"),
    "kill, store kept": lambda r, s: kill_broker(r, s, True),
    "kill, store lost": lambda r, s: kill_broker(r, s, False),
    "refuse": refused("close"),
    "accept and drop": refused("drop"),
    "overload burst": lambda r, s: r.source.burst(seconds=s),
    "slow link": slow,
}


def schedule(seed, steps=STEPS):
    """(fault, how long it lasts, how long readings flow before it) per step."""
    rng = random.Random(seed)
    return [(rng.choice(sorted(FAULTS)), round(rng.uniform(0.3, 3.0), 1), round(rng.uniform(0.2, 1.5), 1))
            for _ in range(steps)]


def test_nemesis(rig, figure, seed):
    plan = schedule(seed)
    replay = f"/usr/bin/python3 -m pytest tests/robustness -k nemesis --seed {seed}"
    r = rig(10, 3, store=True, stale=("io9",))
    r.flowing()
    stop = threading.Event()
    flow = r.source.flow(FLOW_RATE, stop)
    try:
        for fault, seconds, before in plan:
            hold(before)
            FAULTS[fault](r, seconds)
        stop.set()
        flow.join()
        took = r.check(15)
        checks.check_memory(r.service)
        checks.check_records(r.service, {"ERROR": 50, "CRITICAL": 0})
    except Exception as e:  # noqa: BLE001 - any failure names its seed
        raise AssertionError(f"seed {seed}, plan {plan}: {e}\nreplay: {replay}") from e
    figure(f"seed {seed}: {', '.join(f'{f} {s} s' for f, s, _ in plan)}; the tree equals the model "
           f"{took:.1f} s after the source stopped; {r.accounting()}")
