"""A TCP proxy between the service and its broker that injects faults on the
link, run as its own process (python3 faults.py proxy BROKER_PORT), driven
by one JSON command a line on its standard input, one JSON answer a line on
its standard output (the first: {"port": P} once it listens).

Commands: cut (close every connection, both sides); blackhole on|off (move
nothing, keep the sockets); stall up|down on|off (write nothing that way);
rate up|down BYTES_PER_S|null (a token bucket); refuse close|drop|null
(listener closed, or accept-and-close); timed LIFETIME CUTS (cut each
connection LIFETIME s after it was accepted, CUTS times at most); state;
delivered (per topic the last PUBLISH payload written whole to the service)."""

import collections
import json
import os
import selectors
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mqtt  # noqa: E402

BUFFER_BYTES = 64 * 1024  # held per direction before reading stops
# What the kernel holds of the service's output on the proxy's side: small,
# so that a stalled way up fills the service's own buffer within seconds.
RECEIVE_BYTES = 128 * 1024


def listener(port=0):
    s = mqtt.listen(port)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BYTES)  # inherited by accepted sockets
    return s


class Bucket:
    """Bytes a direction may write now, refilled at rate per second, in chunks of up to 8 KiB."""

    def __init__(self, rate):
        self.rate, self.cap, self.at = rate, max(rate / 20, 1024), time.monotonic()
        self.tokens = self.cap
        self.chunk = min(self.cap, 8192)

    def allowance(self):
        now = time.monotonic()
        self.tokens = min(self.tokens + (now - self.at) * self.rate, self.cap)
        self.at = now
        return int(self.tokens)

    def ready(self):
        return self.allowance() >= self.chunk

    def spent(self, n):
        self.tokens -= n

    def wait(self):
        return max(0.002, (self.chunk - self.tokens) / self.rate)


class Stream:
    """One direction: bytes not yet written and, when framed (towards the
    service), the PUBLISH packets among them."""

    def __init__(self, framed):
        self.out = bytearray()
        self.splitter = mqtt.Splitter() if framed else None
        self.framed = self.written = 0
        self.pending = collections.deque()  # (end in the stream, topic, payload)

    def feed(self, data):
        self.out += data
        if self.splitter is None:
            return
        for kind, flags, body, size in self.splitter.feed(data):
            self.framed += size
            if kind == mqtt.PUBLISH:
                topic, payload, _ = mqtt.publish_parts(flags, body)
                self.pending.append((self.framed, topic, payload))

    def wrote(self, n):
        del self.out[:n]
        self.written += n
        done = []
        while self.pending and self.pending[0][0] <= self.written:
            done.append(self.pending.popleft()[1:])
        return done

    def undelivered(self):
        """PUBLISH packets not written whole; towards the broker, bytes."""
        if self.splitter is None:
            return len(self.out)
        return len(self.pending) + (1 if self.splitter.starts_publish() else 0)


class Proxy:
    def __init__(self, broker_port):
        self.broker_port = broker_port
        self.listener = listener()
        self.port = self.listener.getsockname()[1]
        self.sel = selectors.DefaultSelector()
        self.pairs = {}  # client socket -> [broker socket, down, up, deadline]
        self.masks = {}  # socket -> the events it is registered for
        self.inbox = bytearray()
        self.blackhole, self.stalled, self.refuse = False, set(), None
        self.buckets = {"up": None, "down": None}
        self.lifetime, self.timed_left = None, 0
        self.delivered = {}
        self.counts = collections.Counter()
        self.events = []  # (time, what, n)

    def event(self, what, n=0):
        self.events.append((time.time(), what, n))

    def close(self, client):
        broker, down, up, _ = self.pairs.pop(client)
        for sock in (client, broker):
            if self.masks.pop(sock, 0):
                self.sel.unregister(sock)
        down.feed(mqtt.drain(broker))
        up.feed(mqtt.drain(client))
        self.counts["lost_down"] += down.undelivered()
        self.counts["lost_up_bytes"] += up.undelivered()
        client.close()
        broker.close()

    def cut(self, clients=None):
        for c in list(self.pairs) if clients is None else clients:
            self.close(c)
        self.counts["cuts"] += 1
        self.event("cut", self.counts["cuts"])

    def accept(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        if self.refuse == "drop":
            client.close()
            self.counts["dropped"] += 1
            self.event("dropped", self.counts["dropped"])
            return
        try:
            broker = socket.create_connection(("127.0.0.1", self.broker_port), timeout=2)
        except OSError:
            client.close()
            self.counts["unreachable"] += 1
            self.event("unreachable", self.counts["unreachable"])
            return
        for s in (client, broker):
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        deadline = None
        if self.lifetime is not None and self.timed_left > 0:
            deadline = time.monotonic() + self.lifetime
        self.pairs[client] = [broker, Stream(True), Stream(False), deadline]
        self.counts["connections"] += 1
        self.event("accept", self.counts["connections"])

    def command(self, words):
        name, args = words[0], words[1:]
        if name == "cut":
            self.cut()
        elif name == "blackhole":
            self.blackhole = args[0] == "on"
        elif name == "stall":
            (self.stalled.add if args[1] == "on" else self.stalled.discard)(args[0])
        elif name == "rate":
            self.buckets[args[0]] = Bucket(float(args[1])) if args[1] not in (None, "null") else None
        elif name == "refuse":
            self.set_refuse(args[0] if args[0] not in (None, "null") else None)
        elif name == "timed":
            self.lifetime, self.timed_left = float(args[0]), int(args[1])
            for entry in self.pairs.values():
                entry[3] = time.monotonic() + self.lifetime
            self.event("timed", self.timed_left)
        elif name == "delivered":
            return {t: p.decode("utf-8", "replace") for t, p in self.delivered.items()}
        elif name != "state":
            return {"error": f"unknown command {name}"}
        return {"counts": dict(self.counts), "events": self.events, "open": len(self.pairs),
                "buffered": sum(len(d.out) + len(u.out) for _, d, u, _ in self.pairs.values())}

    def set_refuse(self, how):
        if how == "close" and self.refuse != "close":
            self.sel.unregister(self.listener)
            self.listener.close()
        elif how != "close" and self.refuse == "close":
            self.listener = listener(self.port)
            self.sel.register(self.listener, selectors.EVENT_READ)
        self.refuse = how

    def interest(self, timeout):
        """Registers what each socket waits for; the time to the next bucket refill or deadline."""
        now = time.monotonic()
        for client, (broker, down, up, deadline) in self.pairs.items():
            if deadline is not None:
                timeout = min(timeout, max(0, deadline - now))
            for sock, inbound, outbound, way in ((client, up, down, "down"), (broker, down, up, "up")):
                mask = 0
                if not self.blackhole:
                    if len(inbound.out) < BUFFER_BYTES:
                        mask |= selectors.EVENT_READ
                    bucket = self.buckets[way]
                    if outbound.out and way not in self.stalled:
                        if bucket is None or bucket.ready():
                            mask |= selectors.EVENT_WRITE
                        else:
                            timeout = min(timeout, bucket.wait())
                old = self.masks.get(sock, 0)
                if mask and not old:
                    self.sel.register(sock, mask, data=client)
                elif old and not mask:
                    self.sel.unregister(sock)
                elif mask != old:
                    self.sel.modify(sock, mask, data=client)
                self.masks[sock] = mask
        return timeout

    def move(self, client, sock, events):
        broker, down, up, _ = self.pairs[client]
        readable, writable = events & selectors.EVENT_READ, events & selectors.EVENT_WRITE
        if readable:
            data = sock.recv(65536)
            if not data:
                raise ConnectionError
            (down if sock is broker else up).feed(data)
        if writable:
            way, stream = ("down", down) if sock is client else ("up", up)
            bucket = self.buckets[way]
            chunk = stream.out if bucket is None else stream.out[:bucket.allowance()]
            n = sock.send(chunk)
            if bucket is not None:
                bucket.spent(n)
            self.counts[f"bytes_{way}"] += n
            for topic, payload in stream.wrote(n):
                if way == "down":
                    if payload[:1] == b"{":  # a reading; malformed ones leave the last one standing
                        self.delivered[topic] = payload
                    self.counts["delivered"] += 1
                    self.counts["readings"] += topic.startswith("/qv/bridge/thirdparty_data/")

    def commands(self):
        """Answers each whole command line on standard input; False at its end."""
        data = os.read(0, 65536)
        if not data:
            return False
        self.inbox += data
        while b"\n" in self.inbox:
            line, _, rest = bytes(self.inbox).partition(b"\n")
            self.inbox[:] = rest
            print(json.dumps(self.command(json.loads(line))), flush=True)
        return True

    def run(self):
        self.sel.register(self.listener, selectors.EVENT_READ)
        self.sel.register(0, selectors.EVENT_READ)
        mqtt.reply(port=self.port)
        while True:
            now = time.monotonic()
            for client in [c for c, e in self.pairs.items() if e[3] is not None and e[3] <= now]:
                self.pairs[client][3] = None
                if self.timed_left > 0:
                    self.timed_left -= 1
                    self.cut([client])
            timeout = self.interest(1.0)
            for key, events in self.sel.select(timeout):
                if key.fileobj == 0:
                    if not self.commands():
                        return
                elif key.fileobj is self.listener:
                    self.accept()
                elif key.data in self.pairs:
                    try:
                        self.move(key.data, key.fileobj, events)
                    except BlockingIOError:
                        pass
                    except OSError:
                        self.event("closed")
                        self.close(key.data)


if __name__ == "__main__":
    kind = sys.argv[1]
    if kind == "proxy":
        Proxy(int(sys.argv[2])).run()
    else:
        import fakes
        fakes.main(sys.argv[1:])
