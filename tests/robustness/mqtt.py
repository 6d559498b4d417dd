"""The suite's one MQTT 3.1.1 packet kit: packets as bytes, a splitter of
packets off a stream, and a small blocking client for sources and readers."""

import json
import socket
import threading
import time

CONNECT, CONNACK, PUBLISH, PUBACK, PUBREC = 1, 2, 3, 4, 5
SUBSCRIBE, SUBACK, UNSUBSCRIBE, UNSUBACK = 8, 9, 10, 11
PINGREQ, PINGRESP, DISCONNECT = 12, 13, 14
CONNACK_ACCEPTED = b"\x20\x02\x00\x00"
PINGRESP_BYTES = b"\xd0\x00"


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
    raw = text.encode() if isinstance(text, str) else text
    return len(raw).to_bytes(2, "big") + raw


def connect(client_id, keepalive=0, clean=True, user=None, password=None):
    flags = (0x02 if clean else 0) | (0x80 if user is not None else 0) | (0x40 if password is not None else 0)
    body = string("MQTT") + bytes([4, flags]) + keepalive.to_bytes(2, "big") + string(client_id)
    body += b"".join(string(s) for s in (user, password) if s is not None)
    return packet(0x10, body)


def publish(topic, payload, qos=0, retain=False, pid=0):
    if isinstance(payload, str):
        payload = payload.encode()
    first = 0x30 | (qos << 1) | (1 if retain else 0)
    ident = pid.to_bytes(2, "big") if qos else b""
    return packet(first, string(topic) + ident + payload)


def subscribe(pid, filters, qos=0):
    body = pid.to_bytes(2, "big") + b"".join(string(f) + bytes([qos]) for f in filters)
    return packet(0x82, body)


def suback(pid, count):
    return packet(0x90, pid.to_bytes(2, "big") + bytes(count))


def unsuback(pid_bytes):
    return packet(0xB0, pid_bytes)


def puback(pid):
    return packet(0x40, pid.to_bytes(2, "big"))


def pingreq():
    return b"\xc0\x00"


def disconnect():
    return b"\xe0\x00"


class Splitter:
    """Whole packets off a byte stream: feed bytes, get (kind, flags, body, size)."""

    def __init__(self):
        self.buf = bytearray()

    def feed(self, data):
        self.buf += data
        out, pos, buf = [], 0, self.buf
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

    def starts_publish(self):
        """Whether the bytes after the last whole packet begin a PUBLISH."""
        return bool(self.buf) and self.buf[0] >> 4 == PUBLISH


def publish_parts(flags, body):
    """(topic, payload, packet id or 0) of a PUBLISH body."""
    n = int.from_bytes(body[:2], "big")
    qos = (flags >> 1) & 3
    pid = int.from_bytes(body[2 + n:4 + n], "big") if qos else 0
    skip = 2 if qos else 0
    return body[2:2 + n].decode("utf-8", "replace"), body[2 + n + skip:], pid


def subscribe_filters(body):
    filters, at = [], 2
    while at + 2 <= len(body):
        n = int.from_bytes(body[at:at + 2], "big")
        filters.append(body[at + 2:at + 2 + n].decode("utf-8", "replace"))
        at += 3 + n
    return filters


class Client:
    """A blocking client: QoS 0 and 1 publications, subscriptions, and every
    PUBLISH it receives handed to on_message(topic, payload, retain) on its
    reader thread. PUBACKs go to on_puback(pid), PUBRECs to on_pubrec(pid)."""

    def __init__(self, port, client_id, on_message=None, on_puback=None, timeout=10, login=None,
                 on_pubrec=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.on_message = on_message or (lambda *a: None)
        self.on_puback = on_puback or (lambda pid: None)
        self.on_pubrec = on_pubrec or (lambda pid: None)
        self.lock = threading.Lock()
        self.acked = threading.Condition()
        self.subacks = set()
        self.next_pid = 0
        self.closed = False
        user, password = login or (None, None)
        self.sock.sendall(connect(client_id, user=user, password=password))
        splitter, data = Splitter(), b""
        while not data.startswith(b"\x20\x02"):
            chunk = self.sock.recv(4)
            if not chunk:
                raise ConnectionError("no CONNACK")
            data += chunk
        if data[:4] != CONNACK_ACCEPTED:
            raise ConnectionError(f"refused: {data[:4]!r}")
        splitter.feed(data[4:])
        self.sock.settimeout(None)
        self.thread = threading.Thread(target=self._read, args=(splitter,), daemon=True)
        self.thread.start()

    def pid(self):
        with self.lock:
            self.next_pid = self.next_pid % 65535 + 1
            return self.next_pid

    def send(self, data):
        with self.lock:
            self.sock.sendall(data)

    def publish(self, topic, payload, qos=0, retain=False):
        pid = self.pid() if qos else 0
        self.send(publish(topic, payload, qos, retain, pid))
        return pid

    def subscribe(self, filters, wait=10):
        pid = self.pid()
        self.send(subscribe(pid, filters))
        with self.acked:
            if not self.acked.wait_for(lambda: pid in self.subacks or self.closed, wait):
                raise TimeoutError(f"no SUBACK for {filters}")
        if self.closed:
            raise ConnectionError("closed before SUBACK")

    def _read(self, splitter):
        try:
            while True:
                data = self.sock.recv(1 << 16)
                if not data:
                    break
                for kind, flags, body, _ in splitter.feed(data):
                    if kind == PUBLISH:
                        topic, payload, pid = publish_parts(flags, body)
                        if pid:
                            self.send(puback(pid))
                        self.on_message(topic, payload, bool(flags & 1))
                    elif kind == PUBACK:
                        self.on_puback(int.from_bytes(body[:2], "big"))
                    elif kind == PUBREC:
                        self.on_pubrec(int.from_bytes(body[:2], "big"))
                    elif kind == SUBACK:
                        with self.acked:
                            self.subacks.add(int.from_bytes(body[:2], "big"))
                            self.acked.notify_all()
        except OSError:
            pass
        with self.acked:
            self.closed = True
            self.acked.notify_all()

    def close(self):
        try:
            self.send(disconnect())
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)


def listen(port=0):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(64)
    s.setblocking(False)
    return s


def drain(sock):
    """Whatever the socket holds now, so that closing it sends no reset."""
    out = bytearray()
    while True:
        try:
            data = sock.recv(65536)
        except OSError:
            return out
        if not data:
            return out
        out += data


def reply(**what):
    print(json.dumps(what), flush=True)


def wait_until(condition, seconds, step=0.02, what="a condition"):
    """Polls condition until it returns a true value; that value, or AssertionError at the deadline."""
    end = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= end:
            raise AssertionError(f"timed out after {seconds} s waiting for {what}")
        time.sleep(step)
