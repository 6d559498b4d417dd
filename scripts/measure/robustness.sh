#!/usr/bin/env bash
# Measures the service under faults and load and prints the figures:
#   reconnect  time from a restarted broker accepting connections to the
#              first value the service publishes again (5 restarts)
#   idle       CPU of the service waiting for a configuration that never comes
#   burst      peak memory under a burst far above the sustainable rate, and
#              that new messages are handled normally afterwards
#   malformed  malformed messages: one record each, memory before and after
#   large      30 malformed messages of 1 MiB in a second: peak memory and the
#              longest record
#   retries    attempts in RETRY_SECONDS (60) against a TLS broker whose
#              certificate names another host, and against a server that
#              accepts and drops every connection
#   soak       resident memory and threads over a steady stream
#   leaks      valgrind's leak check of a run that ends through main
#   memory     resident memory, idle, with 100 devices of 10 controls
#              (TARGET=1: the ARM build under qemu-arm, emulator included)
#   restore    a broker that comes back without its retained messages: how
#              many of 100 values, markers and announcements are back, and
#              how long after the service reconnects
#   cuts       5 cuts of the service's link (a proxy) while readings flow,
#              the last right after the last round, with the way up stalled
#              from that round on: controls whose value is the last reading
#              delivered to the service, and what the link itself lost
#   hung       a broker that stops reading and floods the service until its
#              send blocks, in steady state and while the service announces
#              3000 devices: time until the service connects again (HUNG_SECONDS, 150)
#   overload   20,000 messages of about 4 KiB for 1 device of 200 controls, and
#              a 10 s burst flat out for 20 devices of 5: values that are the
#              last reading, and what the service and mosquitto dropped
#   configurations  peak memory reading a configuration of about 1.5 MiB:
#              of version 3 (ignored), faulty ones of many small entries, and
#              the largest valid one
#   pacing     how often the service connects and how much it records, three
#              runs at once, each with its own service: a server that takes a
#              connection, answers CONNACK, closes it 5 ms later and stops
#              listening for 30 ms, again and again (ALTERNATING_SECONDS, 60);
#              mosquitto behind a proxy that cuts every connection 5.05 s
#              after it was accepted (KEPT_SECONDS, 120); and a link cut 20
#              times, each 1 s after the connection was accepted, while
#              readings flow (FLAP_SECONDS at most, 200): connections and
#              records per minute, and the outages after the cuts
#   scripts/measure/robustness.sh [CHECK...]        (default: all)
# Durations: IDLE_SECONDS (60), SOAK_SECONDS (300), MALFORMED (1000000).
# Fails when the service exits where it must not, valgrind finds a leak, or
# a scenario cannot run; the figures themselves are for reading.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/harness.sh

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(reconnect idle burst malformed large retries soak leaks memory configurations restore cuts hung overload pacing)
build_service
hz=$(getconf CLK_TCK)

# The load tool, for this machine even with TARGET=1; built once.
load_tool() {
  if [ -z "${load:-}" ]; then
    [ -e build/host/CMakeCache.txt ] || configure_build build/host
    cmake --build build/host -j"$(nproc)" --target esdg-load >/dev/null
    load=build/host/bench/esdg-load
  fi
}

# Starts broker and service with devices io0 ... (controls c0 ...) configured,
# and waits until the service runs its message loop. The broker listens on
# broker_port when set; the service connects to service_port when set (a
# proxy's), else to the broker.
start_configured() {
  port=${broker_port:-$(free_port)}
  start_broker "$port"
  configure "$port" "${1:-1}" "${2:-1}"
  start_service "$binary" "${service_port:-$port}" "${@:3}" "${launcher[@]}"
  wait_log "$work/mosquitto.log" "as mqtt-external-source-data-getter" 30
  # The bootstrap pauses 5 s; the first value marks the loop as running.
  for _ in $(seq 400); do
    mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -m "$(data_message 0 1 "$(date +%s)")"
    v=$(timeout 0.5 mosquitto_sub -p "$port" -C 1 -t /devices/io0/controls/c0 2>/dev/null || true)
    [ -n "$v" ] && return 0
  done
  echo "the service never published a value" >&2
  return 1
}

check_reconnect() {
  harness_init
  start_configured
  local times=()
  for i in 1 2 3 4 5; do
    stop_broker
    sleep 1
    start_broker "$port"
    local t0
    t0=$(date +%s%N)
    mosquitto_sub -p "$port" -C 1 -t /devices/io0/controls/c0 >/dev/null &
    local sub=$!
    # A source that publishes every 20 ms, as a real one would keep doing.
    local deadline=$((SECONDS + 30))
    until ! kill -0 "$sub" 2>/dev/null; do
      [ $SECONDS -lt $deadline ] || { echo "no value 30 s after the broker restarted" >&2; return 1; }
      mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -m "$(data_message 0 "$i" "$(date +%s)")" 2>/dev/null || true
      sleep 0.02
    done
    times+=("$(( ($(date +%s%N) - t0) / 1000000 ))")
  done
  kill -0 "$service_pid" || { echo "the service exited" >&2; return 1; }
  echo "reconnect: values flow again ${times[*]} ms after the broker accepts connections (5 restarts); the service told $(grep -c 'Connected to' "$service_log") of its connections (each trouble once), never exited"
  harness_cleanup
}

check_idle() {
  local seconds=${IDLE_SECONDS:-60}
  harness_init
  port=$(free_port)
  start_broker "$port"
  start_service "$binary" "$port"
  wait_log "$work/mosquitto.log" "as mqtt-external-source-data-getter" 30
  sleep 1
  local c0 c1 s0 s1
  c0=$(cpu_ticks "$service_pid")
  s0=$(cat /proc/"$service_pid"/task/*/status | awk '/^voluntary_ctxt_switches/ {s += $2} END {print s}')
  sleep "$seconds"
  c1=$(cpu_ticks "$service_pid")
  s1=$(cat /proc/"$service_pid"/task/*/status | awk '/^voluntary_ctxt_switches/ {s += $2} END {print s}')
  echo "idle (no configuration, ${seconds} s): CPU $(( (c1 - c0) * 1000 / hz )) ms ($(awk -v t=$((c1 - c0)) -v s="$seconds" -v hz="$hz" 'BEGIN {printf "%.3f", 100 * t / hz / s}') %), wake-ups of all threads $((s1 - s0)), RSS $(rss_kb "$service_pid") kB, threads $(threads "$service_pid")"
  harness_cleanup
}

check_burst() {
  harness_init
  start_configured
  local rss0 n=200000
  rss0=$(rss_kb "$service_pid")
  local now
  now=$(date +%s)
  for ((i = 0; i < n; i++)); do data_message 0 "$i" "$now"; echo; done > "$work/burst.txt"
  mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -l < "$work/burst.txt"
  sleep 2
  local hwm
  hwm=$(hwm_kb "$service_pid")
  # Afterwards a new message is handled as usual.
  local value=""
  for _ in $(seq 100); do
    mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -m "$(data_message 0 424242 "$(date +%s)")"
    # The retained value, then the next one: whichever way the race between
    # this subscriber and the service goes, 424242 is among them.
    value=$(timeout 1 mosquitto_sub -p "$port" -C 2 -t /devices/io0/controls/c0 2>/dev/null | grep -x 424242 | head -1 || true)
    [ "$value" = 424242 ] && break
  done
  [ "$value" = 424242 ] || { echo "no value after the burst" >&2; return 1; }
  local dropped
  dropped=$(grep -o 'dropped [0-9]*' "$service_log" | awk '{s += $2} END {print s + 0}')
  echo "burst ($n messages at once): RSS ${rss0} kB before, peak ${hwm} kB; service dropped ${dropped} (logged), broker dropped $(grep -c 'dropped' "$work/mosquitto.log" || true) times; a new message afterwards was handled"
  harness_cleanup
}

check_malformed() {
  local n=${MALFORMED:-1000000}
  harness_init
  start_configured
  local rss0
  rss0=$(rss_kb "$service_pid")
  seq "$n" | sed 's/^/malformed /' > "$work/malformed.txt"
  # In chunks smaller than the service's receive queue, each sent once the
  # previous one is logged, so that nothing has to be dropped.
  split -a 4 -l 800 "$work/malformed.txt" "$work/chunk."
  local sent=0 peak=$rss0 r end
  for f in "$work"/chunk.*; do
    mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -l < "$f"
    sent=$((sent + $(wc -l < "$f")))
    end=$((SECONDS + 30))
    until tail -n 1 "$service_log" | grep -qE "malformed ${sent}\$"; do
      [ $SECONDS -lt $end ] || { echo "record of message $sent missing" >&2; return 1; }
      sleep 0.01
    done
    if [ $((sent % 100000)) -eq 0 ]; then r=$(rss_kb "$service_pid"); [ "$r" -gt "$peak" ] && peak=$r; fi
  done
  local records
  records=$(grep -c 'Ошибка обработки: malformed' "$service_log")
  echo "malformed ($n messages): $records records (one per message: $([ "$records" -eq "$n" ] && echo yes || echo no)) ($(grep -c 'ERROR' "$service_log") ERROR lines in all), RSS ${rss0} kB before, ${peak} kB peak, $(rss_kb "$service_pid") kB after"
  harness_cleanup
}

check_large() {
  harness_init
  start_configured
  local topic=/qv/bridge/thirdparty_data/io0 n=30
  # The largest message the client takes: a remaining length of 1 MiB.
  head -c $((1048576 - 2 - ${#topic})) /dev/zero | tr '\0' '\1' > "$work/large.bin"
  local rss0 start=$SECONDS
  rss0=$(rss_kb "$service_pid")
  for ((i = 0; i < n; i++)); do mosquitto_pub -p "$port" -t "$topic" -f "$work/large.bin"; done
  local sent=$((SECONDS - start)) end=$((SECONDS + 60))
  until [ "$(grep -c 'Ошибка обработки' "$service_log")" -ge "$n" ]; do
    [ $SECONDS -lt $end ] || { echo "not every large message was logged" >&2; return 1; }
    sleep 0.1
  done
  echo "large ($n messages of 1 MiB in ${sent} s): RSS ${rss0} kB before, peak $(hwm_kb "$service_pid") kB; longest record $(LC_ALL=C awk '{ if (length($0) > m) m = length($0) } END { print m }' "$service_log") bytes, log $(stat -c %s "$service_log") bytes"
  harness_cleanup
}

check_retries() {
  local seconds=${RETRY_SECONDS:-60}
  harness_init
  scripts/lib/make-certificates.sh "$work/certs" >/dev/null
  local tls_port
  tls_port=$(free_port)
  port=$(free_port)
  BROKER_EXTRA="listener $tls_port 127.0.0.1
certfile $work/certs/elsewhere.pem
keyfile $work/certs/server.key" start_broker "$port"
  export MQTT_BROKER=mqtts://localhost:$tls_port MQTT_CA_FILE=$work/certs/ca.pem
  start_service "$binary" 0
  unset MQTT_CA_FILE
  sleep "$seconds"
  kill "$service_pid"
  wait "$service_pid" 2>/dev/null || true
  stop_broker  # its log is complete once it has exited
  local handshakes  # mosquitto logs each failed one
  handshakes=$(grep -c "Client connection from .* failed: .*alert bad certificate" "$work/mosquitto.log" || true)
  local records
  records=$(grep -c 'WARNING' "$service_log" || true)

  # A server that accepts every connection and closes it at once.
  local drop_port
  drop_port=$(free_port)
  /usr/bin/python3 - "$drop_port" "$work/accepted" <<'PY' &
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(16)
n = 0
while True:
    c, _ = s.accept()
    c.close()
    n += 1
    open(sys.argv[2], "w").write(str(n))
PY
  pids+=($!)
  wait_port "$drop_port"
  export MQTT_BROKER=tcp://127.0.0.1:$drop_port
  start_service "$binary" 0
  sleep "$seconds"
  echo "retries (${seconds} s each): $handshakes TLS handshakes against a certificate for another host ($records WARNING records); $(cat "$work/accepted") connections to a server that accepts and drops ($(grep -c WARNING "$service_log" || true) WARNING records)"
  harness_cleanup
}

check_soak() {
  local seconds=${SOAK_SECONDS:-300} rate=200
  harness_init
  start_configured 10 4
  local rss0 thr0 end samples=()
  rss0=$(rss_kb "$service_pid")
  thr0=$(threads "$service_pid")
  end=$((SECONDS + seconds))
  while [ $SECONDS -lt $end ]; do
    local now
    now=$(date +%s)
    for ((i = 0; i < rate; i++)); do data_message $((i % 10)) "$i" "$now"; echo; done |
      mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -l
    samples+=("$(rss_kb "$service_pid")")
    [ $(( ${#samples[@]} % 60 )) -ne 0 ] || echo "  soak: $((${#samples[@]} / 60)) min, RSS ${samples[*]: -1} kB, threads $(threads "$service_pid")"
    sleep 1
  done
  kill -0 "$service_pid" || { echo "the service exited" >&2; return 1; }
  echo "soak (${seconds} s at ~${rate} messages/s): RSS ${rss0} kB at start, ${samples[*]: -1} kB at end (min $(printf '%s\n' "${samples[@]}" | sort -n | head -1), max $(printf '%s\n' "${samples[@]}" | sort -n | tail -1)); threads ${thr0} -> $(threads "$service_pid")"
  harness_cleanup
}

check_leaks() {
  harness_init
  port=$(free_port)
  start_broker "$port"
  mosquitto_pub -p "$port" -r -t /qv/bridge/configuration -m '{"version":2,"remote_ios":[{"id":"a","types":["t"]},{"id":5}]}'
  start_service "$binary" "$port" valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=9
  local status=0
  timeout 300 tail --pid="$service_pid" -f /dev/null || kill "$service_pid" 2>/dev/null || true
  wait "$service_pid" || status=$?
  grep -E 'definitely lost|indirectly lost|ERROR SUMMARY' "$service_log" | sed 's/^==[0-9]*== //'
  [ "$status" -eq 1 ] || { echo "leak check: exit status $status" >&2; return 1; }
  echo "leaks: none definite or indirect (the run ended through main with status 1)"
  harness_cleanup
}

check_memory() {
  harness_init
  start_configured 100 10
  sleep 10  # past the first watchdog sweep of 1000 markers
  echo "memory (100 devices x 10 controls, idle${TARGET:+, ARM under qemu-arm}): RSS $(rss_kb "$service_pid") kB, peak $(hwm_kb "$service_pid") kB, threads $(threads "$service_pid")"
  harness_cleanup
}

# A service record's time in ms since 1970.
record_ms() {
  date -d "${1%% *}" +%s%3N
}

# The expected publications ("topic payload") that arrived in a watcher's
# output ("time topic payload"), per kind, and the last one's delay after
# t0 (ms since 1970); succeeds once all have arrived.
restore_figures() {  # expected watch t0
  /usr/bin/python3 - "$@" <<'PY'
import re, sys
want, arrived = {}, {}
for line in open(sys.argv[1]):
    topic, _, payload = line.rstrip("\n").partition(" ")
    want[topic] = payload.strip()
for line in open(sys.argv[2], errors="replace"):
    at, _, rest = line.rstrip("\n").partition(" ")
    topic, _, payload = rest.partition(" ")
    if topic in want and topic not in arrived and want[topic] == payload.strip():
        arrived[topic] = float(at) * 1000 - int(sys.argv[3])
def kind(topic):
    if topic.endswith("/meta/error"):
        return "markers cleared"
    return "values" if re.search(r"/controls/[^/]+$", topic) else "announcements"
parts = []
for k in ("values", "markers cleared", "announcements"):
    topics = [t for t in want if kind(t) == k]
    delays = [arrived[t] for t in topics if t in arrived]
    last = f", the last {max(delays):.0f} ms after it" if delays else ""
    parts.append(f"{k} {len(delays)} of {len(topics)}{last}")
print("; ".join(parts))
sys.exit(0 if len(arrived) == len(want) else 1)
PY
}

check_restore() {
  local devices=20 controls=5 BROKER_EXTRA="log_type subscribe"
  harness_init
  start_configured "$devices" "$controls"
  # One round of distinct values, 1000 + 5 * device + control, read now.
  local d c control now
  now=$(date +%s)
  for ((d = 0; d < devices; d++)); do
    mosquitto_pub -p "$port" -t "/qv/bridge/thirdparty_data/io$d" \
      -m "$(data_message "$d" $((1000 + controls * d)) "$now" "$controls")"
    echo "/devices/io$d/meta/name io$d"
    for ((c = 0; c < controls; c++)); do
      control=/devices/io$d/controls/c$c
      printf '%s %s\n' "$control" $((1000 + controls * d + c)) "$control/meta/error" "" \
        "$control/meta/type" value "$control/meta/readonly" 1 "$control/meta/order" $((c + 1))
    done
  done >"$work/expected"
  local values=$((devices * controls)) end=$((SECONDS + 30))
  grep -E '/controls/c[0-9]+ ' "$work/expected" | LC_ALL=C sort >"$work/expected.values"
  until [ "$(retained "$port" '/devices/+/controls/+' "$values" | LC_ALL=C sort |
             LC_ALL=C comm -12 - "$work/expected.values" | wc -l)" -eq "$values" ]; do
    [ $SECONDS -lt $end ] || { echo "the values were never all retained" >&2; return 1; }
    sleep 0.1
  done

  # The service stays stopped until a watcher listens on the new broker, so
  # that the watcher sees every publication, cleared markers (empty, never
  # retained) included.
  local connected t0
  connected=$(grep -c 'Connected to' "$service_log")
  kill -STOP "$service_pid"
  kill -KILL "$broker_pid"
  wait "$broker_pid" 2>/dev/null || true
  start_broker "$port"
  mosquitto_sub -p "$port" -i esdg-restore-watch -F '%U %t %p' -t '/devices/#' >"$work/watch" &
  pids+=($!)
  wait_log "$work/mosquitto.log" "esdg-restore-watch 0 /devices/#" 10
  kill -CONT "$service_pid"
  wait_count "$service_log" "Connected to" $((connected + 1)) 30
  t0=$(record_ms "$(grep 'Connected to' "$service_log" | sed -n "$((connected + 1))p")")
  until restore_figures "$work/expected" "$work/watch" "$t0" >/dev/null; do
    [ "$(date +%s%3N)" -lt $((t0 + 5000)) ] || break
    sleep 0.1
  done
  local waited=$(( ($(date +%s%3N) - t0) / 1000 )) back
  kill -0 "$service_pid" || { echo "the service exited" >&2; return 1; }
  back=$(retained "$port" '/devices/+/controls/+' "$values" | LC_ALL=C sort |
         LC_ALL=C comm -12 - "$work/expected.values" | wc -l)
  echo "restore ($devices x $controls, broker killed and restarted without its store): $back of $values values retained again ${waited} s after the service reconnected; seen after the reconnection: $(restore_figures "$work/expected" "$work/watch" "$t0" || true)"
  harness_cleanup
}

# Controls whose retained value ("topic value" lines) is the value of the
# last data message the proxy delivered to the service, the messages lost on
# the link both ways, and how long after each cut the service connected again.
cut_figures() {  # proxy-state proxy-events values
  /usr/bin/python3 - "$@" <<'PY'
import json, sys
state = json.load(open(sys.argv[1]))
expected = {}
for topic, payload in state["last"].items():
    if not topic.startswith("/qv/bridge/thirdparty_data/"):
        continue
    try:
        message = json.loads(payload)
        for name, reading in message["data"].items():
            expected[f"/devices/{message['io_id']}/controls/{name}"] = float(reading["avg"])
    except (ValueError, KeyError, TypeError):
        continue
values = {}
for line in open(sys.argv[3]):
    topic, _, payload = line.strip().partition(" ")
    values[topic] = payload
same = older = newer = none = 0
for topic, want in expected.items():
    if topic not in values:
        none += 1
    elif float(values[topic]) == want:
        same += 1
    elif float(values[topic]) < want:
        older += 1
    else:
        newer += 1
cuts, accepts = [], []
for line in open(sys.argv[2]):
    at, what = line.split()[:2]
    (cuts if what == "cut" else accepts if what == "accept" else []).append(float(at))
delays = [min([a for a in accepts if a > c], default=c) - c for c in cuts]
print(f"{same} of {len(expected)} controls hold the last reading delivered to the service, "
      f"{len(expected) - same} do not ({older} an older one, {newer} a newer one, {none} none); "
      f"on the link {state['lost_down']} messages lost (sent by the broker, never delivered whole) "
      f"of {state['delivered'] + state['lost_down']}, and {state['lost_up']} publications of the service; "
      f"the service connected again "
      + " ".join(f"{d * 1000:.0f}" for d in delays) + " ms after the cuts")
PY
}

check_cuts() {
  local devices=20 controls=5 rate=200 cuts=5 broker_port service_port
  harness_init
  load_tool
  broker_port=$(free_port)
  service_port=$(free_port)
  scripts/measure/mqtt-faults.py proxy "$service_port" "$broker_port" "$work/proxy.events" "$work/proxy.json" &
  local proxy=$!
  pids+=("$proxy")
  wait_log "$work/proxy.events" listening 10
  start_configured "$devices" "$controls"
  "$load" --port "$port" --phase source --devices "$devices" --controls "$controls" --rate "$rate" \
    --count 0 --quiet-ms -1 >"$work/source.txt" &
  local source=$! i
  pids+=("$source")
  sleep 1.5  # readings flow
  for ((i = 1; i <= cuts; i++)); do
    if [ "$i" -eq "$cuts" ]; then
      # The way up dies first: the service's answers to the last round
      # never reach the broker. The source ends after one more whole round.
      kill -USR2 "$proxy"
      wait_log "$work/proxy.events" " stall" 10
      kill -TERM "$source"
      wait "$source"
    fi
    kill -USR1 "$proxy"
    wait_log "$work/proxy.events" " cut $i " 10
    wait_log "$work/proxy.events" " accept $((i + 1))" 60  # the service is back
    [ "$i" -eq "$cuts" ] || sleep 1.5  # readings flow between cuts
  done
  # Settled: the retained values have not changed for a second.
  local before="" after end=$((SECONDS + 30))
  for (( ; ; )); do
    after=$(retained "$port" '/devices/+/controls/+' $((devices * controls)) | LC_ALL=C sort)
    if [ "$after" = "$before" ] || [ $SECONDS -ge $end ]; then break; fi
    before=$after
    sleep 1
  done
  printf '%s\n' "$after" >"$work/values"
  kill -0 "$service_pid" || { echo "the service exited" >&2; return 1; }
  echo "cuts ($cuts cuts, $devices x $controls at $rate msg/s, $(grep -o '[0-9]* messages' "$work/source.txt")): $(cut_figures "$work/proxy.json" "$work/proxy.events" "$work/values"); it counted $(grep -o '[0-9]* publications were lost' "$service_log" | awk '{s += $1} END {print s + 0}') publications lost with its connections"
  harness_cleanup
}

check_hung() {
  hung_run "steady state, 1 x 20" 1 20
  hung_run "start-up, 3000 x 10, at the first data SUBSCRIBE" 3000 10 /qv/bridge/thirdparty_data/
}

# A broker that hangs on the service's first connection: at SIGUSR1 a few
# seconds into its message loop, or at the first SUBSCRIBE of prefix.
hung_run() {  # label devices controls [prefix]
  local give_up=${HUNG_SECONDS:-150}
  harness_init
  configuration "$2" "$3" >"$work/configuration.json"
  port=$(free_port)
  scripts/measure/mqtt-faults.py hung-broker "$port" "$work/events" "$work/configuration.json" io0 "$3" ${4:+"$4"} &
  local fake=$!
  pids+=("$fake")
  wait_log "$work/events" listening 10
  start_service "$binary" "$port" "${launcher[@]}"
  if [ -z "${4:-}" ]; then
    wait_log "$work/events" " value 1" 60  # the message loop runs
    sleep 3                                # in steady state for a while
    kill -USR1 "$fake"
  fi
  wait_log "$work/events" " hang 1" 60
  local hung result warning flood alive="is alive"
  hung=$(awk '$2 == "hang" {print $1; exit}' "$work/events")
  if wait_log "$work/events" " connect 2" "$give_up" 2>/dev/null; then
    result="next CONNECT $(awk -v h="$hung" '$2 == "connect" && $3 == 2 {printf "%.1f", $1 - h; exit}' "$work/events") s after the broker hung"
  else
    result="no reconnection in $give_up s"
  fi
  warning=$(grep -m1 'lost: .*; reconnecting' "$service_log" || true)
  if [ -n "$warning" ]; then
    warning="its WARNING after $(awk -v h="$hung" -v w="$(record_ms "$warning")" 'BEGIN {printf "%.1f", w / 1000 - h}') s: '${warning#*: }'"
  else
    warning="no WARNING"
  fi
  flood=$(awk '$2 == "flooded" {print $5 " data messages (" $7 " bytes)"; exit}' "$work/events")
  kill -0 "$service_pid" 2>/dev/null || alive="exited: $(tail -n 1 "$service_log")"
  echo "hung ($1): $result, $warning; the broker wrote $flood before its send blocked; the service $alive, with $(grep -c ' ERROR ' "$service_log" || true) ERROR records"
  harness_cleanup
  [ "$alive" = "is alive" ]
}

check_overload() {
  overload_run "1 x 200, 20,000 messages of about 4 KiB on one topic" 1 200 --count 20000
  overload_run "20 x 5, flat out for 10 s" 20 5 --seconds 10
}

broker_dropped() {  # messages mosquitto has dropped so far, by its $SYS counter
  mosquitto_sub -p "$port" -C 1 -W 5 -t "\$SYS/broker/publish/messages/dropped"
}

overload_run() {  # label devices controls load-options...
  local BROKER_EXTRA="sys_interval 1" line before after
  harness_init
  load_tool
  start_configured "$2" "$3"
  before=$(broker_dropped)
  line=$("$load" --port "$port" --phase source --devices "$2" --controls "$3" --count 0 --rate 0 "${@:4}" \
    --quiet-ms 2000 --idle-ms 1000 --service-pid "$service_pid")
  after=$(broker_dropped)
  kill -0 "$service_pid" || { echo "the service exited" >&2; return 1; }
  echo "overload ($1): ${line#source }"
  echo "  the service dropped $(grep -o 'dropped [0-9]* oldest' "$service_log" | awk '{s += $2} END {print s + 0}') (its records) and held back reading ($(grep -ci 'reading held back' "$service_log" || true) records); mosquitto dropped $((after - before)) messages for it ($(grep -c 'Outgoing messages are being dropped for client mqtt-external-source-data-getter' "$work/mosquitto.log" || true) records of it in its log)"
  harness_cleanup
}

# Configurations of about 1.5 MiB, each as many entries as fit in the largest
# payload the service takes on its topic.
write_configurations() {  # dir
  /usr/bin/python3 - "$1" <<'PY'
import itertools, string, sys
limit = 1572864 - 2 - len("/qv/bridge/configuration")  # remaining length less the topic

def fill(name, head, entries, tail):
    out, size = [], len(head) + len(tail)
    for e in entries:
        if size + len(e) + 1 > limit:
            break
        out.append(e)
        size += len(e) + 1
    with open(f"{sys.argv[1]}/{name}.json", "w") as f:
        f.write(head + ",".join(out) + tail)

names = ",".join(f'"{a}{b}"' for a, b in itertools.product(string.ascii_lowercase, repeat=2))
fill("version3", '{"version":3,"remote_ios":[', itertools.repeat("0"), "]}")
fill("empty", '{"version":2,"remote_ios":[', itertools.repeat("{}"), "]}")
fill("types", '{"version":2,"remote_ios":[{"types":{', (f'"{i:x}":"x"' for i in itertools.count()), "}}]}")
fill("keyed", '{"version":2,"remote_ios":{', (f'"{i:x}":{{}}' for i in itertools.count()), "}}")
fill("valid", '{"version":2,"remote_ios":[',
     (f'{{"id":"io{i:03d}","types":[{names}]}}' for i in itertools.count()), "]}")
PY
}

# The service reads one configuration, retained on a private broker: a served
# one leaves it running and connected (its status, as systemd would get it),
# a faulty one ends it with one ERROR record. Sets peak to its peak memory:
# VmHWM, or for a service that has ended GNU time's %M, the same figure at
# its exit.
configuration_peak() {  # file served|faulty
  port=$(free_port)
  start_broker "$port"
  mosquitto_pub -p "$port" -r -t /qv/bridge/configuration -f "$1"
  rm -f "$work/status" "$work/peak"
  export NOTIFY_SOCKET=$work/notify
  start_service "$binary" "$port" /usr/bin/time -f %M -o "$work/peak"
  unset NOTIFY_SOCKET
  local timed=$service_pid
  for _ in $(seq 400); do
    service_pid=$(pgrep -P "$timed" || true)
    [ -n "$service_pid" ] && break
    sleep 0.01
  done
  [ -n "$service_pid" ] || { echo "$1: the service did not start" >&2; return 1; }
  pids+=("$service_pid")
  if [ "$2" = served ]; then
    wait_log "$work/status" "STATUS=connected to tcp://127.0.0.1:$port; " 60
    kill -0 "$service_pid" || { echo "$1: the service exited" >&2; return 1; }
    peak="$(hwm_kb "$service_pid") kB ($(grep -o '[0-9,]* devices*, [0-9,]* controls*' "$work/status" | tail -n 1))"
    kill "$service_pid"
    wait "$timed" 2>/dev/null || true
  else
    timeout 60 tail --pid="$timed" -f /dev/null || { echo "$1: the service did not end" >&2; return 1; }
    wait "$timed" 2>/dev/null || true
    local errors
    errors=$(grep -c ERROR "$service_log" || true)
    [ "$errors" -eq 1 ] && grep -q 'ERROR .*main:171' "$service_log" ||
      { echo "$1: $errors ERROR records, not one of main:171" >&2; cat "$service_log" >&2; return 1; }
    peak="$(tail -n 1 "$work/peak") kB (ended)"
  fi
  stop_broker
}

check_configurations() {
  harness_init
  # What systemd's end of NOTIFY_SOCKET gets, one datagram a line.
  /usr/bin/python3 - "$work/notify" "$work/status" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    d = s.recv(65536)
    with open(sys.argv[2], "a") as f:
        f.write(d.decode() + "\n")
PY
  pids+=($!)
  until [ -S "$work/notify" ]; do sleep 0.01; done
  write_configurations "$work"
  local line="configurations of about 1.5 MiB, peak memory:" peak
  configuration_peak "$work/version3.json" served
  line+=" version 3 of zeros $peak;"
  configuration_peak "$work/empty.json" faulty
  line+=" empty remote ios $peak;"
  configuration_peak "$work/types.json" faulty
  line+=" types as an object of short keys, no id $peak;"
  configuration_peak "$work/keyed.json" faulty
  line+=" remote ios as an object of short keys and empty values $peak;"
  configuration_peak "$work/valid.json" served
  echo "$line the largest valid one $peak"
  harness_cleanup
}

# Fails when one of the processes has ended.
alive() {  # pid...
  local p
  for p; do kill -0 "$p" 2>/dev/null || { echo "process $p ended" >&2; return 1; }; done
}

# Runs for seconds while every one of the processes lives.
alive_for() {  # seconds pid...
  local end=$((SECONDS + $1))
  shift
  while [ $SECONDS -lt $end ]; do
    alive "$@" || return 1
    sleep 0.2
  done
}

# The connections accepted (accept events) and the service's records, in all
# and per level, and per minute over the run that began at start.
pacing_figures() {  # events start(unix time)
  awk -v start="$2" -v now="$(date +%s.%N)" '
    FILENAME == ARGV[1] { if ($2 == "accept") c++; next }
    { r++; n[$2]++ }
    END {
      m = (now - start) / 60
      printf "%d connections accepted (%.0f/min), %d records (%.0f/min; WARNING %d, INFO %d, ERROR %d)",
        c, c / m, r, r / m, n["WARNING"], n["INFO"], n["ERROR"]
    }' "$1" "$service_log"
}

check_pacing() {
  local run status=0 i=0
  harness_init
  for run in alternating kept flapping; do
    "pacing_$run" >"$work/$run" &
    pids+=($!)
  done
  for run in alternating kept flapping; do
    wait "${pids[i++]}" || { echo "pacing: the $run run failed" >&2; status=1; }
    cat "$work/$run"
  done
  harness_cleanup
  return $status
}

pacing_alternating() {
  local seconds=${ALTERNATING_SECONDS:-60} fake start
  harness_init
  port=$(free_port)
  scripts/measure/mqtt-faults.py alternating "$port" "$work/events" &
  fake=$!
  pids+=("$fake")
  wait_log "$work/events" listening 10
  start=$(date +%s.%N)
  start_service "$binary" "$port" "${launcher[@]}"
  alive_for "$seconds" "$fake" "$service_pid"
  echo "pacing, a server that drops each connection 5 ms after CONNACK and is away 30 ms (${seconds} s): $(pacing_figures "$work/events" "$start"); target in 60 s: at most 30 connections and 20 records"
  harness_cleanup
}

pacing_kept() {
  local seconds=${KEPT_SECONDS:-120} proxy broker_port service_port start
  harness_init
  broker_port=$(free_port)
  service_port=$(free_port)
  scripts/measure/mqtt-faults.py proxy "$service_port" "$broker_port" "$work/events" "$work/proxy.json" 5.05 &
  proxy=$!
  pids+=("$proxy")
  wait_log "$work/events" listening 10
  kill -HUP "$proxy"
  wait_log "$work/events" " timed " 10
  start_broker "$broker_port"  # no configuration: the service waits for one
  start=$(date +%s.%N)
  start_service "$binary" "$service_port" "${launcher[@]}"
  alive_for "$seconds" "$proxy" "$broker_pid" "$service_pid"
  echo "pacing, a broker whose link is cut 5.05 s after each connection (${seconds} s): $(pacing_figures "$work/events" "$start"); target in 120 s: at most 20 connections and 12 records"
  harness_cleanup
}

# The outages after the timed cuts: from each to the next accepted
# connection, or to now for one that has none yet.
flap_figures() {  # events cuts
  awk -v want="$2" -v now="$(date +%s.%N)" '
    $2 == "timed" { on = 1 }
    on && $2 == "cut" { at = $1; down = 1; k++ }
    on && $2 == "accept" && down { outage($1 - at); if ($1 - at <= 10) quick++ }
    function outage(d) {
      down = 0
      if (d > longest) longest = d
      sum += d
    }
    END {
      if (down) { outage(now - at); open = sprintf(" (the last still down after %.1f s)", now - at) }
      printf "%d of %d cuts; outages: longest %.1f s, %.1f s in all%s; %d of the %d cuts followed by a connection within 10 s",
        k, want, longest, sum, open, quick, want
    }' "$1"
}

pacing_flapping() {
  local cuts=20 limit=${FLAP_SECONDS:-200} proxy broker_port service_port start end
  harness_init
  broker_port=$(free_port)
  service_port=$(free_port)
  scripts/measure/mqtt-faults.py proxy "$service_port" "$broker_port" "$work/events" "$work/proxy.json" 1 "$cuts" &
  proxy=$!
  pids+=("$proxy")
  wait_log "$work/events" listening 10
  start=$(date +%s.%N)
  start_configured 5 2
  # Readings: one data message every 100 ms, the devices in turn.
  local d=0
  while :; do data_message $((d++ % 5)) "$d" "$EPOCHSECONDS" 2; echo; sleep 0.1; done |
    mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0 -l &
  pids+=($!)
  kill -HUP "$proxy"
  end=$((SECONDS + limit))
  until awk -v n="$cuts" '$2 == "cut" {c = $3; up = 0} $2 == "accept" {up = 1} END {exit !(c >= n && up)}' "$work/events"; do
    [ $SECONDS -lt $end ] || break
    alive "$proxy" "$broker_pid" "$service_pid" || return 1
    sleep 0.05
  done
  echo "pacing, a link cut 1 s after each connection while readings flow (at most ${limit} s): $(flap_figures "$work/events" "$cuts"); $(pacing_figures "$work/events" "$start"); target: no outage over 10 s"
  harness_cleanup
}

for c in "${checks[@]}"; do "check_$c"; done
