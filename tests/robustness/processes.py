"""The processes a test runs: a private broker (mosquitto, or RabbitMQ or
aedes for the interop tests), the fault helpers of faults.py, the service
with its records, memory and notify socket. Each is stopped by its PID; each
dies with the test process (parent-death signal)."""

import collections
import ctypes
import json
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import threading
import time

from mqtt import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
NODE_MODULES = os.environ.get("INTEROP_NODE_MODULES", os.path.join(ROOT, "build/interop/node_modules"))
PR_SET_PDEATHSIG = 1
RECORD = re.compile(r"^(\S+) (TRACE|DEBUG|INFO|WARNING|ERROR|CRITICAL) (\S+) (\S+?): (.*)$")
Record = collections.namedtuple("Record", "time level source function text arrived")


def die_with_parent():
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class _Spawner:
    """Starts every process from one thread that lives as long as the suite:
    the parent-death signal follows the thread that forked, not the process."""

    def __init__(self):
        self.jobs = queue.Queue()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            args, kwargs, answer = self.jobs.get()
            try:
                answer.put(subprocess.Popen(*args, preexec_fn=die_with_parent, **kwargs))
            except Exception as e:  # noqa: BLE001 - raised in the caller
                answer.put(e)

    def __call__(self, *args, **kwargs):
        answer = queue.Queue()
        self.jobs.put((args, kwargs, answer))
        result = answer.get()
        if isinstance(result, Exception):
            raise result
        return result


spawn = _Spawner()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


def stop(proc, sig=signal.SIGTERM, wait=10):
    if proc is not None and proc.poll() is None:
        os.kill(proc.pid, sig)
        try:
            proc.wait(wait)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


class Broker:
    """What every private broker shares: it is spawned by _spawn() (its
    process, which a stop ends with all it started), listens on self.port
    within start_seconds, and logs to self.log."""

    start_seconds = 10

    def start(self):
        """Starts it and waits until it takes connections; returns that time."""
        self.proc = self._spawn()
        name = type(self).__name__
        wait_until(lambda: accepts(self.port) or self.proc.poll() is not None, self.start_seconds, 0.01,
                   f"{name} to take connections")
        assert self.proc.poll() is None, f"{name} exited at start (see {self.log})"
        self.started = time.time()
        return self.started

    def kill(self):
        stop_tree(self.proc, signal.SIGKILL)

    def stop(self):
        stop_tree(self.proc)

    def restart(self, store=None, sig=signal.SIGKILL):
        stop_tree(self.proc, sig)
        if store is not None:
            self.store = store
        return self.start()

    def log_count(self, text):
        with open(self.log, errors="replace") as f:
            return sum(text in line for line in f)


class Mosquitto(Broker):
    """A private broker on a fixed port; killed and started again on it."""

    exact_retained = False

    def __init__(self, work, store=False, extra=""):
        self.work, self.store, self.extra = work, store, extra
        self.port = free_port()
        self.proc = None
        self.log = os.path.join(work, f"mosquitto-{self.port}.log")
        self.start()

    def config(self):
        lines = ["user root", f"listener {self.port} 127.0.0.1", "allow_anonymous true",
                 "set_tcp_nodelay true", f"log_dest file {self.log}",
                 "log_type error", "log_type warning", "log_type notice"]
        if self.store:
            lines += ["persistence true", f"persistence_location {self.work}/store-{self.port}/",
                      "autosave_interval 1"]
            os.makedirs(f"{self.work}/store-{self.port}", exist_ok=True)
        else:
            lines.append("persistence false")
        path = os.path.join(self.work, f"mosquitto-{self.port}.conf")
        with open(path, "w") as f:
            f.write("\n".join(lines + [self.extra]) + "\n")
        return path

    def _spawn(self):
        with open(self.log + ".out", "ab") as out:
            return spawn(["/usr/sbin/mosquitto", "-c", self.config()],
                         stdin=subprocess.DEVNULL, stdout=out, stderr=out)


def descendants(pid):
    """Every process below pid, from /proc (children of children included)."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/task/{p}/children") as f:
                kids = [int(c) for c in f.read().split()]
        except OSError:
            kids = []
        out += kids
        todo += kids
    return out


def stop_tree(proc, sig=signal.SIGTERM, wait=20):
    """Stops proc as stop() does, then whatever it had started that outlived it."""
    below = descendants(proc.pid) if proc is not None and proc.poll() is None else []
    stop(proc, sig, wait)
    for pid in below:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


class Epmd:
    """Erlang's port mapper for one RabbitMQ node, on a private port."""

    def __init__(self, work):
        self.port = free_port()
        with open(os.path.join(work, f"epmd-{self.port}.log"), "ab") as out:
            self.proc = spawn(["epmd", "-port", str(self.port), "-address", "127.0.0.1"],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        wait_until(lambda: accepts(self.port) or self.proc.poll() is not None, 10, 0.005, "epmd to listen")
        assert self.proc.poll() is None, "epmd exited at start"

    def stop(self):
        stop(self.proc)


class RabbitMQ(Broker):
    """A private RabbitMQ node with its MQTT plugin: loopback ports, node
    name, Erlang cookie and epmd of its own. Its Erlang VM is the process
    started (a node with input allowed runs in the foreground), so that it
    stops by its PID. Retained messages live in memory, or with store on
    disk, kept across restarts."""

    exact_retained = True  # retained messages go to exact-topic subscriptions only

    def __init__(self, work, store=False, extra="", epmd=None):
        self.store, self.extra, self.epmd = store, extra, epmd
        self.port, self.amqp_port, self.dist_port = free_port(), free_port(), free_port()
        self.node = f"robust{self.port}@localhost"
        self.base = os.path.join(work, f"rabbitmq-{self.port}")
        self.log = os.path.join(self.base, "log", f"{self.node}.log")
        os.makedirs(os.path.join(self.base, "log"), exist_ok=True)
        self.proc = None
        self.start()

    def environment(self):
        lines = [f"listeners.tcp.1 = 127.0.0.1:{self.amqp_port}", f"mqtt.listeners.tcp.1 = 127.0.0.1:{self.port}",
                 f"mqtt.retained_message_store = rabbit_mqtt_retained_msg_store_{'dets' if self.store else 'ets'}"]
        if "allow_anonymous" not in self.extra:
            lines.append("mqtt.allow_anonymous = true")
        with open(os.path.join(self.base, "rabbitmq.conf"), "w") as f:
            f.write("\n".join(lines + [self.extra]) + "\n")
        with open(os.path.join(self.base, "enabled_plugins"), "w") as f:
            f.write("[rabbitmq_mqtt].\n")
        open(os.path.join(self.base, "rabbitmq-env.conf"), "w").close()
        return dict(os.environ, HOME=self.base, ERL_EPMD_PORT=str(self.epmd.port), ERL_EPMD_ADDRESS="127.0.0.1",
                    RABBITMQ_NODENAME=self.node, RABBITMQ_NODE_PORT=str(self.amqp_port),
                    RABBITMQ_DIST_PORT=str(self.dist_port), RABBITMQ_MNESIA_BASE=os.path.join(self.base, "mnesia"),
                    RABBITMQ_LOG_BASE=os.path.join(self.base, "log"),
                    RABBITMQ_CONFIG_FILE=os.path.join(self.base, "rabbitmq.conf"),
                    RABBITMQ_ENABLED_PLUGINS_FILE=os.path.join(self.base, "enabled_plugins"),
                    RABBITMQ_CONF_ENV_FILE=os.path.join(self.base, "rabbitmq-env.conf"),
                    RABBITMQ_ALLOW_INPUT="1",
                    RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}")

    start_seconds = 60

    def _spawn(self):
        env = self.environment()
        with open(os.path.join(self.base, "console.log"), "ab") as out:
            # The Erlang shell reads the pipe, which stays open while the node runs.
            return spawn(["/usr/lib/rabbitmq/bin/rabbitmq-server"], env=env, cwd=self.base,
                         stdin=subprocess.PIPE, stdout=out, stderr=out)


class Aedes(Broker):
    """A private aedes (Node.js) broker; its retained messages live in memory
    only, so that a restart loses them whatever store asks."""

    exact_retained = False

    def __init__(self, work, store=False, extra=""):
        if not os.path.isdir(os.path.join(NODE_MODULES, "aedes")):
            raise AssertionError(f"no aedes in {NODE_MODULES}: scripts/test interop installs it")
        self.port = free_port()
        self.log = os.path.join(work, f"aedes-{self.port}.log")
        self.proc = None
        self.start()

    start_seconds = 20

    def _spawn(self):
        with open(self.log, "ab") as out:
            return spawn(["node", os.path.join(HERE, "aedes-broker.mjs"), str(self.port), NODE_MODULES],
                         stdin=subprocess.DEVNULL, stdout=out, stderr=out)


class Helper:
    """A process of faults.py (the proxy, a fake broker), driven by commands."""

    def __init__(self, *args):
        self.proc = spawn([sys.executable, os.path.join(HERE, "faults.py")] + [str(a) for a in args],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lock = threading.Lock()
        self.port = json.loads(self.proc.stdout.readline())["port"]

    def __call__(self, *words):
        with self.lock:
            self.proc.stdin.write(json.dumps(list(words)) + "\n")
            self.proc.stdin.flush()
            return json.loads(self.proc.stdout.readline())

    def events(self, what=None):
        return [e for e in self("state")["events"] if what is None or e[1] == what]

    def wait_event(self, what, count=1, seconds=30, alive=None):
        """The count-th event of its kind; fails at once if the process alive (a Service) ends."""
        def seen():
            events = self.events(what)
            if alive is not None and not alive.alive():
                raise AssertionError(f"the service ended ({alive.proc.returncode}) while waiting for "
                                     f"{count} '{what}' events: {alive.tail()}")
            return events[count - 1] if len(events) >= count else None
        return wait_until(seen, seconds, 0.02, f"{count} '{what}' events")

    def stop(self):
        stop(self.proc, signal.SIGKILL)


class Notify:
    """systemd's end of NOTIFY_SOCKET: every datagram with its arrival time."""

    def __init__(self, work):
        self.path = os.path.join(work, f"notify-{id(self)}")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.datagrams = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            self.datagrams.append((time.monotonic(), data.decode("utf-8", "replace")))

    def lines(self, prefix):
        return [(t, line) for t, d in list(self.datagrams) for line in d.split("\n") if line.startswith(prefix)]

    def longest_watchdog_gap(self, since=0.0):
        beats = [t for t, _ in self.lines("WATCHDOG=1") if t >= since]
        return max((b - a for a, b in zip(beats, beats[1:])), default=0.0), len(beats)

    def close(self):
        self.sock.close()


class Service:
    """The service under test with its records (stderr, parsed) and memory."""

    def __init__(self, binary, launcher, broker, work, env=None, wrapper=()):
        environment = dict(os.environ, **(env or {}))
        if broker is not None:
            environment["MQTT_BROKER"] = broker if isinstance(broker, str) else f"tcp://127.0.0.1:{broker}"
        for inherited in ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"):
            if inherited not in (env or {}):
                environment.pop(inherited, None)
        command = list(wrapper) + list(launcher) + [binary]
        self.log = os.path.join(work, f"service-{id(self)}.log")
        self.records, self.other = [], []
        self.proc = spawn(command, env=environment, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        with open(self.log, "wb") as out:
            for raw in self.proc.stderr:
                out.write(raw)
                out.flush()
                line = raw.decode("utf-8", "replace").rstrip("\n")
                m = RECORD.match(line)
                if m:
                    self.records.append(Record(*m.groups(), time.time()))
                else:
                    self.other.append(line)

    @property
    def pid(self):
        """The service's own process: under a wrapper that forks, its child."""
        try:
            with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                children = f.read().split()
        except OSError:
            children = []
        return int(children[0]) if children else self.proc.pid

    def status_kb(self, key, pid=None):
        with open(f"/proc/{pid or self.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        raise KeyError(key)

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def alive(self):
        return self.proc.poll() is None

    def with_text(self, text, level=None):
        return [r for r in list(self.records) if text in r.text and (level is None or r.level == level)]

    def levels(self):
        return collections.Counter(r.level for r in list(self.records))

    def wait_record(self, text, count=1, seconds=30):
        wait_until(lambda: len(self.with_text(text)) >= count or not self.alive(), seconds, 0.02,
                   f"{count} records of '{text}' (last: {self.tail(2)})")
        assert len(self.with_text(text)) >= count, f"the service ended ({self.proc.returncode}): {self.tail()}"
        return self.with_text(text)[count - 1]

    def tail(self, n=5):
        return [f"{r.time} {r.level} {r.text[:200]}" for r in self.records[-n:]] + self.other[-n:]

    def wait_exit(self, seconds):
        try:
            return self.proc.wait(seconds)
        finally:
            self.reader.join(5)

    def stop(self):
        if self.pid != self.proc.pid:  # under a wrapper that forks: the service first
            try:
                os.kill(self.pid, signal.SIGTERM)
            except OSError:
                pass
        stop(self.proc)
        self.reader.join(5)
