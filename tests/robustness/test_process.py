"""The process itself: retries against brokers it cannot use, idle CPU, and
valgrind's leak check of a run that ends through main."""

import os
import shutil
import subprocess
import time

import pytest

import model as checks
from processes import Mosquitto, free_port
from rig import concurrently
from test_link import run_for

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def voluntary_switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            total += sum(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches"))
    return total


def retries_tls(procs, seconds):
    """A TLS broker whose certificate names another host."""
    certs = os.path.join(procs.work, "certs")
    subprocess.run([os.path.join(ROOT, "scripts/lib/make-certificates.sh"), certs], check=True,
                   stdout=subprocess.DEVNULL)
    tls_port = free_port()
    broker = procs.keep(Mosquitto(procs.work, extra=f"listener {tls_port} 127.0.0.1\n"
                                  f"certfile {certs}/elsewhere.pem\nkeyfile {certs}/server.key"))
    service = procs.service(f"mqtts://localhost:{tls_port}", env={"MQTT_CA_FILE": f"{certs}/ca.pem"})
    run_for(seconds, broker.proc, service.proc)
    service.stop()
    broker.stop()  # its log is whole once it has exited
    return broker.log_count("alert bad certificate"), service


def retries_fake(procs, seconds, kind):
    """A server that accepts every connection and closes it at once (drop),
    or reads it and never answers (silent)."""
    fake = procs.helper(kind)
    service = procs.service(fake.port)
    run_for(seconds, fake.proc, service.proc)
    return len(fake.events("accept")), service


# name, its run, the fewest attempts in the time
RETRIES = (("TLS, a certificate for another host", retries_tls, 2),
           ("accept and drop", lambda procs, s: retries_fake(procs, s, "drop"), 2),
           ("never answers", lambda procs, s: retries_fake(procs, s, "silent"), 1))


def test_retries_against_brokers_it_cannot_use_grow_apart(procs, figure, long_form):
    """Pauses double up to 30 s for failures that repeat: at most 5 + t/8
    attempts (the bucket) in t seconds, and each reason told once."""
    seconds = 60 if long_form else 20
    runs = concurrently(*(lambda run=run: run(procs, seconds) for _, run, _ in RETRIES))
    for (name, _, fewest), (attempts, service) in zip(RETRIES, runs):
        figure(f"{name} ({seconds} s): {attempts} attempts, records {dict(service.levels())}")
        assert fewest <= attempts <= 5 + seconds / 8, f"{name}: {attempts} attempts in {seconds} s"
        checks.check_records(service, {"WARNING": 2, "ERROR": 0, "INFO": 0})


def test_idle_waiting_for_a_configuration_costs_no_cpu(procs, figure, long_form):
    seconds = 60 if long_form else 10
    broker = procs.broker()
    service = procs.service(broker.port)
    service.wait_record("Connected to")
    cpu0, woke0 = service.cpu_seconds(), voluntary_switches(service.pid)
    run_for(seconds, broker.proc, service.proc)
    cpu, woke = service.cpu_seconds() - cpu0, voluntary_switches(service.pid) - woke0
    figure(f"idle, no configuration ({seconds} s): CPU {cpu * 1000:.0f} ms, wake-ups of all threads {woke}, "
           f"RSS {service.status_kb('VmRSS')} kB, threads {service.status_kb('Threads')}")
    # A ping every 30 s and its answer; a clock tick (10 ms) more or less at the edges.
    assert cpu <= 0.02 + 0.001 * seconds, f"{cpu:.3f} s of CPU in {seconds} s"
    assert woke <= 4 + seconds / 10, f"{woke} wake-ups in {seconds} s"


@pytest.mark.skipif(not shutil.which("valgrind"), reason="valgrind is not installed")
def test_valgrind_finds_no_leak_in_a_run_that_ends_through_main(procs, figure):
    broker = procs.broker()
    from source import publish_configuration
    publish_configuration(broker.port, '{"version":2,"remote_ios":[{"id":"a","types":["t"]},{"id":5}]}')
    service = procs.service(broker.port, wrapper=("valgrind", "--leak-check=full",
                                                  "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=9"))
    start = time.monotonic()
    status = service.wait_exit(300)
    summary = [line.split("== ", 1)[-1] for line in service.other if "lost:" in line or "ERROR SUMMARY" in line]
    figure(f"valgrind, {time.monotonic() - start:.0f} s: exit status {status}; " + "; ".join(summary))
    assert status == 1, f"exit status {status} (9: a leak): {summary}"


# Typos of a TLS address aimed at a plain listener: each is refused at start.
TLS_TYPOS = ("mqtts//127.0.0.1:{port}", "mqtts:127.0.0.1:{port}", "ssl:{port}", "Mqtts:user:pw@127.0.0.1:{port}",
             "tcp//127.0.0.1:{port}")


@pytest.mark.parametrize("typo", TLS_TYPOS)
def test_a_typo_never_turns_tls_into_plain_tcp(procs, typo):
    broker = procs.broker()
    service = procs.service(typo.format(port=broker.port))
    status = service.wait_exit(20)
    errors = service.with_text("", "ERROR")
    assert status == 1 and len(errors) == 1 and "main:171" in errors[0].source, service.tail()
    assert "pw" not in errors[0].text.replace("***", ""), errors[0].text
    assert broker.log_count("as mqtt-external-source-data-getter") == 0, "it connected in plain text"
