#include "arm_unwinder.h"

namespace {

constexpr uint32_t EXIDX_CANTUNWIND = 1;
constexpr uint32_t INLINE_OR_COMPACT = 0x80000000u;
constexpr int SP = 13;
constexpr int LR = 14;
constexpr int PC = 15;

// A 31-bit place-relative offset, as the tables store their addresses.
uint32_t Prel31(uint32_t place, uint32_t word) {
    const int32_t offset = static_cast<int32_t>(word << 1) >> 1;
    return place + static_cast<uint32_t>(offset);
}

// The last entry whose function starts at or below the address.
bool FindEntry(const ExidxTable &table, uint32_t address, const ArmMemory &memory, uint32_t &entry) {
    uint32_t low = 0;
    uint32_t high = table.count;
    bool found = false;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        const uint32_t place = table.address + middle * 8;
        uint32_t word;
        if (!memory.Read32(place, word)) {
            return false;
        }
        if (Prel31(place, word) <= address) {
            entry = place;
            found = true;
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return found;
}

// The unwinding instructions: bytes taken from the most significant end of
// each word, the first word holding fewer.
class Instructions {
public:
    Instructions(const ArmMemory &memory, uint32_t firstWord, int bytesInFirst, uint32_t nextWord, uint32_t moreWords)
        : memory(memory), word(firstWord), bytesLeft(bytesInFirst), next(nextWord), wordsLeft(moreWords) {}

    // False at the end, which finishes like the finish instruction.
    bool Next(uint8_t &byte) {
        if (bytesLeft == 0) {
            if (wordsLeft == 0 || !memory.Read32(next, word)) {
                readFailed = wordsLeft != 0;
                return false;
            }
            next += 4;
            --wordsLeft;
            bytesLeft = 4;
        }
        --bytesLeft;
        byte = static_cast<uint8_t>(word >> (8 * bytesLeft));
        return true;
    }

    bool ReadFailed() const { return readFailed; }

private:
    const ArmMemory &memory;
    uint32_t word;
    int bytesLeft;
    uint32_t next;
    uint32_t wordsLeft;
    bool readFailed = false;
};

class Interpreter {
public:
    Interpreter(const ArmMemory &memory, ArmRegisters &registers)
        : memory(memory), registers(registers), vsp(registers.r[SP]) {}

    ArmStep Run(Instructions &instructions);

private:
    bool Pop(int reg) {
        uint32_t value;
        if (!memory.Read32(vsp, value)) {
            return false;
        }
        vsp += 4;
        registers.r[reg] = value;
        pcPopped = pcPopped || reg == PC;
        spPopped = spPopped || reg == SP;
        return true;
    }
    // Registers first..first+15 under mask, lowest first.
    bool PopMask(int first, uint32_t mask) {
        for (int i = 0; i < 16; ++i) {
            if ((mask & (1u << i)) != 0 && !Pop(first + i)) {
                return false;
            }
        }
        return true;
    }
    ArmStep Instruction(uint8_t op, Instructions &instructions);

    const ArmMemory &memory;
    ArmRegisters &registers;
    uint32_t vsp;
    bool pcPopped = false;
    bool spPopped = false;
    bool finished = false;
};

// Pops of VFP and WMMX registers move the stack pointer only: the handler
// needs none of their values.
ArmStep Interpreter::Instruction(uint8_t op, Instructions &instructions) {
    uint8_t op2 = 0;
    const auto second = [&] { return instructions.Next(op2); };
    if ((op & 0xC0) == 0x00) {
        vsp += ((op & 0x3Fu) << 2) + 4;
    } else if ((op & 0xC0) == 0x40) {
        vsp -= ((op & 0x3Fu) << 2) + 4;
    } else if ((op & 0xF0) == 0x80) {
        if (!second()) {
            return ArmStep::Failed;
        }
        const uint32_t mask = ((op & 0x0Fu) << 8) | op2;
        if (mask == 0) {
            return ArmStep::CannotUnwind; // "refuse to unwind"
        }
        const bool popsSp = (mask & (1u << (SP - 4))) != 0;
        if (!PopMask(4, mask)) {
            return ArmStep::Failed;
        }
        if (popsSp) {
            vsp = registers.r[SP];
        }
    } else if ((op & 0xF0) == 0x90) {
        const int reg = op & 0x0F;
        if (reg == SP || reg == PC) {
            return ArmStep::Failed;
        }
        vsp = registers.r[reg];
    } else if ((op & 0xF0) == 0xA0) {
        const uint32_t mask = (1u << ((op & 0x07) + 1)) - 1;
        if (!PopMask(4, mask) || ((op & 0x08) != 0 && !Pop(LR))) {
            return ArmStep::Failed;
        }
    } else if (op == 0xB0) {
        finished = true;
    } else if (op == 0xB1) {
        if (!second() || op2 == 0 || (op2 & 0xF0) != 0 || !PopMask(0, op2)) {
            return ArmStep::Failed;
        }
    } else if (op == 0xB2) {
        uint32_t value = 0;
        int shift = 0;
        do {
            if (!second() || shift > 28) {
                return ArmStep::Failed;
            }
            value |= static_cast<uint32_t>(op2 & 0x7F) << shift;
            shift += 7;
        } while ((op2 & 0x80) != 0);
        vsp += 0x204 + (value << 2);
    } else if (op == 0xB3) {
        if (!second()) {
            return ArmStep::Failed;
        }
        vsp += 8 * ((op2 & 0x0Fu) + 1) + 4;
    } else if ((op & 0xF8) == 0xB8) {
        vsp += 8 * ((op & 0x07u) + 1) + 4;
    } else if (op == 0xC6 || op == 0xC8 || op == 0xC9) {
        if (!second()) {
            return ArmStep::Failed;
        }
        vsp += 8 * ((op2 & 0x0Fu) + 1);
    } else if (op == 0xC7) {
        if (!second() || op2 == 0 || (op2 & 0xF0) != 0) {
            return ArmStep::Failed;
        }
        vsp += 4 * static_cast<uint32_t>(__builtin_popcount(op2));
    } else if ((op & 0xF8) == 0xC0 || (op & 0xF8) == 0xD0) {
        vsp += 8 * ((op & 0x07u) + 1);
    } else {
        return ArmStep::Failed; // spare
    }
    return ArmStep::Unwound;
}

ArmStep Interpreter::Run(Instructions &instructions) {
    uint8_t op;
    while (!finished && instructions.Next(op)) {
        const ArmStep step = Instruction(op, instructions);
        if (step != ArmStep::Unwound) {
            return step;
        }
    }
    if (instructions.ReadFailed()) {
        return ArmStep::Failed;
    }
    registers.r[SP] = vsp;
    if (!pcPopped) {
        registers.r[PC] = registers.r[LR];
    }
    return ArmStep::Unwound;
}

// The personality routines 0 (three instructions in the word), 1 and 2 (a
// count of further words, then two instructions), and the generic model,
// whose personality routine is followed by a word of the same form as 1's
// with three instructions.
ArmStep RunTable(uint32_t entryWord, uint32_t entryPlace, const ArmMemory &memory, ArmRegisters &registers) {
    uint32_t first = entryWord;
    uint32_t place = entryPlace;
    if ((entryWord & INLINE_OR_COMPACT) == 0) {
        place = Prel31(entryPlace, entryWord);
        if (!memory.Read32(place, first)) {
            return ArmStep::Failed;
        }
    }
    Interpreter interpreter(memory, registers);
    if ((first & INLINE_OR_COMPACT) == 0) {
        uint32_t word;
        if (!memory.Read32(place + 4, word)) {
            return ArmStep::Failed;
        }
        Instructions instructions(memory, word & 0x00FFFFFFu, 3, place + 8, word >> 24);
        return interpreter.Run(instructions);
    }
    const uint32_t personality = (first >> 24) & 0x0F;
    if (personality == 0) {
        Instructions instructions(memory, first & 0x00FFFFFFu, 3, 0, 0);
        return interpreter.Run(instructions);
    }
    if (personality == 1 || personality == 2) {
        Instructions instructions(memory, first & 0xFFFFu, 2, place + 4, (first >> 16) & 0xFF);
        return interpreter.Run(instructions);
    }
    return ArmStep::Failed;
}

} // namespace

ArmStep UnwindArmFrame(const ExidxTable &table, uint32_t address, const ArmMemory &memory, ArmRegisters &registers) {
    uint32_t entry = 0;
    if (table.count == 0 || !FindEntry(table, address, memory, entry)) {
        return ArmStep::NoEntry;
    }
    uint32_t word;
    if (!memory.Read32(entry + 4, word)) {
        return ArmStep::Failed;
    }
    if (word == EXIDX_CANTUNWIND) {
        return ArmStep::CannotUnwind;
    }
    // An inline entry must use personality routine 0: its word is the table.
    if ((word & INLINE_OR_COMPACT) != 0 && ((word >> 24) & 0x7F) != 0) {
        return ArmStep::Failed;
    }
    return RunTable(word, entry + 4, memory, registers);
}
