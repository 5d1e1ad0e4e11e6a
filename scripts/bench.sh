#!/usr/bin/env bash
# Builds and runs every benchmark, then writes docs/bench/results.md and
# docs/bench/results.png (table and chart, with the machine, the JDKs and this
# command). Everything talks to this machine only (pipes, 127.0.0.1).
#   scripts/bench.sh           # full run, about 10 minutes
#   scripts/bench.sh --quick   # shorter iterations and files, about 4 minutes
# What runs:
#   build-bench/bench/natives_bench   the system calls straight from C (the limits)
#   build-bench/bench/kqueue_bench    the Linux kqueue layer against raw epoll
#   java-bench (JMH, JDK 22+)         the natives against FFM and NIO; echo loops;
#                                     sendFile against copy loops
# OVREL_BENCH_JDK names the JDK for the Java side (default: Temurin 25).
set -euo pipefail
source "$(dirname "$0")/env.sh"

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 64 ;;
esac
command_line="scripts/bench.sh${1:+ $1}"
bench_jdk=${OVREL_BENCH_JDK:-/usr/lib/jvm/temurin-25-jdk-amd64}
if [ ! -x "$bench_jdk/bin/java" ]; then
  echo "bench: no JDK at $bench_jdk (set OVREL_BENCH_JDK to a JDK 22 or later)" >&2
  exit 1
fi
bench_build="$root/build-bench"
results="$bench_build/results"
docs="$root/docs/bench"
start=$(date +%s)
step() { echo; echo "=== $* ($(( $(date +%s) - start ))s)"; }

step setup
"$root/scripts/setup.sh"
# matplotlib for the chart, in a virtual environment of our own.
venv="$bench_build/venv"
if ! "$venv/bin/python" -c "import matplotlib" 2>/dev/null; then
  python3 -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "matplotlib>=3.8"
fi

step "build: library and C benchmarks (build-bench/)"
# The library as it ships (RelWithDebInfo), the C++ tests left out.
cmake -S "$root" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOVREL_BENCH=ON -DOVREL_TESTS=OFF >/dev/null
cmake --build "$bench_build"
bench_library="$bench_build/libovrel_transport_native_kqueue_x86_64.so"

step "build: JMH jar (java-bench/target/benchmarks.jar)"
JAVA_HOME="$bench_jdk" mvn -B -q -ntp -Dstyle.color=never -f "$root/java/pom.xml" install -Dmaven.test.skip=true
JAVA_HOME="$bench_jdk" mvn -B -q -ntp -Dstyle.color=never -f "$root/java-bench/pom.xml" package
jar="$root/java-bench/target/benchmarks.jar"

rm -rf "$results"
mkdir -p "$results" "$docs"
{
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "kernel:  $(uname -sr)"
  echo "JDK (benchmarks): $("$bench_jdk/bin/java" -version 2>&1 | head -1)"
  echo "JDK (build, tests): $("$JAVA_HOME/bin/java" -version 2>&1 | head -1)"
  echo "C++: $(c++ --version | head -1); Google Benchmark $(dpkg-query -W -f '${Version}' libbenchmark-dev 2>/dev/null)"
  echo "mode: $([ $quick = 1 ] && echo quick || echo full)"
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  # Other work on the machine shows in every number: say how busy it was.
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} > "$results/machine.txt"
cat "$results/machine.txt"

if [ $quick = 1 ]; then
  c_min=0.2; kq_min=0.1
  micro=(-wi 2 -w 500ms -i 3 -r 500ms)
  echo_iters=(-wi 1 -i 2); echo_seconds=1.5
  file_iters=(-wi 2 -i 5); file_mib=128
else
  c_min=1.0; kq_min=0.5
  micro=(-wi 3 -w 1s -i 5 -r 1s)
  echo_iters=(-wi 1 -i 3); echo_seconds=3
  file_iters=(-wi 3 -i 10); file_mib=256
fi
jvm_args="-Dovrel.native.library=$bench_library -Xms1g -Xmx1g --enable-native-access=ALL-UNNAMED --sun-misc-unsafe-memory-access=allow"
jmh() { "$bench_jdk/bin/java" -jar "$jar" -f 1 -foe true "$@"; }

step "C: system calls straight from C"
"$bench_build/bench/natives_bench" --benchmark_min_time=$c_min \
  --benchmark_out="$results/natives.json" --benchmark_out_format=json

step "C: the kqueue layer against raw epoll"
"$bench_build/bench/kqueue_bench" --benchmark_min_time=$kq_min \
  --benchmark_out="$results/kqueue.json" --benchmark_out_format=json

step "JMH: hot natives against FFM and NIO"
jmh "${micro[@]}" -rf json -rff "$results/jmh-micro.json" -jvmArgsAppend "$jvm_args" \
  'io\.ovrel\.bench\.(PipeIo|Writev|Poll|EvSet|SendTo)\.'

step "JMH: echo loops"
jmh "${echo_iters[@]}" -rf json -rff "$results/jmh-echo.json" \
  -jvmArgsAppend "$jvm_args -Dovrel.bench.echoSeconds=$echo_seconds -Dovrel.bench.echoOut=$results/echo.jsonl" \
  'io\.ovrel\.demo\.EchoBench\.'

step "JMH: file transfer"
jmh "${file_iters[@]}" -rf json -rff "$results/jmh-file.json" \
  -jvmArgsAppend "$jvm_args -Dovrel.bench.fileMiB=$file_mib -Dovrel.bench.fileOut=$results/file.jsonl" \
  'io\.ovrel\.bench\.FileTransfer\.'

step "report"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >> "$results/machine.txt"
"$venv/bin/python" "$docs/report.py" --results "$results" --md "$docs/results.md" \
  --png "$docs/results.png" --command "$command_line"
mkdir -p "$docs/raw"
cp "$results"/*.json "$results"/*.jsonl "$results/machine.txt" "$docs/raw/"
step "done: $docs/results.md, $docs/results.png"
