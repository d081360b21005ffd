// Reading what an ELF file exports without loading it: the plugins' entry
// points, the C++ names that hide them, and files that are not what they
// claim, cut short or damaged.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/kit/kit_test_support.h"
#include "testkit/src/elf_exports.h"

namespace {

using dvrtest::ElfFacts;
using dvrtest::ReadElfFacts;

bool Exports(const ElfFacts &facts, const std::string &name) {
    return std::find(facts.exported.begin(), facts.exported.end(), name) != facts.exported.end();
}

class ElfExportsTest : public kittest::ScratchDirectoryTest {
protected:
    std::string Bytes(const std::string &variant) const {
        std::ifstream file(coretest::TestPluginPath(variant), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
};

} // namespace

TEST_F(ElfExportsTest, APluginsEntryPointsAreReadFromTheFile) {
    const ElfFacts facts = ReadElfFacts(coretest::TestPluginPath("tp_basic"));
    EXPECT_TRUE(facts.elf);
    EXPECT_EQ(facts.unloadable, "");
    EXPECT_TRUE(facts.symbolsKnown);
    for (const char *entry : {"Load", "Unload", "Open", "Close", "Read", "Write", "Seek", "IOCTL"}) {
        EXPECT_TRUE(Exports(facts, entry)) << entry;
    }
    // Undefined symbols the library only uses are not exports.
    EXPECT_FALSE(Exports(facts, "malloc"));
}

TEST_F(ElfExportsTest, HiddenEntriesAreNotExported) {
    const ElfFacts facts = ReadElfFacts(coretest::TestPluginPath("tp_only_load"));
    EXPECT_TRUE(Exports(facts, "Load"));
    EXPECT_FALSE(Exports(facts, "Open"));
    EXPECT_FALSE(Exports(facts, "Write"));
}

TEST_F(ElfExportsTest, EntriesUnderCxxNamesAreFoundAndPlainOnesAreNot) {
    const auto hidden =
        dvrtest::EntriesUnderCxxNames(ReadElfFacts(coretest::TestPluginPath("tp_cxx_mangled")).exported);
    ASSERT_EQ(hidden.size(), 3u);
    EXPECT_EQ(hidden[0], std::make_pair(std::string("Load"), std::string("_Z4LoadP12_LoadParmsInP13_LoadParmsOut")));
    EXPECT_EQ(hidden[1].first, "Open");
    EXPECT_EQ(hidden[2].first, "Write");
    EXPECT_TRUE(
        dvrtest::EntriesUnderCxxNames(ReadElfFacts(coretest::TestPluginPath("tp_cxx_declared")).exported).empty());
    // A C++ function of another name that merely starts like an entry is none.
    EXPECT_TRUE(dvrtest::EntriesUnderCxxNames({"_Z8LoadMorei"}).empty());
}

TEST_F(ElfExportsTest, OtherFilesAreToldApart) {
    WriteFile("text.so", "not a library at all\n");
    const ElfFacts text = ReadElfFacts("text.so");
    EXPECT_FALSE(text.elf);
    EXPECT_EQ(text.unloadable, "it is no ELF file");

    // The same library, marked as built for another machine (RISC-V).
    std::string foreign = Bytes("tp_basic");
    foreign[18] = static_cast<char>(243);
    foreign[19] = 0;
    WriteFile("foreign.so", foreign);
    const ElfFacts other = ReadElfFacts("foreign.so");
    EXPECT_NE(other.unloadable.find("it is built for machine 243"), std::string::npos) << other.unloadable;
    EXPECT_TRUE(Exports(other, "Load"));

    EXPECT_NE(ReadElfFacts("no-such-file.so").unloadable.find("it cannot be opened"), std::string::npos);
}

// Any file may be pointed at: a library cut anywhere, or with bytes changed
// anywhere in its headers, is read without a fault (the sanitizers watch).
TEST_F(ElfExportsTest, CutAndDamagedFilesAreReadSafely) {
    const std::string whole = Bytes("tp_basic");
    for (std::size_t length = 0; length < whole.size(); length += 97) {
        WriteFile("cut.so", whole.substr(0, length));
        EXPECT_EQ(ReadElfFacts("cut.so").elf, length >= 16) << length;
    }
    std::mt19937 random(31);
    for (int round = 0; round < 200; ++round) {
        std::string damaged = whole;
        for (int change = 0; change < 4; ++change) {
            // The ELF header, the section headers at the end, or anywhere.
            const std::size_t region = random() % 3;
            const std::size_t at = region == 0   ? random() % 64
                                   : region == 1 ? whole.size() - 1 - random() % 2048
                                                 : random() % whole.size();
            damaged[at] = static_cast<char>(random());
        }
        WriteFile("damaged.so", damaged);
        ReadElfFacts("damaged.so");
    }
}
