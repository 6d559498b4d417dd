# Shared by scripts/run, scripts/test, the measurements (scripts/measure/) and
# the system test: the build, a private broker, the service, free ports and
# readings of a process from /proc. Source it; who starts processes calls
# harness_init first.

harness_init() {
  work=$(mktemp -d)
  chmod 777 "$work"
  pids=()
  trap harness_cleanup EXIT
  trap 'exit 130' INT TERM
}

harness_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${keep_work:-}" ] || rm -rf "$work"
}

# Configures a build directory (build/target: for the ARM controller). The
# toolchain goes only to a first configuration; CMake warns when given it again.
configure_build() {  # dir [cmake-args...]
  local dir=$1
  shift
  local args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "$@")
  if [ "$dir" = build/target ] && [ ! -e "$dir/CMakeCache.txt" ]; then
    args+=(-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake)
  fi
  cmake -S . -B "$dir" "${args[@]}" >/dev/null
}

# The service built for this machine, or with TARGET=1 for the ARM controller,
# with any further targets of the same build; what that needs is installed
# first. Sets build (its folder), binary (the service) and launcher (what runs
# it: nothing, or qemu-arm).
build_service() {  # [target...]
  launcher=()
  if [ -n "${TARGET:-}" ]; then
    scripts/deps.sh host target
    build=build/target
    launcher=(qemu-arm)
  else
    scripts/deps.sh host
    build=build/host
  fi
  configure_build "$build"
  cmake --build "$build" -j"$(nproc)" --target external-source-data-getter "$@" >/dev/null
  binary=$build/src/services/external-source-data-getter/external-source-data-getter
}

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {  # port: waits until it accepts connections
  for _ in $(seq 400); do
    (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    sleep 0.01
  done
  echo "nothing listens on $1" >&2
  return 1
}

start_broker() {  # port; sets broker_pid
  cat > "$work/mosquitto.conf" <<CONF
listener $1 127.0.0.1
allow_anonymous true
persistence false
set_tcp_nodelay true
log_dest file $work/mosquitto.log
log_type error
log_type warning
log_type notice
${BROKER_EXTRA:-}
CONF
  mosquitto -c "$work/mosquitto.conf" &
  broker_pid=$!
  pids+=("$broker_pid")
  wait_port "$1"
}

start_service() {  # binary port (0: keep MQTT_BROKER) [wrapper...]; sets service_pid, service_log
  local binary=$1 port=$2
  shift 2
  service_log=$work/service.log
  if [ "$port" != 0 ]; then export MQTT_BROKER="tcp://127.0.0.1:$port"; fi
  "$@" "$binary" 2>"$service_log" &
  service_pid=$!
  pids+=("$service_pid")
}

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
hwm_kb() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }

wait_log() {  # file needle seconds
  local end=$((SECONDS + $3))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $end ] || { echo "timed out waiting for '$2' in $1" >&2; return 1; }
    sleep 0.05
  done
}

retained() {  # port filter most: the retained messages under filter as "topic payload" lines
  timeout 10 mosquitto_sub -p "$1" -v --retained-only -W 1 -C "$3" -t "$2" 2>/dev/null || true
}

configuration() {  # devices controls: devices io0 ... with controls c0 ...
  local devices=$1 controls=$2 ios="" d c types
  for ((d = 0; d < devices; d++)); do
    types=""
    for ((c = 0; c < controls; c++)); do types+="${types:+,}\"c$c\""; done
    ios+="${ios:+,}{\"id\":\"io$d\",\"types\":[$types]}"
  done
  echo "{\"version\":2,\"remote_ios\":[$ios]}"
}

configure() {  # port devices controls: publishes a retained configuration
  mosquitto_pub -p "$1" -r -t /qv/bridge/configuration -m "$(configuration "$2" "$3")"
}

data_message() {  # device value timestamp [controls]: c0 reads value, c1 value + 1, ...
  local data="" c
  for ((c = 0; c < ${4:-1}; c++)); do data+="${data:+,}\"c$c\":{\"avg\":$(($2 + c))}"; done
  printf '{"version":1,"io_id":"io%s","timestamp":%s,"data":{%s}}' "$1" "$3" "$data"
}
