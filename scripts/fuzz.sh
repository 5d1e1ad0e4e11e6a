#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (address and undefined
# behaviour sanitizers), replays every checked-in regression input, then fuzzes
# each target from its seeds in tests/fuzz/corpus/<target>/.
#   scripts/fuzz.sh --ci      # about 20 s per target, the three side by side
#   scripts/fuzz.sh --long    # 10 min per target, one after another
#   scripts/fuzz.sh --time N [target...]
# New corpus entries and crash inputs go to build-fuzz/work/, never into the
# seeds; a crash input worth keeping is copied to tests/fuzz/regressions/<target>/.
set -euo pipefail
source "$(dirname "$0")/env.sh"

seconds=20
parallel=1
case "${1:-}" in
  --ci) shift ;;
  --long) seconds=600; parallel=0; shift ;;
  --time) seconds=$2; parallel=0; shift 2 ;;
esac
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(package_prefix socket_address control_message)

fuzz_build="$root/build-fuzz"
echo "fuzz: building the fuzz targets with clang and sanitizers (about 30 s from cold)"
CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$fuzz_build" -G Ninja >/dev/null
cmake --build "$fuzz_build" >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Every input that once crashed runs again first.
for target in "${targets[@]}"; do
  regressions=("$root/tests/fuzz/regressions/$target"/*)
  if [ -e "${regressions[0]}" ]; then
    "$fuzz_build/${target}_fuzz" "${regressions[@]}" >"$fuzz_build/$target.replay.log" 2>&1 || {
      cat "$fuzz_build/$target.replay.log" >&2
      echo "fuzz: $target: a regression input fails again" >&2
      exit 1
    }
    echo "fuzz: $target: ${#regressions[@]} regression inputs pass"
  fi
done

run() {
  local target=$1 work="$fuzz_build/work/$1"
  mkdir -p "$work/corpus" "$work/crashes"
  # -timeout: one input may take 5 s at most; a hang is a finding too.
  "$fuzz_build/${target}_fuzz" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
    -use_value_profile=1 -print_final_stats=1 -artifact_prefix="$work/crashes/" \
    "$work/corpus" "$root/tests/fuzz/corpus/$target" >"$work/fuzz.log" 2>&1
}

if [ "$parallel" = 1 ]; then
  echo "fuzz: fuzzing ${targets[*]} side by side for ${seconds} s"
else
  echo "fuzz: fuzzing ${targets[*]} one after another, ${seconds} s each"
fi
pids=()
status=0
for target in "${targets[@]}"; do
  if [ "$parallel" = 1 ]; then
    run "$target" & pids+=($!)
  else
    run "$target" || status=1
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done

for target in "${targets[@]}"; do
  log="$fuzz_build/work/$target/fuzz.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  crashes=$(find "$fuzz_build/work/$target/crashes" -type f | wc -l)
  echo "fuzz: $target: ${runs:-0} executions (${rate:-0}/s) in ${seconds}s, $crashes crash inputs"
  if [ "$crashes" -gt 0 ] || ! grep -q '^stat::number_of_executed_units' "$log"; then
    grep -E 'ERROR|runtime error|SUMMARY|: (package_prefix|socket_address|control_message): ' "$log" >&2 || tail -20 "$log" >&2
    status=1
  fi
done
exit $status
