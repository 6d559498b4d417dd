"""What the tree must show, from the configuration and the readings that
reached the service, and the validators of a run."""

import json
import time

from mqtt import wait_until
from source import DATA_TOPIC, read_tree

STALE_AFTER_S = 900
MEMORY_CAP_KB = 16 * 1024  # half the unit's MemoryMax=32M


def shown(value):
    """A double as the service prints it: 5, 21.5."""
    return str(int(value)) if float(value).is_integer() and abs(value) < 1e15 else repr(float(value))


class Model:
    def __init__(self, layout):
        self.layout = layout  # device -> control names, in order

    def announcements(self):
        tree = {}
        for device, controls in self.layout.items():
            tree[f"/devices/{device}/meta/name"] = device
            for order, control in enumerate(controls, 1):
                base = f"/devices/{device}/controls/{control}/meta/"
                tree.update({base + "type": "value", base + "readonly": "1", base + "order": str(order)})
        return tree

    def readings(self, delivered):
        """device -> (values by control, timestamp) of the last data message delivered per device."""
        out = {}
        for topic, payload in delivered.items():
            if not topic.startswith(DATA_TOPIC):
                continue
            try:
                message = json.loads(payload)
                device = message["io_id"]
                values = {c: float(r["avg"]) for c, r in message["data"].items()}
                stamp = int(message["timestamp"])
            except (ValueError, KeyError, TypeError, AttributeError):
                continue
            if device in self.layout and message.get("version") == 1 and topic == DATA_TOPIC + device:
                out[device] = ({c: v for c, v in values.items() if c in self.layout[device]}, stamp)
        return out

    def expected(self, delivered, now=None, swept=True):
        """The retained tree: announcements, each control's last delivered value,
        and its marker by the 900-second rule (cleared: no retained marker;
        a control without a reading is 'r' once the first sweep has run)."""
        now = time.time() if now is None else now
        tree = self.announcements()
        readings = self.readings(delivered)
        for device, controls in self.layout.items():
            values, stamp = readings.get(device, ({}, None))
            for control in controls:
                topic = f"/devices/{device}/controls/{control}"
                if control in values:
                    tree[topic] = shown(values[control])
                    if now - stamp > STALE_AFTER_S:
                        tree[topic + "/meta/error"] = "r"
                elif swept:
                    tree[topic + "/meta/error"] = "r"
        return tree

    def filters(self, exact=False):
        """What reads the tree: a filter per device, or each topic it can hold
        (for brokers that hand retained messages to exact subscriptions only)."""
        if not exact:
            return [f"/devices/{d}/#" for d in self.layout]
        topics = [f"/devices/{d}/meta/name" for d in self.layout]
        for device, controls in self.layout.items():
            for control in controls:
                base = f"/devices/{device}/controls/{control}"
                topics += [base] + [f"{base}/meta/{m}" for m in ("type", "readonly", "order", "error")]
        return topics


def difference(tree, want, show=6):
    """A short account of where tree differs from want."""
    missing = [t for t in want if t not in tree]
    extra = [t for t in tree if t not in want]
    wrong = [t for t in want if t in tree and tree[t] != want[t]]
    parts = []
    for name, topics in (("missing", missing), ("not expected", extra), ("other payload", wrong)):
        if topics:
            shown_topics = ", ".join(f"{t}={tree.get(t)!r} (want {want.get(t)!r})" for t in topics[:show])
            parts.append(f"{len(topics)} {name}: {shown_topics}")
    return "; ".join(parts) or "none"


def check_tree(port, model, delivered, seconds, swept=True, exact=False):
    """Waits until the retained tree equals the model (delivered() gives the
    readings the service got); returns the seconds it took."""
    start, last = time.monotonic(), {}

    def equal():
        tree, want = read_tree(port, model.filters(exact), exact=exact), model.expected(delivered(), swept=swept)
        last.update(tree=tree, want=want)
        return tree == want

    try:
        wait_until(equal, seconds, 0.1, "the tree to equal the model")
    except AssertionError:
        raise AssertionError(f"after {seconds} s the tree differs from the model: "
                             f"{difference(last['tree'], last['want'])}") from None
    return time.monotonic() - start


def check_history(history):
    back = history.went_back()
    assert not back, f"values went back to older readings: {dict(list(back.items())[:5])}"


def check_records(service, most):
    """most: level -> the most records of that level (levels not named: no bound)."""
    levels = service.levels()
    over = {level: (levels[level], n) for level, n in most.items() if levels[level] > n}
    assert not over, f"records over their bound (count, bound): {over}; last: {service.tail()}"


def check_memory(service, cap_kb=MEMORY_CAP_KB):
    peak = service.status_kb("VmHWM")
    assert peak < cap_kb, f"peak memory {peak} kB, over {cap_kb} kB"
    return peak


def check_alive(service):
    assert service.alive(), f"the service exited ({service.proc.returncode}): {service.tail()}"
