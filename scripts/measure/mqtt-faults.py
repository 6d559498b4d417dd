#!/usr/bin/python3
"""Faults on the link between the service and its broker, for scripts/measure/robustness.sh.

mqtt-faults.py proxy PORT BROKER_PORT EVENTS STATE [LIFETIME [CUTS]]
    Forwards every connection to the broker on loopback. SIGUSR1 cuts all
    connections at once: both sockets close, what is between them is lost.
    SIGUSR2 stalls the way up until the next cut: what the client sends is
    held, not forwarded, and lost with the cut. With LIFETIME (seconds),
    SIGHUP starts timed cuts: from then on each connection is cut LIFETIME
    after it was accepted (one open at SIGHUP, LIFETIME after it), CUTS
    times at most (no limit without). STATE (JSON, rewritten after each cut)
    holds per topic the payload of the last PUBLISH delivered whole from the
    broker to the client, and how many PUBLISH packets cuts and closes kept
    from the client (lost_down) and from the broker (lost_up).

mqtt-faults.py hung-broker PORT EVENTS CONFIGURATION DEVICE CONTROLS [PREFIX]
    Just enough of an MQTT 3.1.1 broker for the service: CONNACK, SUBACK,
    UNSUBACK, PINGRESP, the file CONFIGURATION as the retained message of the
    configuration topic, and one data message for DEVICE (controls c0 ...)
    when its data topic is subscribed. SIGUSR1, or the first SUBSCRIBE of a
    filter that starts with PREFIX, hangs the newest connection: nothing more
    is read from it, data messages for DEVICE are written to it until the
    send would block, and it stays open. Later connections are served again.

mqtt-faults.py alternating PORT EVENTS
    Takes one connection, answers its CONNECT with CONNACK (accepted), closes
    it 5 ms later and stops listening for 30 ms; again and again.

All append events to EVENTS, one a line: "<unix time> <event> <figures>",
the first "listening" once connections are taken.
Standard library only.
"""

import collections
import json
import os
import select
import signal
import socket
import sys
import time

CONFIGURATION_TOPIC = "/qv/bridge/configuration"
DATA_TOPIC = "/qv/bridge/thirdparty_data/"
PUBLISH = 3
CONNECT, SUBSCRIBE, UNSUBSCRIBE, PINGREQ, DISCONNECT = 1, 8, 10, 12, 14
CONNACK = b"\x20\x02\x00\x00"  # session not present, accepted
BUFFER_BYTES = 256 * 1024  # held per direction before reading stops
READ_BYTES = 64 * 1024


class Events:
    def __init__(self, path):
        self.file = open(path, "a", buffering=1)

    def __call__(self, *what):
        self.file.write(" ".join([f"{time.time():.6f}"] + [str(w) for w in what]) + "\n")


def length_bytes(n):
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def packet(first, body):
    return bytes([first]) + length_bytes(len(body)) + body


def string(text):
    raw = text.encode()
    return len(raw).to_bytes(2, "big") + raw


def publish(topic, payload, retain=False):
    return packet(0x31 if retain else 0x30, string(topic) + payload)


def take_packets(buf):
    """The whole packets at the start of buf as (type, flags, body, size); removes them."""
    out, pos = [], 0
    while True:
        length, shift, end = 0, 0, None
        for i in range(pos + 1, min(pos + 5, len(buf))):
            length |= (buf[i] & 0x7F) << shift
            shift += 7
            if not buf[i] & 0x80:
                end = i + 1 + length
                break
        if end is None or end > len(buf):
            break
        out.append((buf[pos] >> 4, buf[pos] & 0x0F, bytes(buf[end - length:end]), end - pos))
        pos = end
    del buf[:pos]
    return out


def publish_parts(flags, body):
    """Topic and payload of a PUBLISH body."""
    n = int.from_bytes(body[:2], "big")
    skip = 2 if (flags >> 1) & 3 else 0  # the packet id of QoS 1 and 2
    return body[2:2 + n].decode("utf-8", "replace"), body[2 + n + skip:]


def listen(port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(16)
    return s


def prepare(sock):
    sock.setblocking(False)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def drain(sock):
    """Whatever the socket holds now, so that closing it sends no reset."""
    out = bytearray()
    while True:
        try:
            data = sock.recv(READ_BYTES)
        except (BlockingIOError, OSError):
            return out
        if not data:
            return out
        out += data


wakeup_writers = []  # kept open while the process runs


def signals(*numbers):
    """A socket that becomes readable at each of the signals, and the set of those received."""
    r, w = socket.socketpair()
    wakeup_writers.append(w)
    r.setblocking(False)
    w.setblocking(False)
    signal.set_wakeup_fd(w.fileno())
    received = set()
    for number in numbers:
        signal.signal(number, lambda signum, frame: received.add(signum))
    return r, received


def data_message(device, controls, value):
    data = ",".join(f'"c{c}":{{"avg":{value}}}' for c in range(controls))
    return f'{{"version":1,"io_id":"{device}","timestamp":{int(time.time())},"data":{{{data}}}}}'.encode()


class Stream:
    """One direction through the proxy: bytes not yet written, and the PUBLISH packets among them."""

    def __init__(self):
        self.out = bytearray()
        self.unframed = bytearray()  # after the last whole packet
        self.framed = 0  # bytes of whole packets so far
        self.written = 0
        self.pending = collections.deque()  # (end in the stream, topic, payload) per PUBLISH not yet written

    def feed(self, data):
        self.out += data
        self.unframed += data
        for kind, flags, body, size in take_packets(self.unframed):
            self.framed += size
            if kind == PUBLISH:
                self.pending.append((self.framed,) + publish_parts(flags, body))

    def wrote(self, n):
        """The PUBLISH packets (topic, payload) that n more bytes written completed."""
        del self.out[:n]
        self.written += n
        done = []
        while self.pending and self.pending[0][0] <= self.written:
            done.append(self.pending.popleft()[1:])
        return done

    def undelivered(self):
        return len(self.pending) + (1 if len(self.unframed) > 0 and self.unframed[0] >> 4 == PUBLISH else 0)


def proxy(port, broker_port, events_path, state_path, lifetime=None, timed_cuts=None):
    events = Events(events_path)
    listener = listen(port)
    wake, received = signals(signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP)
    pairs = {}  # client socket -> (broker socket, down, up)
    deadlines = {}  # client socket -> when a timed cut closes it
    timed = False
    stalled = False
    state = {"connections": 0, "cuts": 0, "delivered": 0, "lost_down": 0, "lost_up": 0, "last": {}}

    def save():
        with open(state_path + ".new", "w") as f:
            json.dump(state, f)
        os.replace(state_path + ".new", state_path)

    def close(client):
        broker, down, up = pairs.pop(client)
        deadlines.pop(client, None)
        down.feed(drain(broker))
        up.feed(drain(client))
        lost = down.undelivered(), up.undelivered()
        state["lost_down"] += lost[0]
        state["lost_up"] += lost[1]
        client.close()
        broker.close()
        return lost

    def cut(clients):
        lost = [close(c) for c in clients]
        state["cuts"] += 1
        save()
        events("cut", state["cuts"], "lost_down", sum(l[0] for l in lost), "lost_up", sum(l[1] for l in lost))

    def timed_cut_due(client):
        if timed and (timed_cuts is None or timed_cuts > 0):
            deadlines[client] = time.monotonic() + lifetime

    save()
    events("listening", port)
    while True:
        now = time.monotonic()
        for client in [c for c, at in deadlines.items() if at <= now]:
            del deadlines[client]
            if timed_cuts is None or timed_cuts > 0:
                timed_cuts = None if timed_cuts is None else timed_cuts - 1
                cut([client])
        timeout = max(0.0, min(deadlines.values()) - now) if deadlines else None
        readers, writers = [listener, wake], []
        for client, (broker, down, up) in pairs.items():
            if len(up.out) < BUFFER_BYTES:
                readers.append(client)
            if len(down.out) < BUFFER_BYTES:
                readers.append(broker)
            if down.out:
                writers.append(client)
            if up.out and not stalled:
                writers.append(broker)
        readable, writable, _ = select.select(readers, writers, [], timeout)
        if wake in readable:
            drain(wake)
            if signal.SIGHUP in received:
                received.discard(signal.SIGHUP)
                timed = lifetime is not None
                events("timed", lifetime, timed_cuts)
                for client in pairs:
                    timed_cut_due(client)
            if signal.SIGUSR2 in received:
                received.discard(signal.SIGUSR2)
                stalled = True
                events("stall")
            if signal.SIGUSR1 in received:
                received.discard(signal.SIGUSR1)
                stalled = False
                cut(list(pairs))
            continue
        if listener in readable:
            client, _ = listener.accept()
            try:
                broker = socket.create_connection(("127.0.0.1", broker_port))
            except OSError as e:
                client.close()
                events("unreachable", e.errno)
                continue
            prepare(client)
            prepare(broker)
            pairs[client] = (broker, Stream(), Stream())
            timed_cut_due(client)
            state["connections"] += 1
            events("accept", state["connections"])
        for client in list(pairs):
            broker, down, up = pairs[client]
            try:
                if broker in readable:
                    data = broker.recv(READ_BYTES)
                    if not data:
                        raise ConnectionError
                    down.feed(data)
                if client in readable:
                    data = client.recv(READ_BYTES)
                    if not data:
                        raise ConnectionError
                    up.feed(data)
                if client in writable:
                    for topic, payload in down.wrote(client.send(down.out)):
                        state["last"][topic] = payload.decode("utf-8", "replace")
                        state["delivered"] += 1
                if broker in writable:
                    up.wrote(broker.send(up.out))
            except BlockingIOError:
                pass
            except OSError:  # either end closed: so does the other
                events("closed", *close(client))
                save()


class Connection:
    """One connection to the hung broker."""

    def __init__(self, sock, index):
        self.sock, self.index = sock, index
        self.inbound, self.out = bytearray(), bytearray()
        self.hung = False
        self.value_seen = False


def hung_broker(port, events_path, configuration_path, device, controls, prefix=None):
    events = Events(events_path)
    with open(configuration_path, "rb") as f:
        configuration = f.read()
    listener = listen(port)
    wake, received = signals(signal.SIGUSR1)
    connections = []
    accepted = 0
    triggered = False
    data_topic = DATA_TOPIC + device
    value = 0
    events("listening", port)

    def hang(c):
        nonlocal triggered, value
        triggered, c.hung = True, True
        events("hang", c.index)
        whole = sent = 0
        try:
            while True:
                value += 1
                p = publish(data_topic, data_message(device, controls, value))
                n = c.sock.send(p)
                sent += n
                if n < len(p):
                    break
                whole += 1
        except (BlockingIOError, OSError):
            pass
        events("flooded", c.index, "packets", whole, "bytes", sent)

    def serve(c):
        nonlocal value
        for kind, flags, body, _ in take_packets(c.inbound):
            if kind == CONNECT:
                events("connect", c.index)
                c.out += CONNACK
            elif kind == PUBLISH:
                topic, _ = publish_parts(flags, body)
                parts = topic.split("/")
                if not c.value_seen and len(parts) == 5 and parts[1] == "devices" and parts[3] == "controls":
                    c.value_seen = True
                    events("value", c.index)
            elif kind == SUBSCRIBE:
                filters, at = [], 2
                while at + 2 <= len(body):
                    n = int.from_bytes(body[at:at + 2], "big")
                    filters.append(body[at + 2:at + 2 + n].decode("utf-8", "replace"))
                    at += 3 + n
                if prefix and not triggered and any(f.startswith(prefix) for f in filters):
                    hang(c)
                    return
                c.out += packet(0x90, body[:2] + bytes(len(filters)))
                for f in filters:
                    if f == CONFIGURATION_TOPIC:
                        c.out += publish(CONFIGURATION_TOPIC, configuration, retain=True)
                    elif f == data_topic:
                        value += 1
                        c.out += publish(data_topic, data_message(device, controls, value))
            elif kind == UNSUBSCRIBE:
                c.out += packet(0xB0, body[:2])
            elif kind == PINGREQ:
                events("ping", c.index)
                c.out += b"\xD0\x00"
            elif kind == DISCONNECT:
                raise ConnectionError

    while True:
        live = [c for c in connections if not c.hung]
        readable, writable, _ = select.select([listener, wake] + [c.sock for c in live],
                                              [c.sock for c in live if c.out], [])
        if wake in readable:
            drain(wake)
            if received:
                received.clear()
                if live and not triggered:
                    hang(live[-1])
                continue
        if listener in readable:
            sock, _ = listener.accept()
            prepare(sock)
            accepted += 1
            connections.append(Connection(sock, accepted))
            events("accept", accepted)
        for c in live:
            try:
                if c.sock in readable:
                    data = c.sock.recv(READ_BYTES)
                    if not data:
                        raise ConnectionError
                    c.inbound += data
                    serve(c)
                if c.out and not c.hung and c.sock in writable:
                    del c.out[:c.sock.send(c.out)]
            except BlockingIOError:
                pass
            except OSError:
                events("closed", c.index)
                c.sock.close()
                connections.remove(c)


def alternating(port, events_path, hold=0.005, away=0.03, connect_wait=5):
    events = Events(events_path)
    listener = listen(port)
    accepted = 0
    events("listening", port)
    while True:
        sock, _ = listener.accept()
        listener.close()
        accepted += 1
        events("accept", accepted)
        sock.settimeout(connect_wait)
        inbound = bytearray()
        try:
            while CONNECT not in [kind for kind, *_ in take_packets(inbound)]:
                data = sock.recv(READ_BYTES)
                if not data:
                    raise ConnectionError
                inbound += data
            sock.sendall(CONNACK)
            time.sleep(hold)
        except OSError:
            events("no-connect", accepted)
        sock.setblocking(False)
        drain(sock)
        sock.close()
        time.sleep(away)
        listener = listen(port)


def main(argv):
    if len(argv) in (5, 6, 7) and argv[0] == "proxy":
        lifetime = float(argv[5]) if len(argv) > 5 else None
        cuts = int(argv[6]) if len(argv) > 6 else None
        return proxy(int(argv[1]), int(argv[2]), argv[3], argv[4], lifetime, cuts)
    if len(argv) == 3 and argv[0] == "alternating":
        return alternating(int(argv[1]), argv[2])
    if len(argv) in (6, 7) and argv[0] == "hung-broker":
        return hung_broker(int(argv[1]), argv[2], argv[3], argv[4], int(argv[5]), *argv[6:])
    sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
