#!/usr/bin/env bash
# Plugins loaded by the sanitizer suites keep their thread-local variables in
# the initial-exec model: none may call __tls_get_addr, the dynamic TLS path
# that ThreadSanitizer's runtime mishandles on some systems.
#
#     no_dynamic_tls_test.sh READELF DIRECTORY...
set -euo pipefail
readelf=$1
shift
status=0
checked=0
for plugin in $(find "$@" -maxdepth 1 -name '*.so'); do
    checked=$((checked + 1))
    if "$readelf" --dyn-syms -W "$plugin" | grep -qw __tls_get_addr; then
        echo "$plugin reaches its thread-local variables through __tls_get_addr" >&2
        status=1
    fi
done
[ $checked -gt 0 ] || { echo "no plugin found in $*" >&2; exit 1; }
exit $status
