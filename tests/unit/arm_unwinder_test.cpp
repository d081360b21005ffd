// Unwinding one 32-bit ARM frame by the ARM EABI exception tables, on tables
// and stacks laid out by hand in a fake memory.
#include <cstdint>
#include <map>

#include <gtest/gtest.h>

#include "crash/arm_unwinder.h"

namespace {

constexpr uint32_t TABLE = 0x10000;   // .ARM.exidx
constexpr uint32_t EXTAB = 0x11000;   // .ARM.extab
constexpr uint32_t STACK = 0x7F000;   // the stack pointer at the fault
constexpr uint32_t FUNCTION = 0x8000; // the function the first entry covers
constexpr uint32_t CANTUNWIND = 1;

class FakeMemory final : public ArmMemory {
public:
    bool Read32(uint32_t address, uint32_t &value) const override {
        const auto found = words.find(address);
        if (found == words.end()) {
            return false;
        }
        value = found->second;
        return true;
    }
    std::map<uint32_t, uint32_t> words;
};

// A 31-bit offset from `place` to `target`, as the tables store addresses.
uint32_t Prel31(uint32_t place, uint32_t target) { return (target - place) & 0x7FFFFFFFu; }

class ArmUnwinderTest : public ::testing::Test {
protected:
    // Index table entry `index` for the function at `start`, with `word` as its second word.
    void Entry(uint32_t index, uint32_t start, uint32_t word) {
        const uint32_t place = TABLE + index * 8;
        memory.words[place] = Prel31(place, start);
        memory.words[place + 4] = word;
        count = index + 1;
    }
    // An entry whose table lies in .ARM.extab.
    void EntryWithTable(uint32_t index, uint32_t start, std::initializer_list<uint32_t> table) {
        Entry(index, start, Prel31(TABLE + index * 8 + 4, EXTAB));
        uint32_t at = EXTAB;
        for (uint32_t word : table) {
            memory.words[at] = word;
            at += 4;
        }
    }
    void Stack(std::initializer_list<uint32_t> values) {
        uint32_t at = STACK;
        for (uint32_t value : values) {
            memory.words[at] = value;
            at += 4;
        }
    }
    ArmStep Unwind(uint32_t address) { return UnwindArmFrame({TABLE, count}, address, memory, registers); }

    FakeMemory memory;
    uint32_t count = 0;
    ArmRegisters registers = [] {
        ArmRegisters initial{};
        initial.r[13] = STACK;
        initial.r[14] = 0x9001;
        initial.r[15] = FUNCTION + 0x10;
        return initial;
    }();
};

} // namespace

// ---- The compact models ----

TEST_F(ArmUnwinderTest, InlineEntryPopsTheSavedRegistersAndReturnsThroughTheLinkRegister) {
    Entry(0, FUNCTION, 0x80A8B0B0u); // pop {r4, r14}; finish
    Stack({0x44, 0xA001});
    ASSERT_EQ(Unwind(FUNCTION + 0x10), ArmStep::Unwound);
    EXPECT_EQ(registers.r[4], 0x44u);
    EXPECT_EQ(registers.r[14], 0xA001u);
    EXPECT_EQ(registers.r[15], 0xA001u);
    EXPECT_EQ(registers.r[13], STACK + 8);
}

TEST_F(ArmUnwinderTest, LeafWithoutInstructionsReturnsToTheLinkRegisterWithTheStackUnchanged) {
    Entry(0, FUNCTION, 0x80B0B0B0u);
    ASSERT_EQ(Unwind(FUNCTION), ArmStep::Unwound);
    EXPECT_EQ(registers.r[15], 0x9001u);
    EXPECT_EQ(registers.r[13], STACK);
}

// Personality routine 1: two instructions in the first word, then a count of
// further words.
TEST_F(ArmUnwinderTest, LongCompactModelReadsItsFurtherWords) {
    EntryWithTable(0, FUNCTION, {0x8101B101u, 0xA8B0B0B0u}); // pop {r0}; pop {r4, r14}
    Stack({0x10, 0x44, 0xA001});
    ASSERT_EQ(Unwind(FUNCTION + 4), ArmStep::Unwound);
    EXPECT_EQ(registers.r[0], 0x10u);
    EXPECT_EQ(registers.r[4], 0x44u);
    EXPECT_EQ(registers.r[15], 0xA001u);
    EXPECT_EQ(registers.r[13], STACK + 12);
}

// ---- The generic model (C++ functions with a personality routine) ----

TEST_F(ArmUnwinderTest, GenericModelSkipsThePersonalityRoutine) {
    // vsp += 4; pop {r7, r14}; then the routine's own data, never read.
    EntryWithTable(0, FUNCTION, {Prel31(EXTAB, 0x5000), 0x00008408u, 0xDEADBEEFu});
    Stack({0xFFFF, 0x77, 0xA001});
    ASSERT_EQ(Unwind(FUNCTION + 8), ArmStep::Unwound);
    EXPECT_EQ(registers.r[7], 0x77u);
    EXPECT_EQ(registers.r[15], 0xA001u);
    EXPECT_EQ(registers.r[13], STACK + 12);
}

// ---- Instructions ----

TEST_F(ArmUnwinderTest, PoppedProgramCounterIsTheReturnAddressAndLinkRegisterStays) {
    Entry(0, FUNCTION, 0x808808B0u); // pop {r7, r15}
    Stack({0x77, 0xB001});
    ASSERT_EQ(Unwind(FUNCTION), ArmStep::Unwound);
    EXPECT_EQ(registers.r[7], 0x77u);
    EXPECT_EQ(registers.r[15], 0xB001u);
    EXPECT_EQ(registers.r[14], 0x9001u);
}

TEST_F(ArmUnwinderTest, StackPointerFromARegisterThenPops) {
    registers.r[7] = STACK + 0x20;
    Entry(0, FUNCTION, 0x8097A8B0u); // vsp = r7; pop {r4, r14}
    memory.words[STACK + 0x20] = 0x44;
    memory.words[STACK + 0x24] = 0xA001;
    ASSERT_EQ(Unwind(FUNCTION), ArmStep::Unwound);
    EXPECT_EQ(registers.r[13], STACK + 0x28);
    EXPECT_EQ(registers.r[15], 0xA001u);
}

TEST_F(ArmUnwinderTest, LargeStackAdjustmentAndVfpPopsMoveOnlyTheStackPointer) {
    Entry(0, FUNCTION, 0x80B201D0u); // vsp += 0x204 + (1 << 2); pop {d8}
    ASSERT_EQ(Unwind(FUNCTION), ArmStep::Unwound);
    EXPECT_EQ(registers.r[13], STACK + 0x204 + 4 + 8);
    EXPECT_EQ(registers.r[15], 0x9001u);
}

// ---- Where it stops ----

TEST_F(ArmUnwinderTest, TheEntryIsTheLastOneStartingAtOrBelowTheAddress) {
    Entry(0, 0x1000, CANTUNWIND);
    Entry(1, FUNCTION, 0x80B0B0B0u);
    Entry(2, FUNCTION + 0x100, CANTUNWIND);
    EXPECT_EQ(Unwind(FUNCTION + 0xFF), ArmStep::Unwound);
    EXPECT_EQ(Unwind(FUNCTION + 0x100), ArmStep::CannotUnwind);
    EXPECT_EQ(Unwind(0xFFF), ArmStep::NoEntry);
}

TEST_F(ArmUnwinderTest, RefusalsAndDamageStopTheWalk) {
    Entry(0, FUNCTION, CANTUNWIND);
    EXPECT_EQ(Unwind(FUNCTION), ArmStep::CannotUnwind);
    Entry(0, FUNCTION, 0x808000B0u); // pop under an empty mask: refuse to unwind
    EXPECT_EQ(Unwind(FUNCTION), ArmStep::CannotUnwind);
    Entry(0, FUNCTION, 0x80A8B0B0u); // pop {r4, r14} from a stack that cannot be read
    EXPECT_EQ(Unwind(FUNCTION), ArmStep::Failed);
    Entry(0, FUNCTION, 0x83A8B0B0u); // inline, but not personality routine 0
    EXPECT_EQ(Unwind(FUNCTION), ArmStep::Failed);
    Entry(0, FUNCTION, 0x80FFB0B0u); // a spare instruction
    EXPECT_EQ(Unwind(FUNCTION), ArmStep::Failed);
    EXPECT_EQ(UnwindArmFrame({TABLE, 0}, FUNCTION, memory, registers), ArmStep::NoEntry);
}
