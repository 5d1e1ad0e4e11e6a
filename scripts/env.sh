# Sourced by the scripts: one place for the paths they share.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
build="$root/build"
library="$build/libovrel_transport_native_kqueue_x86_64.so"
faults_library="$build/libovrel_transport_native_kqueue_x86_64_faults.so"
