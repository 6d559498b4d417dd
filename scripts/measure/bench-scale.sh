#!/usr/bin/env bash
# The service at scale: a private mosquitto, a configuration of DEVICES x
# CONTROLS (default 5000 x 20: 100,000 controls), and what it costs:
#   announcement  from the second read of the configuration (5 s after the
#                 first) to the last control's order at a subscriber
#   memory        idle before the configuration, peak (VmHWM) and steady
#                 (VmRSS, RssAnon) after the announcement and the first sweep,
#                 and the bytes per control above idle
#   sweep         the watchdog's first sweep, first to last marker
#   latency       of a data message published as that sweep begins
#   scripts/measure/bench-scale.sh [DEVICES] [CONTROLS]
# TARGET=1 measures the ARM build under qemu-arm (the emulator included).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/harness.sh
devices=${1:-5000}
controls=${2:-20}
n=$((devices * controls))

build_service

harness_init
port=$(free_port)
BROKER_EXTRA="max_queued_messages 0" start_broker "$port"
awk -v d="$devices" -v c="$controls" 'BEGIN {
  printf "{\"version\":2,\"remote_ios\":["
  for (i = 0; i < d; i++) {
    printf "%s{\"id\":\"io%04d\",\"types\":[", (i ? "," : ""), i
    for (j = 0; j < c; j++) printf "%s\"ch%02d\"", (j ? "," : ""), j
    printf "]}"
  }
  printf "]}"
}' > "$work/configuration.json"

size=$(stat -c %s "$work/configuration.json")
if [ "$size" -gt 1572864 ]; then
  echo "a configuration of $size bytes is more than the service takes (1572864): fewer devices" >&2
  exit 2
fi
start_service "$binary" "$port" "${launcher[@]}"
wait_log "$work/mosquitto.log" "as mqtt-external-source-data-getter" 60
sleep 2
idle_rss=$(rss_kb "$service_pid")
idle_hwm=$(hwm_kb "$service_pid")

sub() { mosquitto_sub -p "$port" -F '%U' "$@"; }
sub -t '/devices/+/controls/+/meta/order' -C "$n" | tail -n 1 > "$work/orders" &
orders=$!
sub -t '/devices/+/controls/+/meta/error' -C "$n" > "$work/markers" &
markers=$!
sub -t /devices/io0000/controls/ch00 -C 1 > "$work/value" &
value=$!
sleep 0.5
t0=$(date +%s.%N)
mosquitto_pub -p "$port" -r -t /qv/bridge/configuration -f "$work/configuration.json"

wait "$orders"
peak_after_announcement=$(hwm_kb "$service_pid")
# As the sweep begins, a data message for one control; its value waits for the sweep's lock.
until [ -s "$work/markers" ]; do sleep 0.005; done
t_sent=$(date +%s.%N)
mosquitto_pub -p "$port" -t /qv/bridge/thirdparty_data/io0000 \
  -m "{\"version\":1,\"io_id\":\"io0000\",\"timestamp\":$(date +%s),\"data\":{\"ch00\":{\"avg\":1}}}"
wait "$markers" "$value"
sleep 2
steady_rss=$(rss_kb "$service_pid")
steady_anon=$(awk '/^RssAnon/ {print $2}' "/proc/$service_pid/status")
peak=$(hwm_kb "$service_pid")

awk -v t0="$t0" -v last="$(cat "$work/orders")" -v first="$(head -n 1 "$work/markers")" \
  -v end="$(tail -n 1 "$work/markers")" -v sent="$t_sent" -v got="$(cat "$work/value")" \
  -v n="$n" -v idle="$idle_rss" -v idle_hwm="$idle_hwm" -v pa="$peak_after_announcement" -v peak="$peak" \
  -v rss="$steady_rss" -v anon="$steady_anon" -v d="$devices" -v c="$controls" \
  -v size="$(stat -c %s "$work/configuration.json")" -v arm="${TARGET:+ (ARM under qemu-arm)}" 'BEGIN {
  printf "scale%s: %d devices x %d controls = %d controls, configuration %d bytes\n", arm, d, c, n, size
  printf "  announcement: %.2f s after the second read (%d publications)\n", last - t0 - 5, n * 3 + d
  printf "  memory: idle %d kB (peak %d); peak %d kB (%.0f bytes a control above idle; %d kB by the end of the announcement); steady %d kB, anonymous %d kB (%.0f bytes a control above idle)\n",
    idle, idle_hwm, peak, (peak - idle) * 1024 / n, pa, rss, anon, (rss - idle) * 1024 / n
  printf "  sweep: %d markers in %.3f s\n", n, end - first
  printf "  latency of a data message sent as the sweep began: %.3f s\n", got - sent
}'
harness_cleanup
