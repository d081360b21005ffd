#include "stack_walk.h"

#include <ucontext.h>
#include <unwind.h>

#include "arm_unwinder.h"
#include "module_table.h"
#include "safe_memory.h"

uintptr_t LookupAddress(const StackFrame &frame) {
    if (frame.kind == FrameKind::Fault || frame.address == 0) {
        return frame.address;
    }
#if defined(__arm__)
    return (frame.address & ~static_cast<uintptr_t>(1)) - 1;
#else
    return frame.address - 1;
#endif
}

#if defined(__arm__)

namespace {

constexpr int SP = 13;
constexpr int LR = 14;
constexpr int PC = 15;
// How far up the stack the scan looks, and how many words.
constexpr uint32_t SCAN_BYTES = 16 * 1024;

class CheckedMemory final : public ArmMemory {
public:
    explicit CheckedMemory(SafeMemory &memory) : memory(memory) {}
    bool Read32(uint32_t address, uint32_t &value) const override {
        return (address & 3) == 0 && memory.ReadValue(address, value);
    }

private:
    SafeMemory &memory;
};

// Whether the instruction before a return address is a call: BL or BLX in
// Thumb (odd addresses) or ARM code.
bool FollowsCall(uint32_t returnAddress, SafeMemory &memory) {
    if ((returnAddress & 1) != 0) {
        const uint32_t after = returnAddress & ~1u;
        uint16_t halves[2];
        if (memory.Read(after - 4, halves, sizeof halves)) {
            const bool wideCall = (halves[0] & 0xF800) == 0xF000 && (halves[1] & 0xC000) == 0xC000;
            if (wideCall) {
                return true;
            }
        }
        uint16_t narrow;
        return memory.ReadValue(after - 2, narrow) && (narrow & 0xFF87) == 0x4780; // BLX register
    }
    uint32_t instruction;
    if ((returnAddress & 3) != 0 || !memory.ReadValue(returnAddress - 4, instruction)) {
        return false;
    }
    const bool immediate = (instruction & 0x0F000000u) == 0x0B000000u && (instruction >> 28) != 0xF;
    const bool exchange = (instruction & 0xFE000000u) == 0xFA000000u;
    const bool viaRegister = (instruction & 0x0FFFFFF0u) == 0x012FFF30u;
    return immediate || exchange || viaRegister;
}

bool IsReturnAddress(uint32_t value, const ModuleTable &modules, SafeMemory &memory) {
    return value > 4 && modules.InCode(value & ~1u) && FollowsCall(value, memory);
}

// An overflowed stack's pointer may lie in the guard page below it: an
// unreadable page is stepped over.
void ScanStack(uint32_t sp, const ModuleTable &modules, SafeMemory &memory, StackFrame *frames, std::size_t capacity,
               std::size_t &count) {
    constexpr uint32_t PAGE = 4096;
    for (uint32_t offset = 0; offset < SCAN_BYTES && count < capacity; offset += 4) {
        uint32_t value;
        if (!memory.ReadValue(sp + offset, value)) {
            offset = ((sp + offset) / PAGE + 1) * PAGE - sp - 4;
            continue;
        }
        if (IsReturnAddress(value, modules, memory) && value != frames[count - 1].address) {
            frames[count] = {value, FrameKind::Scanned};
            ++count;
        }
    }
}

} // namespace

void WalkStack(const void *context, const ModuleTable &modules, SafeMemory &memory, StackFrame *frames,
               std::size_t capacity, std::size_t &count) {
    count = 0;
    if (capacity == 0) {
        return;
    }
    const mcontext_t &machine = static_cast<const ucontext_t *>(context)->uc_mcontext;
    ArmRegisters registers{{static_cast<uint32_t>(machine.arm_r0), static_cast<uint32_t>(machine.arm_r1),
                            static_cast<uint32_t>(machine.arm_r2), static_cast<uint32_t>(machine.arm_r3),
                            static_cast<uint32_t>(machine.arm_r4), static_cast<uint32_t>(machine.arm_r5),
                            static_cast<uint32_t>(machine.arm_r6), static_cast<uint32_t>(machine.arm_r7),
                            static_cast<uint32_t>(machine.arm_r8), static_cast<uint32_t>(machine.arm_r9),
                            static_cast<uint32_t>(machine.arm_r10), static_cast<uint32_t>(machine.arm_fp),
                            static_cast<uint32_t>(machine.arm_ip), static_cast<uint32_t>(machine.arm_sp),
                            static_cast<uint32_t>(machine.arm_lr), static_cast<uint32_t>(machine.arm_pc)}};
    frames[0] = {registers.r[PC], FrameKind::Fault};
    count = 1;
    const CheckedMemory checked(memory);
    while (count < capacity) {
        const StackFrame &callee = frames[count - 1];
        const ModuleTable::Module *module = modules.Find(LookupAddress(callee));
        const uint32_t sp = registers.r[SP];
        const ArmRegisters before = registers;
        const ArmStep step = module != nullptr
                                 ? UnwindArmFrame({static_cast<uint32_t>(module->exidx), module->exidxCount},
                                                  static_cast<uint32_t>(LookupAddress(callee)), checked, registers)
                                 : ArmStep::NoEntry;
        if (step != ArmStep::Unwound) {
            registers = before;
            // The faulting function may not have saved its return address.
            if (count == 1 && IsReturnAddress(registers.r[LR], modules, memory)) {
                frames[1] = {registers.r[LR], FrameKind::LinkRegister};
                count = 2;
            }
            return ScanStack(registers.r[SP], modules, memory, frames, capacity, count);
        }
        const uint32_t caller = registers.r[PC];
        if (caller == 0) {
            return; // the outermost frame
        }
        if (registers.r[SP] < sp || (registers.r[SP] == sp && caller == callee.address)) {
            return; // no progress: the tables do not describe this point
        }
        frames[count] = {caller, FrameKind::Unwound};
        ++count;
    }
}

void PrepareStackWalk() {}

#else

namespace {

// The program counter the signal interrupted, from the machine context.
uintptr_t InterruptedPc(const ucontext_t &context) {
#if defined(__x86_64__)
    return static_cast<uintptr_t>(context.uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(context.uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return context.uc_mcontext.pc;
#else
    (void)context;
    return 0;
#endif
}

struct Walk {
    uintptr_t faultPc;
    bool reachedSignalFrame;
    StackFrame *frames;
    std::size_t &count;
    std::size_t capacity;
};

// Frames before the interrupted one are the handler's own: the unwinder
// marks the interrupted frame as a signal frame.
_Unwind_Reason_Code AddFrame(struct _Unwind_Context *context, void *argument) {
    Walk &walk = *static_cast<Walk *>(argument);
    int beforeInstruction = 0;
    const uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (!walk.reachedSignalFrame) {
        walk.reachedSignalFrame = beforeInstruction != 0 && (walk.faultPc == 0 || ip == walk.faultPc);
        if (!walk.reachedSignalFrame) {
            return _URC_NO_REASON;
        }
    } else if (ip != 0) {
        walk.frames[walk.count] = {ip, beforeInstruction != 0 ? FrameKind::Fault : FrameKind::Unwound};
        ++walk.count;
    }
    return walk.count < walk.capacity ? _URC_NO_REASON : _URC_END_OF_STACK;
}

} // namespace

void WalkStack(const void *context, const ModuleTable &, SafeMemory &, StackFrame *frames, std::size_t capacity,
               std::size_t &count) {
    count = 0;
    if (capacity == 0) {
        return;
    }
    const uintptr_t pc = InterruptedPc(*static_cast<const ucontext_t *>(context));
    frames[0] = {pc, FrameKind::Fault};
    count = 1;
    Walk walk{pc, false, frames, count, capacity};
    _Unwind_Backtrace(AddFrame, &walk);
}

void PrepareStackWalk() {
    std::size_t none = 0;
    Walk walk{0, true, nullptr, none, 0};
    _Unwind_Backtrace([](struct _Unwind_Context *, void *) { return _URC_END_OF_STACK; }, &walk);
}

#endif
