#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for the given number of seconds,
# starting from the seed corpus of the repository.
#   scripts/measure/fuzz.sh [SECONDS]   (default 60)
# TARGETS picks targets (default "configuration data_message session");
# JOBS runs that many fuzzing processes per target on one shared corpus
# (default 1), for long runs: JOBS=2 TARGETS=session scripts/measure/fuzz.sh 7200.
# SANITIZE=none builds without the sanitizers, five times as fast: crashes
# and the targets' own checks still count, memory errors go unseen.
# TIMEOUT is the seconds one input may take (default 10); a run that shares
# the machine, such as a niced one beside a build, needs more.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
jobs=${JOBS:-1}

scripts/deps.sh fuzz

case ${SANITIZE:-address} in
  address) build=build/fuzz sanitize=address ;;
  none) build=build/fuzz-plain sanitize= ;;
  *) echo "SANITIZE must be address or none" >&2; exit 2 ;;
esac
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=OFF -DBUILD_FUZZERS=ON -DSANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)" --target configuration-fuzz data_message-fuzz session-fuzz

declare -A seeds=([configuration]=configuration [data_message]=data [session]=session)
declare -A dicts=([configuration]=json.dict [data_message]=json.dict [session]=mqtt.dict)
for target in ${TARGETS:-configuration data_message session}; do
  corpus="$PWD/$build/corpus/$target"
  logs="$PWD/$build/logs/$target"
  findings="$PWD/$build/findings/$target"
  rm -rf "$logs" "$findings"
  mkdir -p "$corpus" "$logs" "$findings"
  args=(-max_total_time="$seconds" -max_len=4096 -timeout="${TIMEOUT:-10}" -dict="$PWD/tests/fuzz/${dicts[$target]}"
        -print_final_stats=1 -artifact_prefix="$findings/")
  # With -jobs, libFuzzer writes each job's output to fuzz-N.log in the current folder.
  [ "$jobs" -gt 1 ] && args+=(-jobs="$jobs" -workers="$jobs")
  (cd "$logs" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$OLDPWD/$build/tests/$target-fuzz" "${args[@]}" "$corpus" "$OLDPWD/tests/fuzz/corpus/${seeds[$target]}" \
    >run.log 2>&1) || {
      tail -n 40 "$logs"/*.log; echo "fuzz target $target failed; the input is in $findings/" >&2; exit 1; }
  if [ -n "$(ls -A "$findings")" ]; then
    tail -n 40 "$logs"/*.log; echo "fuzz target $target left a finding in $findings/" >&2; exit 1
  fi
  # With -jobs, run.log repeats what the jobs' own logs say.
  job_logs=("$logs"/run.log)
  [ "$jobs" -gt 1 ] && job_logs=("$logs"/fuzz-*.log)
  execs=$(cat "${job_logs[@]}" | awk '/stat::number_of_executed_units/ {n += $2} END {print n + 0}')
  echo "$target: $execs executions in ${seconds} s ($jobs jobs), corpus $(ls "$corpus" | wc -l) inputs"
done
