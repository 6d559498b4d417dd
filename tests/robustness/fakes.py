"""Small fake brokers, each its own process (python3 faults.py KIND ...) with
the proxy's command channel: standard input takes "state" (and the hung
broker's "hang"), standard output answers; events are (time, what, n).

hung CONFIGURATION_FILE DEVICE CONTROLS [PREFIX]
    Just enough of a broker for the service: CONNACK, SUBACK, UNSUBACK,
    PINGRESP, the configuration retained, one data message for DEVICE when
    its data topic is subscribed. "hang", or the first SUBSCRIBE of a filter
    starting with PREFIX, hangs the newest connection: nothing more is read
    from it, data messages are written to it until the send would block,
    and it stays open. Later connections are served again.
alternating
    Takes one connection, answers CONNACK, closes it 5 ms later and stops
    listening for 30 ms; again and again.
silent
    Accepts and reads every connection, answers nothing.
drop
    Accepts every connection and closes it at once."""

import json
import select
import socket
import sys
import threading
import time

import mqtt

CONFIGURATION_TOPIC = "/qv/bridge/configuration"
DATA_TOPIC = "/qv/bridge/thirdparty_data/"


class Fake:
    def __init__(self):
        self.lock = threading.Lock()
        self.events = []
        self.listener = mqtt.listen()
        self.port = self.listener.getsockname()[1]
        self.wake_r, self.wake_w = socket.socketpair()

    def event(self, what, n=0):
        with self.lock:
            self.events.append((time.time(), what, n))

    def command(self, words):
        with self.lock:
            return {"events": list(self.events)}

    def serve(self):
        threading.Thread(target=self.run, daemon=True).start()
        mqtt.reply(port=self.port)
        for line in sys.stdin:
            print(json.dumps(self.command(json.loads(line))), flush=True)


class Alternating(Fake):
    def run(self, hold=0.005, away=0.03):
        self.listener.setblocking(True)
        n = 0
        while True:
            sock, _ = self.listener.accept()
            self.listener.close()
            n += 1
            self.event("accept", n)
            sock.settimeout(5)
            splitter = mqtt.Splitter()
            try:
                while True:
                    data = sock.recv(65536)
                    if not data:
                        raise ConnectionError
                    if any(p[0] == mqtt.CONNECT for p in splitter.feed(data)):
                        break
                sock.sendall(mqtt.CONNACK_ACCEPTED)
                time.sleep(hold)
            except OSError:
                self.event("no-connect", n)
            sock.setblocking(False)
            mqtt.drain(sock)
            sock.close()
            time.sleep(away)
            self.listener = mqtt.listen(self.port)
            self.listener.setblocking(True)


class Silent(Fake):
    def run(self):
        self.listener.setblocking(True)
        socks, n = [], 0
        while True:
            readable, _, _ = select.select([self.listener] + socks, [], [])
            for s in readable:
                if s is self.listener:
                    sock, _ = s.accept()
                    socks.append(sock)
                    n += 1
                    self.event("accept", n)
                elif not s.recv(65536):
                    socks.remove(s)
                    s.close()
                    self.event("closed")


class Drop(Fake):
    def run(self):
        self.listener.setblocking(True)
        n = 0
        while True:
            sock, _ = self.listener.accept()
            sock.close()
            n += 1
            self.event("accept", n)


class Hung(Fake):
    def __init__(self, configuration_path, device, controls, prefix=None):
        super().__init__()
        with open(configuration_path, "rb") as f:
            self.configuration = f.read()
        self.device, self.controls, self.prefix = device, int(controls), prefix
        self.data_topic = DATA_TOPIC + device
        self.value, self.triggered, self.hang_asked = 0, False, False
        self.conns = []  # [socket, splitter, out, hung, index]

    def command(self, words):
        if words[0] == "hang":
            with self.lock:
                self.hang_asked = True
            self.wake_w.send(b"x")
        return super().command(words)

    def data(self):
        self.value += 1
        data = ",".join(f'"c{c}":{{"avg":{self.value}}}' for c in range(self.controls))
        message = (f'{{"version":1,"io_id":"{self.device}","timestamp":{int(time.time())},'
                   f'"data":{{{data}}}}}')
        return mqtt.publish(self.data_topic, message)

    def hang(self, c):
        self.triggered, c[3] = True, True
        self.event("hang", c[4])
        whole = sent = 0
        try:
            while True:
                p = self.data()
                n = c[0].send(p)
                sent += n
                if n < len(p):
                    break
                whole += 1
        except OSError:
            pass
        self.event("flooded", whole)
        self.event("flooded_bytes", sent)

    def handle(self, c, packets):
        for kind, flags, body, _ in packets:
            if kind == mqtt.CONNECT:
                self.event("connect", c[4])
                c[2] += mqtt.CONNACK_ACCEPTED
            elif kind == mqtt.PUBLISH:
                parts = mqtt.publish_parts(flags, body)[0].split("/")
                if len(parts) == 5 and parts[1] == "devices" and parts[3] == "controls":
                    self.event("value", c[4])
            elif kind == mqtt.SUBSCRIBE:
                filters = mqtt.subscribe_filters(body)
                if self.prefix and not self.triggered and any(f.startswith(self.prefix) for f in filters):
                    return self.hang(c)
                c[2] += mqtt.suback(int.from_bytes(body[:2], "big"), len(filters))
                for f in filters:
                    if f == CONFIGURATION_TOPIC:
                        c[2] += mqtt.publish(CONFIGURATION_TOPIC, self.configuration, retain=True)
                    elif f == self.data_topic:
                        c[2] += self.data()
            elif kind == mqtt.UNSUBSCRIBE:
                c[2] += mqtt.unsuback(body[:2])
            elif kind == mqtt.PINGREQ:
                self.event("ping", c[4])
                c[2] += mqtt.PINGRESP_BYTES
            elif kind == mqtt.DISCONNECT:
                raise ConnectionError

    def run(self):
        accepted = 0
        while True:
            live = [c for c in self.conns if not c[3]]
            readable, writable, _ = select.select([self.listener, self.wake_r] + [c[0] for c in live],
                                                  [c[0] for c in live if c[2]], [])
            if self.wake_r in readable:
                self.wake_r.recv(64)
                with self.lock:
                    asked, self.hang_asked = self.hang_asked, False
                if asked and live and not self.triggered:
                    self.hang(live[-1])
                continue
            if self.listener in readable:
                sock, _ = self.listener.accept()
                sock.setblocking(False)
                accepted += 1
                self.conns.append([sock, mqtt.Splitter(), bytearray(), False, accepted])
                self.event("accept", accepted)
            for c in live:
                try:
                    if c[0] in readable:
                        data = c[0].recv(65536)
                        if not data:
                            raise ConnectionError
                        self.handle(c, c[1].feed(data))
                    if c[2] and not c[3] and c[0] in writable:
                        del c[2][:c[0].send(c[2])]
                except BlockingIOError:
                    pass
                except OSError:
                    self.event("closed", c[4])
                    c[0].close()
                    self.conns.remove(c)


def main(argv):
    kinds = {"hung": Hung, "alternating": Alternating, "silent": Silent, "drop": Drop}
    kinds[argv[0]](*argv[1:]).serve()
