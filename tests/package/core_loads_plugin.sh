# shellcheck shell=bash
# Sourced by the package tests.
#
# core_loads_plugin CORE RUN FILENAME ID TIME-SCALE [EMULATOR...]: runs CORE
# (through EMULATOR) in the directory RUN until it has written its modules
# report, stops it as the system would, with SIGTERM, and wants exit code 0
# and the plugin FILENAME loaded with the signed decimal ID and opened.
core_loads_plugin() {
    local core=$1 run=$2 filename=$3 id=$4 time_scale=$5 pid deadline status=0
    shift 5
    mkdir -p "$run"
    (cd "$run" && exec "$@" "$core") >"$run/output" 2>&1 &
    pid=$!
    deadline=$((SECONDS + 60 * time_scale))
    until grep -q '</kDVR>' "$run/plugins.xml" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
            cat "$run/output"
            fail "$core wrote no modules report"
        fi
        sleep 0.2
    done
    kill -TERM "$pid"
    wait "$pid" || status=$?
    [ $status -eq 0 ] || { cat "$run/output"; fail "$core exited with $status after SIGTERM"; }
    grep -q "<Plugin ID=\"$id\" Filename=\"$filename\" .*OpenCode=\"0\"" "$run/plugins.xml" \
        || { cat "$run/plugins.xml"; fail "$core did not load and open $filename"; }
    echo "$core loaded and opened $filename"
}
