#!/usr/bin/env bash
# End-to-end load: a private mosquitto, a retained configuration of D devices
# with C controls, then three phases against the service and against the
# stand-in bridge (the ceiling), measured the same way in one run:
#   latency    20,000 messages at 2,000 per second
#   sustained  200,000 messages, closed loop with a bounded number outstanding
#   overload   200,000 messages as fast as the broker takes them; once the
#              sink is quiet, "latest N of M" counts the controls whose
#              retained value is the last reading sent for them
#   scripts/measure/bench.sh [DEVICES] [CONTROLS]   (default 100 4)
# The service runs twice: over plain TCP and over TLS (service-tls).
# COUNT scales the sustained and overload phases (default 200000); PHASES
# picks phases (default "latency sustained overload"); BRIDGES picks bridges
# (default "service service-tls standin"). ROUNDS=N runs every bridge N times
# in turn and ends with the median of each figure and its ratio to the
# stand-in's: single runs on a shared machine vary by a fifth.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/harness.sh
devices=${1:-100}
controls=${2:-4}
count=${COUNT:-200000}
phases=${PHASES:-latency sustained overload}
rounds=${ROUNDS:-1}
bridges=${BRIDGES:-service service-tls standin}
results=$(mktemp)

# For this machine only: the load tools and the stand-in run here.
TARGET="" build_service esdg-load esdg-standin
service=${SERVICE:-$binary}

echo "$(date -u +%FT%TZ), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); $devices devices x $controls controls"
for round in $(seq "$rounds"); do
for bridge in $bridges; do
  harness_init
  port=$(free_port)
  BROKER_EXTRA=""
  export MQTT_BROKER="tcp://127.0.0.1:$port"
  unset MQTT_CA_FILE  # the service refuses a CA file with a plain address
  if [ "$bridge" = service-tls ]; then
    # The service alone speaks TLS; the load tool stays on plain TCP.
    scripts/lib/make-certificates.sh "$work/tls"
    tls_port=$(free_port)
    BROKER_EXTRA="listener $tls_port 127.0.0.1
certfile $work/tls/server.pem
keyfile $work/tls/server.key"
    export MQTT_BROKER="mqtts://localhost:$tls_port" MQTT_CA_FILE="$work/tls/ca.pem"
  fi
  start_broker "$port"
  configure "$port" "$devices" "$controls"
  if [ "$bridge" != standin ]; then
    start_service "$service" 0
    pid=$service_pid
  else
    "$build/bench/esdg-standin" "$port" "$controls" &
    pid=$!
    pids+=("$pid")
  fi
  echo "-- $bridge$([ "$rounds" = 1 ] || echo " (round $round of $rounds)")"
  load=("$build/bench/esdg-load" --port "$port" --devices "$devices" --controls "$controls" --service-pid "$pid" --broker-pid "$broker_pid")
  for phase in $phases; do
    case $phase in
      latency) line=$("${load[@]}" --phase latency --count 20000 --rate 2000 2>>"$work/load.log") ;;
      sustained) line=$("${load[@]}" --phase sustained --count "$count" --window 200 2>>"$work/load.log") ;;
      overload) line=$("${load[@]}" --phase overload --count "$count" 2>>"$work/load.log") ;;
      *) echo "unknown phase $phase" >&2; exit 2 ;;
    esac
    echo "$line"
    echo "$bridge $line" >>"$results"
  done
  harness_cleanup
done
done

median_of() {  # file field: the median of that field over the file's lines
  cut -d' ' -f"$2" "$1" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

if [ "$rounds" -gt 1 ]; then
  echo "-- medians of $rounds rounds"
  for phase in $phases; do
    for bridge in $bridges; do
      # in msg/s, p99 ms, CPU s/100k, out values/s, latest N and M (overload) of each round of this bridge and phase
      awk -v b="$bridge" -v p="$phase" '$1 == b && $2 == p {
          la = lm = ""
          for (i = 3; i < NF; i++) {
            if ($i == "in") a = $(i + 1); if ($i == "p99") l = $(i + 1); if ($i == "CPU") c = $(i + 1)
            if ($i == "out") o = $(i + 1); if ($i == "latest") { la = $(i + 1); lm = $(i + 3) }
          }
          print a, l, c, o, la, lm }' "$results" >"$results.$bridge.$phase"
    done
    standin="$results.standin.$phase"
    for bridge in $bridges; do
      mine="$results.$bridge.$phase"
      rate=$(median_of "$mine" 1) p99=$(median_of "$mine" 2) cpu=$(median_of "$mine" 3) out=$(median_of "$mine" 4)
      latest=""
      [ -z "$(cut -d' ' -f6 "$mine" | head -1)" ] || latest="  latest $(median_of "$mine" 5) of $(median_of "$mine" 6)"
      ratio=""
      if [ "$bridge" != standin ] && [ -s "$standin" ]; then
        ratio=$(awk -v r="$rate" -v l="$p99" -v c="$cpu" -v o="$out" -v sr="$(median_of "$standin" 1)" \
          -v sl="$(median_of "$standin" 2)" -v sc="$(median_of "$standin" 3)" -v so="$(median_of "$standin" 4)" \
          'BEGIN { printf "  = %.2fx the stand-in'"'"'s CPU, %.0f%% of its rate, %.0f%% of its values, %.2fx its p99",
                   c / sc, 100 * r / sr, 100 * o / so, l / sl }')
      fi
      printf '%-9s %-11s in %8.0f msg/s  out %8.0f values/s%s  p99 %6.2f ms  CPU %5.2f s/100k msgs%s\n' \
        "$phase" "$bridge" "$rate" "$out" "$latest" "$p99" "$cpu" "$ratio"
    done
  done
fi
rm -f "$results" "$results".*
