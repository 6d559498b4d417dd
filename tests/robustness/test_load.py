"""Load beyond what the service takes: overload and bursts, malformed and
huge payloads, the largest configurations, memory and a soak."""

import os
import threading
import time

import pytest

import model as checks
import mqtt
from rig import concurrently
from source import DATA_TOPIC, data_message, publish_configuration, read_tree
from write_configurations import write_configurations

# name: (devices, controls, short form, long form as {"count": messages} or
# {"seconds": s} flat out, seconds until the latest readings show). A message
# of 200 controls is 400 publications: on a loaded 2-core machine the broker
# takes the burst's input first, and the service's output waits for it.
OVERLOAD = {
    "1x200 of 4 KiB": (1, 200, {"count": 4000}, {"count": 20000}, 4),
    "20x5 flat out": (20, 5, {"seconds": 3}, {"seconds": 10}, 2),
    "1x1 burst": (1, 1, {"count": 50000}, {"count": 200000}, 2),
}


@pytest.mark.parametrize("name", OVERLOAD)
def test_after_overload_the_latest_reading_of_every_control_is_shown_soon(rig, figure, long_form, name):
    devices, controls, short, long, bound = OVERLOAD[name]
    r = rig(devices, controls, history=False)  # a live subscriber of every value would slow the broker
    r.flowing()
    start = time.monotonic()
    sent = r.source.burst(**(long if long_form else short))
    seconds = time.monotonic() - start
    took = r.check(bound)
    peak = checks.check_memory(r.service)
    dropped = sum(int(x.text.split()[-3]) for x in r.service.with_text("dropped ") if "oldest" in x.text)
    figure(f"{sent} messages in {seconds:.1f} s ({sent / seconds:.0f}/s): the latest readings shown "
           f"{took:.1f} s after the source was quiet, peak {peak} kB, the service dropped {dropped}; "
           f"{r.accounting()}")
    checks.check_records(r.service, {"ERROR": 0, "WARNING": 10})


SERVICE_ID = "mqtt-external-source-data-getter"


def burst_writes(device, controls, first, count, write_bytes=1 << 20):
    """count QoS 0 readings of device, rounds first on, as writes of about
    write_bytes; and the size of the last payload."""
    pieces = data_message(device, controls, "\0", int(time.time())).encode().split(b"\0")
    topic, writes, part, size = DATA_TOPIC + device, [], [], 0
    for value in range(first, first + count):
        payload = str(value).encode().join(pieces)
        part.append(mqtt.publish(topic, payload))
        size += len(part[-1])
        if size >= write_bytes or value == first + count - 1:
            writes.append(b"".join(part))
            part, size = [], 0
    return writes, len(payload)


class DroppedCount:
    """The messages the broker dropped for its subscribers, as its $SYS tree
    tells them (sys_interval 1)."""

    def __init__(self, port):
        self.count, self.passes = 0, 0
        self.changed = threading.Condition()
        self.client = mqtt.Client(port, "robust-sys", on_message=self._on)
        self.client.subscribe(["$SYS/broker/publish/messages/dropped", "$SYS/broker/uptime"])

    def _on(self, topic, payload, retain):
        with self.changed:
            if topic.endswith("/dropped"):
                self.count = int(payload)
            else:
                self.passes += 1
            self.changed.notify_all()

    def now(self):
        """The count once the broker has updated its tree twice more."""
        with self.changed:
            target = self.passes + 2
            assert self.changed.wait_for(lambda: self.passes >= target, 10), "no $SYS update"
            return self.count


def test_a_burst_of_4_kib_messages_loses_none_at_the_broker(rig, figure, long_form):
    """20,000 readings of 1 device x 200 controls (about 4 KiB each) as fast as
    the broker takes them, 3 times (10 with --figures): the service reads them
    as fast as they come, so that the broker drops none of them for it, and
    every control shows the last reading."""
    runs, count, bound = (10 if long_form else 3), 20000, 10
    r = rig(1, 200, proxy=False, history=False, broker_extra="sys_interval 1")
    r.flowing()
    device = "io0"
    topics = [f"/devices/{device}/controls/{c}" for c in r.layout[device]]
    # Logged once, at the first message dropped for the service.
    dropping = f"Outgoing messages are being dropped for client {SERVICE_ID}"
    dropped = DroppedCount(r.broker.port)
    publisher = mqtt.Client(r.broker.port, "robust-burst")
    last, before, dropped_in = r.source.rounds[device], dropped.now(), []
    for run in range(1, runs + 1):
        writes, size = burst_writes(device, r.layout[device], last + 1, count)
        last += count
        start = time.monotonic()
        for w in writes:
            publisher.send(w)
        sent = time.monotonic()
        want, tree = checks.shown(last), {}

        def shown():
            tree.update(read_tree(r.broker.port, [f"/devices/{device}/controls/+"]))
            return all(tree.get(t) == want for t in topics)
        try:
            mqtt.wait_until(shown, bound, 0.1, "the last reading on every control")
        except AssertionError:
            behind = sorted({tree.get(t) for t in topics} - {want}, key=str)[:3]
            raise AssertionError(f"run {run}: {bound} s after the burst controls show {behind}, not {want}; "
                                 f"the broker dropped {dropped.now() - before} messages") from None
        shown_after = time.monotonic() - sent
        total = dropped.now()
        dropped_in.append(total - before)
        before = total
        figure(f"run {run}: {count} messages of {size} bytes in {sent - start:.2f} s "
               f"({count / (sent - start):.0f}/s), the last reading shown {shown_after:.2f} s after; "
               f"the broker dropped {dropped_in[-1]}")
    publisher.close()
    dropped.client.close()
    assert sum(dropped_in) == 0 and r.broker.log_count(dropping) == 0, \
        f"the broker dropped messages for the service: {dropped_in} in each run"
    checks.check_memory(r.service)
    checks.check_alive(r.service)
    checks.check_records(r.service, {"ERROR": 0})


def publish_raw(port, payloads, wait_each, chunk=500):
    """payloads on io0's data topic with QoS 1, chunk at a time, wait_each(n) after each."""
    client = mqtt.Client(port, "robust-raw")
    sent = 0
    for i in range(0, len(payloads), chunk):
        part = payloads[i:i + chunk]
        client.send(b"".join(mqtt.publish(DATA_TOPIC + "io0", p, 1, pid=client.pid()) for p in part))
        sent += len(part)
        wait_each(sent)
    client.close()


def test_malformed_messages_are_one_record_each_in_bounded_memory(rig, figure, long_form):
    n = 1000000 if long_form else 10000
    r = rig(1, 1)
    r.flowing()
    rss0 = r.service.status_kb("VmRSS")
    payloads = [f"malformed {i}".encode() for i in range(1, n + 1)]
    # Each chunk once the previous is recorded: nothing has to be dropped.
    publish_raw(r.broker.port, payloads,
                lambda sent: r.service.wait_record(f"Ошибка обработки: malformed {sent}", 1, 30))
    records = len(r.service.with_text("Ошибка обработки: malformed"))
    peak = checks.check_memory(r.service)
    figure(f"{n} malformed messages: {records} records, RSS {rss0} kB before, peak {peak} kB, "
           f"{r.service.status_kb('VmRSS')} kB after")
    assert records == n, f"{records} records for {n} malformed messages"
    checks.check_records(r.service, {"ERROR": n, "WARNING": 0})
    r.check(5)


def test_huge_payloads_keep_memory_bounded_and_records_short(rig, figure):
    n, topic = 30, DATA_TOPIC + "io0"
    r = rig(1, 1)
    r.flowing()
    # The largest message the client takes: a remaining length of 1 MiB.
    payload = b"\x01" * (1048576 - 2 - len(topic) - 2)
    start = time.monotonic()
    publish_raw(r.broker.port, [payload] * n, lambda sent: r.service.wait_record("Ошибка обработки", sent, 60),
                chunk=5)
    longest = max(len(line.encode()) for line in open(r.service.log, errors="replace"))
    peak = checks.check_memory(r.service)
    figure(f"{n} malformed messages of 1 MiB in {time.monotonic() - start:.1f} s: peak {peak} kB, "
           f"longest record {longest} bytes")
    assert longest <= 16384, f"a record of {longest} bytes"
    checks.check_records(r.service, {"ERROR": n, "WARNING": 0})


def configuration_peak(procs, path, served):
    """The service's peak memory reading one configuration, and how it ended."""
    broker = procs.broker()
    with open(path) as f:
        publish_configuration(broker.port, f.read())
    notify = procs.notify()
    peak_file = path + ".peak"
    service = procs.service(broker.port, notify=notify, wrapper=("/usr/bin/time", "-f", "%M", "-o", peak_file))
    if served:
        mqtt.wait_until(lambda: notify.lines("STATUS=connected") or not service.alive(), 60, 0.05, "its status")
        checks.check_alive(service)
        return service.status_kb("VmHWM"), service, notify.lines("STATUS=connected")[-1][1]
    status = service.wait_exit(60)
    with open(peak_file) as f:
        return int(f.read().split()[-1]), service, f"exit status {status}"


# name: served (running with it) or faulty (one ERROR, exit status 1), and its bound in kB
CONFIGURATIONS = {"version3": (True, 16384), "empty": (False, 16384), "types": (False, 16384),
                  "keyed": (False, 16384), "typed": (True, 16384), "valid": (True, 24576)}


def test_any_configuration_within_its_limit_peaks_under_its_bound(procs, figure):
    """The largest valid one holds 311,000 controls: its bound is three
    quarters of the cap; every other shape stays under half the cap."""
    paths = write_configurations(procs.work)
    runs = concurrently(*(lambda n=n: configuration_peak(procs, paths[n], CONFIGURATIONS[n][0])
                          for n in CONFIGURATIONS))
    for (name, (served, bound)), (peak, service, end) in zip(CONFIGURATIONS.items(), runs):
        figure(f"configuration '{name}' of {os.path.getsize(paths[name])} bytes: peak {peak} kB ({end})")
        assert peak < bound, f"{name}: peak {peak} kB"
        if not served:
            assert end == "exit status 1", f"{name}: {end}"
            errors = service.with_text("", "ERROR")
            assert len(errors) == 1 and "main:171" in errors[0].source, f"{name}: {service.tail()}"


# name: devices, controls, their names, bounds in kB on the peak (through a
# republication after the broker lost its store) and on the steady RSS. The
# first two are as many controls as the configuration's limit takes.
LARGEST = {
    "302,400 one-letter controls": (15120, 20, ("{:04x}", "abcdefghijklmnopqrst"), 24576, 24576),
    "189,400 controls io0001/ch01": (9470, 20, ("io{:04d}", "ch{:02d}"), 24576, 24576),
    "100,000 controls": (5000, 20, (), 24576, 12288),
}


@pytest.mark.parametrize("name", LARGEST)
def test_the_largest_trees_with_every_value_fit_the_cap_through_a_republication(rig, figure, long_form, name):
    devices, controls, names, peak_bound, steady_bound = LARGEST[name]
    if name.startswith("189") and not long_form:
        pytest.skip("the long form's")
    r = rig(devices, controls, proxy=False, history=False, names=names, watchdog_usec=3000000)
    assert len(r.config_text) <= 1572864 - 2 - len("/qv/bridge/configuration"), len(r.config_text)
    r.configured(120)
    ids = list(r.layout)
    for i in range(0, devices, 900):  # a reading each, at a pace the service keeps up with
        r.source.send(ids[i:i + 900])
        mqtt.wait_until(lambda: r.handled() >= min(devices, i + 900), 60, 0.05, "the readings handled")
    r.quiet()
    steady = r.service.status_kb("VmRSS")
    start = time.monotonic()
    r.restart_broker(store=False)
    r.service.wait_record("Дерево устройств опубликовано заново", 1, 120)
    took = r.check(120)
    peak = r.service.status_kb("VmHWM")
    figure(f"{name} ({len(r.config_text)} bytes of configuration) with a value each: steady {steady} kB, "
           f"peak {peak} kB; the tree whole {time.monotonic() - start:.1f} s after the broker lost its store "
           f"({took:.1f} s to read it)")
    assert peak < peak_bound and steady < steady_bound, f"peak {peak} kB, steady {steady} kB"
    # A sweep the restart cuts short is told, and repaired by the republication.
    errors = [e for e in r.service.with_text("", "ERROR") if not e.text.endswith("дерево будет опубликовано заново")]
    assert not errors, r.service.tail()


def test_memory_with_100x10_and_the_notifications_to_systemd(rig, figure):
    r = rig(100, 10, watchdog_usec=3000000)
    r.flowing()
    r.service.wait_record("", 1)
    first = r.notify.lines("READY=1")
    assert first and r.notify.datagrams[0][1].startswith("READY=1"), r.notify.datagrams[:2]
    swept = r.started + 7  # past the first sweep of 1000 markers
    mqtt.wait_until(lambda: time.monotonic() > swept, 10, 0.1, "the first sweep")
    r.check(5)
    rss, peak = r.service.status_kb("VmRSS"), checks.check_memory(r.service)
    gap, beats = r.notify.longest_watchdog_gap()
    figure(f"100 x 10 idle: RSS {rss} kB, peak {peak} kB, threads {r.service.status_kb('Threads')}; "
           f"{beats} WATCHDOG=1, the longest gap {gap:.2f} s")
    assert peak < 10240, f"peak {peak} kB with 1000 controls"
    assert beats >= 5 and gap < 2.5, f"WATCHDOG=1: {beats}, the longest gap {gap:.2f} s"
    assert "1,000 controls" in r.notify.lines("STATUS=connected")[-1][1]


def test_a_soak_keeps_memory_flat(rig, figure, long_form):
    seconds = 300 if long_form else 15
    r = rig(10, 4)
    r.flowing()
    stop = threading.Event()
    r.source.flow(200, stop)
    samples = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        samples.append(r.service.status_kb("VmRSS"))
        stop.wait(1)
    stop.set()
    warm = samples[len(samples) // 4]
    figure(f"{seconds} s at 200 msg/s: RSS {samples[0]} kB at start, {warm} kB warm, {samples[-1]} kB at end "
           f"(max {max(samples)}), threads {r.service.status_kb('Threads')}")
    assert samples[-1] - warm < 256, f"RSS grew from {warm} to {samples[-1]} kB"
    r.check(5)
    checks.check_records(r.service, {"ERROR": 0, "WARNING": 0})
