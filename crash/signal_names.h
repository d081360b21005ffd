#pragma once

// The names a crash report gives a fatal signal and its code, from tables:
// callable inside a signal handler (strsignal is not).

// "SIGSEGV", "SIGBUS", "SIGILL", "SIGFPE", "SIGABRT" and the other standard
// signals; null for any other number.
const char *SignalName(int signal);

// The name of a signal's si_code: "SEGV_MAPERR", "BUS_ADRALN", "FPE_INTDIV",
// "SI_USER", "SI_TKILL" and the like; null when it has none.
const char *SignalCodeName(int signal, int code);

// Whether the kernel raised the signal for a fault at an address (si_addr
// then names it), not a process by kill or raise.
bool SignalHasFaultAddress(int signal, int code);
