# shellcheck shell=bash
# Sourced by the scripts that run the tests: what the sanitizers do on a
# finding. Every finding stops the program, so that its test fails.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
