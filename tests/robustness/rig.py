"""A scenario's set-up: a private broker with the configuration retained, the
proxy, the service, the source, the model and a live history of values."""

import re
import signal
import threading
import time

import model as checks
from mqtt import wait_until
from processes import Aedes, Epmd, Helper, Mosquitto, Notify, RabbitMQ, Service
from source import DATA_TOPIC, History, Source, configuration, publish_configuration


def concurrently(*calls):
    """Runs each call in a thread of its own; their results, or the first exception."""
    results, errors = [None] * len(calls), []

    def run(i, call):
        try:
            results[i] = call()
        except BaseException as e:  # noqa: BLE001 - raised again below
            errors.append(e)
    threads = [threading.Thread(target=run, args=(i, c), daemon=True) for i, c in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


class Processes:
    """Everything a test started, stopped at its end by PID, newest first."""

    def __init__(self, work, binary, launcher):
        self.work, self.binary, self.launcher = work, binary, launcher
        self.started = []

    def keep(self, thing):
        self.started.append(thing)
        return thing

    def broker(self, store=False, extra="", kind="mosquitto"):
        if kind == "rabbitmq":
            return self.keep(RabbitMQ(self.work, store, extra, self.keep(Epmd(self.work))))
        return self.keep({"mosquitto": Mosquitto, "aedes": Aedes}[kind](self.work, store, extra))

    def helper(self, *args):
        return self.keep(Helper(*args))

    def proxy(self, broker_port):
        return self.helper("proxy", broker_port)

    def notify(self):
        return self.keep(Notify(self.work))

    def service(self, broker, env=None, wrapper=(), notify=None, watchdog_usec=None):
        env = dict(env or {})
        if notify is not None:
            env["NOTIFY_SOCKET"] = notify.path
            if watchdog_usec:
                env["WATCHDOG_USEC"] = str(watchdog_usec)
        return self.keep(Service(self.binary, self.launcher, broker, self.work, env, wrapper))

    def stop_all(self):
        for thing in reversed(self.started):
            close = getattr(thing, "stop", None) or getattr(thing, "close")
            try:
                close()
            except Exception:  # noqa: BLE001 - the others still stop
                pass


class Rig:
    def __init__(self, procs, devices, controls, proxy=True, store=False, stale=(), env=None,
                 broker_extra="", watchdog_usec=None, history=True, link_rate=None, names=(),
                 broker="mosquitto", configure_later=False):
        self.procs = procs
        self.broker = procs.broker(store, broker_extra, broker)
        self.config_text, self.layout = configuration(devices, controls, *names)
        if not configure_later:
            publish_configuration(self.broker.port, self.config_text)
        self.proxy = procs.proxy(self.broker.port) if proxy else None
        if link_rate:
            self.proxy("rate", "up", link_rate)
            self.proxy("rate", "down", link_rate)
        self.notify = procs.notify()
        self.service = procs.service(self.proxy.port if proxy else self.broker.port, env,
                                     notify=self.notify, watchdog_usec=watchdog_usec)
        if configure_later:  # once the service, connected, waits for it
            wait_until(lambda: self.notify.lines("STATUS=waiting for the configuration") or not self.service.alive(),
                       30, 0.02, "the service to wait for its configuration")
            publish_configuration(self.broker.port, self.config_text)
        self.model = checks.Model(self.layout)
        self.history = procs.keep(History(self.broker.port)) if history else None
        self.source = procs.keep(Source(self.broker.port, self.layout, stale))
        self.started = time.monotonic()

    def configured(self, seconds=60):
        """Waits until the service has applied its configuration (its status says so)."""
        wait_until(lambda: self.notify.lines("STATUS=connected") and
                   "device" in self.notify.lines("STATUS=connected")[-1][1] or not self.service.alive(),
                   seconds, 0.05, "the service's configured status")
        checks.check_alive(self.service)

    def handled(self):
        """Data messages handled, as the last status line counts them."""
        status = self.notify.lines("STATUS=connected")
        counted = re.search(r"; ([\d,]+) messages?", status[-1][1]) if status else None
        return int(counted.group(1).replace(",", "")) if counted else 0

    def flowing(self, seconds=60):
        """Sends rounds until every device's reading has reached the service."""
        self.configured(seconds)
        devices = set(self.layout)

        def reached():
            self.source.send()
            got = self.delivered_topics() if self.proxy else self.shown_devices()
            return devices <= got or not self.service.alive()
        wait_until(reached, seconds, 0.2, "readings to reach the service")
        checks.check_alive(self.service)

    def delivered(self):
        """What reached the service: the proxy's count, or without one, what the broker accepted."""
        return self.proxy("delivered") if self.proxy else self.source.accepted_readings()

    def delivered_topics(self):
        return {t[len(DATA_TOPIC):] for t in self.delivered() if t.startswith(DATA_TOPIC)}

    def shown_devices(self):
        from source import read_tree
        tree = read_tree(self.broker.port, [f"/devices/{d}/controls/+" for d in self.layout])
        return {t.split("/")[2] for t in tree}

    def restart_broker(self, store, sig=signal.SIGKILL):
        """Kills the broker and starts it again on its port; without its store the
        configuration is retained again, as an integrator's store would keep it."""
        back = self.broker.restart(store=store, sig=sig)
        if not store:
            publish_configuration(self.broker.port, self.config_text)
        return back

    def quiet(self, seconds=30):
        """Waits until every reading sent has its PUBACK, or was lost with a connection."""
        wait_until(lambda: self.source.settled() or self.source.client is None or self.source.client.closed,
                   seconds, 0.02, "the source's acknowledgements")

    def check(self, seconds, swept=None):
        """Once the source is quiet: the tree equals the model within seconds;
        values never went back; the service is alive."""
        self.quiet()
        if swept is None:
            swept = time.monotonic() - self.started > 8
        took = checks.check_tree(self.broker.port, self.model, self.delivered, seconds, swept,
                                 self.broker.exact_retained)
        if self.history:
            checks.check_history(self.history)
        checks.check_alive(self.service)
        return took

    def accounting(self):
        """What the source had accepted against what reached the service: reported, not blamed."""
        state = self.proxy("state")["counts"] if self.proxy else {}
        delivered = state.get("readings", self.source.accepted)
        return (f"{self.source.sent} readings sent, {self.source.accepted} accepted by the broker "
                f"({self.source.failed} lost before it), {delivered} delivered to the service, "
                f"{max(0, self.source.accepted - delivered)} never delivered (not blamed); the link lost "
                f"{state.get('lost_down', 0)} publications down and {state.get('lost_up_bytes', 0)} bytes up "
                f"with {state.get('cuts', 0)} cuts")
