"""Other brokers: the service against RabbitMQ (its MQTT plugin) and aedes
as against mosquitto, and what each of them does differently. Opt-in:
-m interop (scripts/test interop)."""

import os
import signal
import threading

import pytest

import model as checks
import mqtt
from source import DATA_TOPIC, SENTINEL, read_tree

pytestmark = pytest.mark.interop
BROKERS = ("mosquitto", "rabbitmq", "aedes")


@pytest.mark.parametrize("broker", BROKERS)
@pytest.mark.parametrize("published", ["before", "after"])
def test_announcements_and_readings(rig, broker, published):
    r = rig(20, 5, broker=broker, configure_later=published == "after")
    r.configured()
    announced = r.model.announcements()
    mqtt.wait_until(lambda: announced.items() <= read_tree(
        r.broker.port, r.model.filters(r.broker.exact_retained), exact=r.broker.exact_retained).items(),
        10, 0.1, "every announcement retained")
    r.flowing()
    r.source.burst(count=3000)
    r.check(10)
    checks.check_records(r.service, {"ERROR": 0, "WARNING": 0})


@pytest.mark.parametrize("broker", BROKERS)
@pytest.mark.parametrize("outage", ["restart", "paused-10s"])
def test_the_tree_is_whole_after_the_broker_was_away(rig, broker, outage):
    """restart: killed and started again without its store (the configuration
    published again, as an integrator's would be); paused: SIGSTOP for 10 s."""
    r = rig(20, 5, broker=broker)
    r.flowing()
    stop = threading.Event()
    flow = r.source.flow(100, stop)
    try:
        if outage == "restart":
            r.proxy("refuse", "close")  # the broker's port refuses connections while it is away
            r.restart_broker(store=False)
            r.proxy("refuse", None)
        else:
            os.kill(r.broker.proc.pid, signal.SIGSTOP)
            try:
                stop.wait(10)
            finally:
                os.kill(r.broker.proc.pid, signal.SIGCONT)
        carried = lambda: r.proxy("state")["counts"].get("readings", 0)  # noqa: E731
        back = carried()
        mqtt.wait_until(lambda: carried() > back + 100, 60, 0.1, "readings to flow again")
    finally:
        stop.set()
        flow.join()
    r.check(30)


# name: (the configuration, the device whose data topic RabbitMQ rewrites,
# the topic or id it comes back as there, the texts told once each at start;
# a record naming both counts for the first)
REWRITTEN = {
    "dot": ({"site.a": ["t.x", "hum"], "plain": ["temp"]}, "site.a", DATA_TOPIC + "site/a", ("t.x", "site.a")),
    "wildcard": ({"a*b": ["temp"], "plain": ["temp"]}, "a*b", "a+b", ()),
}


@pytest.mark.parametrize("broker", BROKERS)
@pytest.mark.parametrize("case", REWRITTEN)
def test_rewritten_topics(rig, broker, case):
    """RabbitMQ hands a reading on .../site.a back as .../site/a, one on
    .../a*b as .../a+b: the service drops it with a WARNING (once a minute)
    and keeps the connection; plain's readings all get through."""
    layout, odd, back, at_start = REWRITTEN[case]
    r = rig(layout, None, broker=broker)
    r.configured()
    stop = threading.Event()
    flow = r.source.flow(10.5, stop, ["plain"] * 20 + [odd])
    stop.wait(10)
    stop.set()
    flow.join()
    r.quiet()
    assert not r.service.with_text("lost:") and len(r.proxy.events("accept")) == 1, \
        f"the connection did not hold: {r.service.tail()}"
    plain = "/devices/plain/controls/temp"
    mqtt.wait_until(lambda: r.history.values.get(plain, [])[-1:] == [r.source.rounds["plain"]], 10, 0.05,
                    "plain's last reading shown")
    assert r.history.values[plain] == list(range(1, r.source.rounds["plain"] + 1)), "plain lost readings"
    shown = layout if broker != "rabbitmq" else {"plain": layout["plain"]}
    checks.check_tree(r.broker.port, checks.Model(shown), r.delivered, 10, True, r.broker.exact_retained)
    warnings = r.service.with_text("", "WARNING")
    for text in at_start:
        told = [w for w in warnings if text in w.text]
        warnings = [w for w in warnings if text not in w.text]
        assert len(told) == 1, f"'{text}' told {len(told)} times: {r.service.tail()}"
    dropped = r.service.with_text(back, "WARNING")
    assert len(dropped) == (broker == "rabbitmq"), f"'{back}' told {len(dropped)} times: {r.service.tail()}"
    checks.check_alive(r.service)


# broker: (its configuration for the check, a /devices/# subscriber gets the
# retained tree, the answer to a QoS 2 PUBLISH, the service's record of its
# refusal of an anonymous login)
FACTS = {
    "mosquitto": ("", True, mqtt.PUBREC, None),
    "rabbitmq": ("mqtt.allow_anonymous = false", False, mqtt.PUBACK, "bad user name or password"),
    "aedes": ("", True, mqtt.PUBREC, None),
}


@pytest.mark.parametrize("broker", BROKERS)
def test_what_each_broker_does_differently(procs, broker):
    extra, to_wildcards, qos2_answer, refused = FACTS[broker]
    b = procs.broker(extra=extra, kind=broker)
    login = ("guest", "guest") if refused else None
    answers = []
    client = procs.keep(mqtt.Client(b.port, "robust-facts", login=login,
                                    on_puback=lambda pid: answers.append((mqtt.PUBACK, pid)),
                                    on_pubrec=lambda pid: answers.append((mqtt.PUBREC, pid))))
    for topic in ("/devices/boiler/meta/name", SENTINEL):
        client.publish(topic, "1", qos=1, retain=True)
    mqtt.wait_until(lambda: len(answers) == 2, 10, 0.01, "the retained publications in")
    for topic in ("/devices/#", "/devices/boiler/meta/name"):
        seen = set()
        reader = procs.keep(mqtt.Client(b.port, f"robust-facts-{len(topic)}", lambda t, p, retain: seen.add(t),
                                        login=login))
        reader.subscribe([topic])
        reader.subscribe([SENTINEL])  # its retained copy comes after those of the filter before
        mqtt.wait_until(lambda: SENTINEL in seen, 10, 0.01, "the sentinel")
        assert ("/devices/boiler/meta/name" in seen) == (to_wildcards or "#" not in topic), topic
    pid = client.publish("/robust/qos2", "1", qos=2)
    mqtt.wait_until(lambda: answers[2:], 10, 0.01, "the answer to QoS 2")
    assert answers[2] == (qos2_answer, pid)
    if refused:
        procs.service(b.port).wait_record(refused, seconds=30)


# broker: the line a mosquitto bridge to it needs to carry /devices/# out and
# stay connected (RabbitMQ refuses the bridge's private CONNECT; aedes drops
# the connection on the bridge's $SYS/ notification)
BRIDGED = {"rabbitmq": "try_private false", "aedes": "notifications false"}


@pytest.mark.parametrize("broker", BRIDGED)
def test_a_mosquitto_bridge_to_each_broker(procs, broker):
    remote = procs.broker(kind=broker)
    seen = {}
    watcher = procs.keep(mqtt.Client(remote.port, "robust-bridged", lambda t, p, retain: seen.setdefault(t, p)))
    watcher.subscribe(["/devices/without/meta/name", "/devices/with/meta/name"])
    bridges = {}
    for name, line in (("without", ""), ("with", BRIDGED[broker])):
        bridges[name] = procs.broker(extra=f"connection to-{broker}\naddress 127.0.0.1:{remote.port}\n"
                                           f"remote_clientid robust-bridge-{name}\ntopic /devices/# out 0\n{line}")
        local = procs.keep(mqtt.Client(bridges[name].port, f"robust-local-{name}"))
        local.publish(f"/devices/{name}/meta/name", name, retain=True)
    attempts = lambda name: bridges[name].log_count("Connecting bridge (step 1)")  # noqa: E731
    mqtt.wait_until(lambda: attempts("without") >= 2, 30, 0.1, "the bridge without the line to try again")
    mqtt.wait_until(lambda: "/devices/with/meta/name" in seen, 10, 0.05, "the tree carried out")
    assert "/devices/without/meta/name" not in seen
    assert attempts("with") == 1, "the bridge with the line did not stay connected"
