"""What talks to the broker beside the service: the source of readings, the
tree reader and a live subscriber that keeps each control's history."""

import itertools
import json
import subprocess
import threading
import time

import mqtt

CONFIGURATION_TOPIC = "/qv/bridge/configuration"
DATA_TOPIC = "/qv/bridge/thirdparty_data/"
SENTINEL = "/robust/sentinel"
_ids = itertools.count()


def configuration(devices, controls, device="io{}", control="c{}"):
    """{"version": 2, ...} of devices io0.. with controls c0.. (or names made by
    the formats given; or devices itself, a dict of each device's controls),
    and the same as a dict."""
    if isinstance(devices, dict):
        layout = devices
    else:
        names = [control.format(c) for c in range(controls)] if "{" in control else list(control)[:controls]
        layout = {device.format(d): names for d in range(devices)}
    ios = [{"id": d, "types": names} for d, names in layout.items()]
    return json.dumps({"version": 2, "remote_ios": ios}, separators=(",", ":")), layout


def publish_configuration(port, text):
    client = mqtt.Client(port, f"robust-config-{next(_ids)}")
    client.publish(CONFIGURATION_TOPIC, text, qos=0, retain=True)
    client.subscribe([CONFIGURATION_TOPIC])  # its SUBACK: the publication is in
    client.close()


def data_message(device, controls, value, timestamp):
    data = ",".join(f'"{c}":{{"avg":{value}}}' for c in controls)
    return f'{{"version":1,"io_id":"{device}","timestamp":{timestamp},"data":{{{data}}}}}'


class Source:
    """Publishes readings with QoS 1: each device's rounds 1, 2, ... with every
    control of the message reading the round. A reading counts once its
    PUBACK is in. Reconnects by itself after the broker went away."""

    def __init__(self, port, layout, stale=()):
        self.port, self.layout, self.stale = port, layout, set(stale)
        self.rounds = dict.fromkeys(layout, 0)
        self.lock = threading.Lock()
        self.sending = threading.Lock()  # a device's rounds leave in order, whoever sends them
        self.inflight = {}  # pid -> (device, round)
        self.acked = {}  # device -> (round, payload) of its last acknowledged reading
        self.sent = self.accepted = self.failed = 0
        self.client = None

    def _puback(self, pid):
        with self.lock:
            reading = self.inflight.pop(pid, None)
            if reading:
                self.accepted += 1
                device, value, payload = reading
                if value > self.acked.get(device, (0, ""))[0]:
                    self.acked[device] = (value, payload)

    def _connected(self):
        if self.client is None or self.client.closed:
            with self.lock:
                self.failed += len(self.inflight)
                self.inflight.clear()
            self.client = mqtt.Client(self.port, f"robust-source-{next(_ids)}", on_puback=self._puback)
        return self.client

    def message(self, device):
        self.rounds[device] += 1
        stamp = int(time.time()) - (1000 if device in self.stale else 0)
        return self.rounds[device], data_message(device, self.layout[device], self.rounds[device], stamp)

    def send(self, devices=None, qos=1):
        """One reading for each of devices (default: all), in one write; False if the broker is away."""
        with self.sending:
            return self._send(devices, qos)

    def _send(self, devices, qos):
        packets = []
        try:
            client = self._connected()
            for device in devices or self.layout:
                value, payload = self.message(device)
                pid = client.pid()
                with self.lock:
                    self.inflight[pid] = (device, value, payload)
                packets.append(mqtt.publish(DATA_TOPIC + device, payload, qos, pid=pid))
            client.send(b"".join(packets))
            self.sent += len(packets)
            return True
        except OSError:
            with self.lock:
                self.failed += len(packets)
            self.client = None
            return False

    def flow(self, rate, stop, devices=None):
        """Readings at rate messages per second until stop (an Event) is set; in a thread."""
        def run():
            cycle = itertools.cycle(devices or list(self.layout))
            start, n = time.monotonic(), 0
            while not stop.is_set():
                if not self.send([next(cycle)]):
                    stop.wait(0.05)
                n += 1
                stop.wait(max(0.0, start + n / rate - time.monotonic()))
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread

    def burst(self, seconds=None, count=None, batch=64):
        """Flat out, QoS 1, in writes of batch messages: for seconds or count messages."""
        devices, end, n = itertools.cycle(list(self.layout)), time.monotonic() + (seconds or 1e9), 0
        while time.monotonic() < end and (count is None or n < count):
            self.send([next(devices) for _ in range(batch)])
            n += batch
        return n

    def accepted_readings(self):
        """Data topic -> payload of each device's last reading the broker acknowledged."""
        with self.lock:
            return {DATA_TOPIC + d: payload for d, (_, payload) in self.acked.items()}

    def settled(self):
        with self.lock:
            return not self.inflight

    def close(self):
        if self.client:
            self.client.close()


def read_tree(port, filters=("/devices/#",), batch=200, exact=False):
    """Topic -> payload of what the broker retains under filters, read through
    a fresh subscription up to a retained sentinel, batch filters at a time:
    by mosquitto_sub, which reads a tree of a million topics in seconds. A
    batch's retained messages fit the socket's buffer, so that the broker,
    busy elsewhere, never drops some past its queue's bound. exact: filters
    are topics, for a broker that hands retained messages only to those and
    in no set order; the sentinel is then subscribed once the batch's SUBACK
    is in, and its retained messages come before it."""
    subprocess.run(["mosquitto_pub", "-p", str(port), "-q", "1", "-r", "-t", SENTINEL, "-m", "1"], check=True)
    tree, filters = {}, list(filters)
    for i in range(0, len(filters), batch):
        (_read_exact if exact else _read_batch)(port, filters[i:i + batch], tree)
    return {t: p for t, p in tree.items() if p}


def _read_batch(port, filters, tree):
    args = [a for f in filters + [SENTINEL] for a in ("-t", f)]
    proc = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-F", "%t\t%x", "-W", "30"] + args,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        for line in proc.stdout:
            topic, _, payload = line.rstrip(b"\n").decode().partition("\t")
            if topic == SENTINEL:
                break
            tree[topic] = bytes.fromhex(payload).decode("utf-8", "replace")
        else:
            raise AssertionError("the tree's sentinel never came")
    finally:
        proc.kill()
        proc.wait()


def _read_exact(port, filters, tree):
    done = threading.Event()

    def on(topic, payload, retain):
        if topic == SENTINEL:
            done.set()
        elif not done.is_set():
            tree[topic] = payload.decode("utf-8", "replace")
    client = mqtt.Client(port, f"robust-tree-{next(_ids)}", on_message=on)
    try:
        client.subscribe(filters, wait=30)
        client.subscribe([SENTINEL], wait=30)
        if not done.wait(30):
            raise AssertionError("the tree's sentinel never came")
    finally:
        client.close()


class History:
    """A live subscriber to every control's value: per control the rounds the
    service published, in order (retained copies on subscribing left out).
    It subscribes again after the broker went away."""

    def __init__(self, port):
        self.port, self.values, self.stopped = port, {}, threading.Event()
        self.ready = threading.Event()
        threading.Thread(target=self._keep, daemon=True).start()
        if not self.ready.wait(10):
            raise AssertionError("the history subscriber never subscribed")

    def _on(self, topic, payload, retain):
        if not retain and payload:
            self.values.setdefault(topic, []).append(float(payload))

    def _keep(self):
        while not self.stopped.is_set():
            try:
                self.client = mqtt.Client(self.port, f"robust-history-{next(_ids)}", on_message=self._on)
                self.client.subscribe(["/devices/+/controls/+"])
                self.ready.set()
                self.client.thread.join()
            except (OSError, AssertionError, TimeoutError):
                self.stopped.wait(0.05)

    def went_back(self):
        """Controls whose value ever went back to an older round: topic -> (newer, then older)."""
        back = {}
        for topic, seen in list(self.values.items()):
            for a, b in zip(seen, seen[1:]):
                if b < a:
                    back[topic] = (a, b)
                    break
        return back

    def close(self):
        self.stopped.set()
        self.client.close()
