#pragma once

#include <cstdint>

// One step up a 32-bit ARM stack by the exception tables of the ARM EABI
// (.ARM.exidx and .ARM.extab): from a function's registers to its caller's.
// Pure: memory is read through ArmMemory, so that the crash handler reads
// only what it has checked, and tests give tables of their own. Built on
// every architecture for its tests; the crash handler uses it on ARM.
//
// Threads: any; async-signal-safe when the memory reader is.

struct ArmRegisters {
    uint32_t r[16]; // r13 the stack pointer, r14 the link register, r15 the program counter
};

class ArmMemory {
public:
    virtual bool Read32(uint32_t address, uint32_t &value) const = 0;

protected:
    ~ArmMemory() = default;
};

// A module's index table: `count` entries of two words at `address`.
struct ExidxTable {
    uint32_t address;
    uint32_t count;
};

enum class ArmStep {
    Unwound,      // `registers` are the caller's; r15 its return address
    NoEntry,      // no entry covers the address
    CannotUnwind, // the entry says the function cannot be unwound
    Failed,       // a table or the stack could not be read, or made no sense
};

// Unwinds the function holding `address` (the faulting instruction, or a
// return address minus one) from `registers`.
ArmStep UnwindArmFrame(const ExidxTable &table, uint32_t address, const ArmMemory &memory, ArmRegisters &registers);
