"""Options and fixtures of the robustness suite.

  /usr/bin/python3 -m pytest tests/robustness [-k NAME] [--service PATH]
      [--launcher qemu-arm] [--seed N | --seeds N] [--figures] [-m interop]

Tests marked interop (other brokers: RabbitMQ, aedes) run only when -m
names them (scripts/test interop).

--figures runs the long forms and prints the figures table at the end;
ROBUST_FIGURES=1 prints it for the short forms."""

import os
import random
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

from rig import Processes, Rig  # noqa: E402

DEFAULT_SERVICE = "build/host/src/services/external-source-data-getter/external-source-data-getter"
CI_SEEDS = (1, 2, 3)
FIGURES = []


def pytest_addoption(parser):
    group = parser.getgroup("robustness")
    group.addoption("--service", default=os.environ.get("ROBUST_SERVICE", DEFAULT_SERVICE),
                    help="the service binary under test (default: the host build's)")
    group.addoption("--launcher", default=os.environ.get("ROBUST_LAUNCHER", ""),
                    help="what runs the binary, e.g. qemu-arm for the ARM build")
    group.addoption("--seed", type=int, action="append", default=[],
                    help="run the nemesis with this seed (repeatable)")
    group.addoption("--seeds", type=int, default=0, help="run the nemesis with this many random seeds")
    group.addoption("--figures", action="store_true",
                    help="long forms of the long scenarios, and the figures table at the end")


def pytest_configure(config):
    config.addinivalue_line("markers", "slowlink: a slow or stalled link to the broker")
    config.addinivalue_line("markers", "interop: against RabbitMQ and aedes as well (opt-in: -m interop)")


def pytest_collection_modifyitems(config, items):
    if config.getoption("-m"):
        return
    kept = [i for i in items if i.get_closest_marker("interop") is None]
    if len(kept) < len(items):
        config.hook.pytest_deselected(items=[i for i in items if i.get_closest_marker("interop")])
        items[:] = kept


def pytest_generate_tests(metafunc):
    if "seed" in metafunc.fixturenames:
        seeds = list(metafunc.config.getoption("--seed"))
        if metafunc.config.getoption("--seeds"):
            seeds += random.Random().sample(range(1, 10**6), metafunc.config.getoption("--seeds"))
        metafunc.parametrize("seed", seeds or list(CI_SEEDS), ids=lambda s: f"seed{s}")


@pytest.fixture(scope="session")
def binary(pytestconfig):
    path = pytestconfig.getoption("--service")
    path = path if os.path.isabs(path) else os.path.join(ROOT, path)
    if not os.access(path, os.X_OK):
        pytest.fail(f"no service binary at {path}: build it (scripts/test builds build/host) or pass --service")
    return path


@pytest.fixture(scope="session")
def launcher(pytestconfig):
    return pytestconfig.getoption("--launcher").split()


@pytest.fixture(scope="session")
def long_form(pytestconfig):
    """True with --figures: the scenarios at their full durations and sizes."""
    return pytestconfig.getoption("--figures")


@pytest.fixture
def procs(tmp_path, binary, launcher):
    p = Processes(str(tmp_path), binary, launcher)
    os.chmod(tmp_path, 0o777)
    yield p
    p.stop_all()


@pytest.fixture
def rig(procs):
    """rig(devices, controls, **options): a configured service behind the proxy."""
    return lambda devices, controls, **options: Rig(procs, devices, controls, **options)


@pytest.fixture
def figure(request):
    """figure(text): a line of the figures table, under the test's name."""
    return lambda text: FIGURES.append((request.node.name, text))


def pytest_terminal_summary(terminalreporter, config):
    if (config.getoption("--figures") or os.environ.get("ROBUST_FIGURES")) and FIGURES:
        terminalreporter.section("figures")
        for name, text in FIGURES:
            terminalreporter.write_line(f"{name}: {text}")
