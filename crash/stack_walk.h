#pragma once

#include <cstddef>
#include <cstdint>

class ModuleTable;
class SafeMemory;

// How a frame of a crash's backtrace was found.
enum class FrameKind : uint8_t {
    Fault,        // the instruction the signal interrupted
    Unwound,      // a return address found by the unwinding tables
    LinkRegister, // ARM: the link register of a function without tables
    Scanned,      // ARM: a word of the stack that returns behind a call
};

struct StackFrame {
    uintptr_t address; // the instruction, or the return address
    FrameKind kind;
};

// Where addr2line finds the frame's line: the faulting instruction itself,
// and for a return address the call before it.
uintptr_t LookupAddress(const StackFrame &frame);

// The backtrace of the thread that took the signal, from its context (the
// handler's third argument), into `frames`, counted in `count` frame by
// frame: a walk cut short by a fault keeps what it found. On ARM it unwinds
// by the exception tables where modules have them, reading only memory found
// readable; where a function has none it takes the link register and then
// scans the stack for return addresses that follow a call. Elsewhere it
// unwinds with the C++ runtime's unwinder, which goes through the signal
// frame by its own tables and reads the stack as they say.
//
// Threads: the crash handler, on the faulting thread; async-signal-safe.
void WalkStack(const void *context, const ModuleTable &modules, SafeMemory &memory, StackFrame *frames,
               std::size_t capacity, std::size_t &count);

// Outside any handler, once: the first walk sets up state of the C++
// runtime's unwinder that a handler must not be the first to touch.
void PrepareStackWalk();
