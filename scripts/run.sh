#!/usr/bin/env bash
# Installs what is missing, builds, and runs the core with the example plugins
# under the supervisor stand-in: until Ctrl-C, or for 20 seconds when not run
# from a terminal. Needs nothing of the armhf build or of the tests.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh" run
cmake -S "$root" -B "$root/build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/native" -j "$(nproc)" --target core supervisor-standin example_plugins
# The core's working directory receives core.xml and plugins.xml.
mkdir -p "$root/build/run"
cd "$root/build/run"
exec "$root/build/native/bin/supervisor-standin" "$@" "$root/build/native/bin/core"
