// What an ELF file says about itself, read from the file without loading it:
// whether it is a shared library for this machine, and the names of the
// symbols it exports. For the plugin inspector, which must not run a
// library's code before it knows the core would load it, and for the test
// kit's hint on entry points exported under C++ names. Every offset and size
// in the file is checked against the file, so any file may be read.
//
// Threads: any; no shared state.
#ifndef DVRPLUGIN_ELF_EXPORTS_H
#define DVRPLUGIN_ELF_EXPORTS_H

#include <string>
#include <utility>
#include <vector>

namespace dvrtest {

struct ElfFacts {
    bool elf = false;                  // an ELF file at all
    std::string unloadable;            // not empty: why the loader here would refuse it
    bool symbolsKnown = false;         // the file has a dynamic symbol table
    std::vector<std::string> exported; // defined, global or weak, visible
};

// Reads the file open at `descriptor` (its position is not used).
ElfFacts ReadElfFacts(int descriptor);
ElfFacts ReadElfFacts(const std::string &path);

// The entry points that are exported only under a C++ name: pairs of the
// entry's plain name ("Load") and the exported name ("_Z4LoadP12_Load..."),
// in the core's order.
std::vector<std::pair<std::string, std::string>> EntriesUnderCxxNames(const std::vector<std::string> &exported);

} // namespace dvrtest

#endif // DVRPLUGIN_ELF_EXPORTS_H
