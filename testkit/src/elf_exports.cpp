#include "elf_exports.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dvrplugin.h"

namespace dvrtest {

namespace {

// Bounds that no plugin comes near; a file beyond them is not read further.
constexpr uint64_t MAX_SYMBOLS = 1u << 20;
constexpr uint64_t MAX_STRINGS = 64u << 20;

#if defined(__x86_64__)
constexpr uint16_t OWN_MACHINE = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t OWN_MACHINE = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t OWN_MACHINE = EM_ARM;
#elif defined(__i386__)
constexpr uint16_t OWN_MACHINE = EM_386;
#else
constexpr uint16_t OWN_MACHINE = EM_NONE; // not checked
#endif
constexpr unsigned char OWN_CLASS = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;

std::string MachineName(uint16_t machine, unsigned char elfClass) {
    switch (machine) {
    case EM_ARM:
        return "32-bit ARM";
    case EM_AARCH64:
        return "64-bit ARM";
    case EM_X86_64:
        return "x86-64";
    case EM_386:
        return "32-bit x86";
    default:
        return "machine " + std::to_string(machine) + (elfClass == ELFCLASS64 ? " (64-bit)" : " (32-bit)");
    }
}

// Reads exactly `size` bytes at `offset`, or fails.
bool ReadAt(int descriptor, uint64_t fileSize, uint64_t offset, void *into, uint64_t size) {
    if (offset > fileSize || size > fileSize - offset) {
        return false;
    }
    auto *bytes = static_cast<char *>(into);
    while (size > 0) {
        const ssize_t count = pread(descriptor, bytes, size, static_cast<off_t>(offset));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes += count;
        offset += static_cast<uint64_t>(count);
        size -= static_cast<uint64_t>(count);
    }
    return true;
}

// The same steps for both classes, with the class's own records.
template <typename Ehdr, typename Shdr, typename Sym>
struct ElfReader {
    int descriptor;
    uint64_t fileSize;
    ElfFacts &facts;

    unsigned char Bind(const Sym &symbol) const { return static_cast<unsigned char>(symbol.st_info >> 4); }
    unsigned char Visibility(const Sym &symbol) const { return static_cast<unsigned char>(symbol.st_other & 0x3); }

    void Read() {
        Ehdr header;
        if (!ReadAt(descriptor, fileSize, 0, &header, sizeof header)) {
            facts.unloadable = "the file ends inside its ELF header";
            return;
        }
        if (header.e_type != ET_DYN) {
            facts.unloadable = header.e_type == ET_EXEC
                                   ? "it is a program, not a shared library"
                                   : "it is no shared library (ELF type " + std::to_string(header.e_type) + ")";
            return;
        }
        if (OWN_MACHINE != EM_NONE && (header.e_machine != OWN_MACHINE || header.e_ident[EI_CLASS] != OWN_CLASS)) {
            facts.unloadable = "it is built for " + MachineName(header.e_machine, header.e_ident[EI_CLASS]) +
                               ", this program for " + MachineName(OWN_MACHINE, OWN_CLASS);
        }
        ReadSymbols(header);
    }

    void ReadSymbols(const Ehdr &header) {
        if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0) {
            return;
        }
        for (uint16_t index = 0; index < header.e_shnum; ++index) {
            Shdr section;
            if (!ReadAt(descriptor, fileSize, header.e_shoff + uint64_t{index} * sizeof section, &section,
                        sizeof section)) {
                return;
            }
            if (section.sh_type == SHT_DYNSYM) {
                Shdr strings;
                if (section.sh_link >= header.e_shnum ||
                    !ReadAt(descriptor, fileSize, header.e_shoff + uint64_t{section.sh_link} * sizeof strings, &strings,
                            sizeof strings)) {
                    return;
                }
                ReadTable(section, strings);
                return;
            }
        }
    }

    void ReadTable(const Shdr &table, const Shdr &strings) {
        if (table.sh_entsize != sizeof(Sym) || table.sh_size / sizeof(Sym) > MAX_SYMBOLS ||
            strings.sh_size > MAX_STRINGS) {
            return;
        }
        std::vector<Sym> symbols(table.sh_size / sizeof(Sym));
        std::string names(strings.sh_size, '\0');
        if (!ReadAt(descriptor, fileSize, table.sh_offset, symbols.data(), symbols.size() * sizeof(Sym)) ||
            !ReadAt(descriptor, fileSize, strings.sh_offset, names.data(), names.size())) {
            return;
        }
        facts.symbolsKnown = true;
        for (const Sym &symbol : symbols) {
            const bool visible = Visibility(symbol) == STV_DEFAULT || Visibility(symbol) == STV_PROTECTED;
            const bool global =
                Bind(symbol) == STB_GLOBAL || Bind(symbol) == STB_WEAK || Bind(symbol) == STB_GNU_UNIQUE;
            if (symbol.st_shndx == SHN_UNDEF || !visible || !global || symbol.st_name >= names.size()) {
                continue;
            }
            // A name runs to its NUL, which the table must hold.
            const std::size_t end = names.find('\0', symbol.st_name);
            if (end != std::string::npos) {
                facts.exported.push_back(names.substr(symbol.st_name, end - symbol.st_name));
            }
        }
    }
};

struct OpenFile {
    const int descriptor;
    ~OpenFile() {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
};

const char *const ENTRY_NAMES[] = {ENTRY_LOAD, ENTRY_UNLOAD, ENTRY_OPEN, ENTRY_CLOSE,
                                   ENTRY_READ, ENTRY_WRITE,  ENTRY_SEEK, ENTRY_IOCTL};

} // namespace

ElfFacts ReadElfFacts(int descriptor) {
    ElfFacts facts;
    struct stat status {};
    unsigned char ident[EI_NIDENT];
    if (fstat(descriptor, &status) != 0 || status.st_size < 0 ||
        !ReadAt(descriptor, static_cast<uint64_t>(status.st_size), 0, ident, sizeof ident) ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        facts.unloadable = "it is no ELF file";
        return facts;
    }
    facts.elf = true;
    const auto fileSize = static_cast<uint64_t>(status.st_size);
    if (ident[EI_DATA] != ELFDATA2LSB) {
        facts.unloadable = "its bytes are in big-endian order";
    } else if (ident[EI_CLASS] == ELFCLASS32) {
        ElfReader<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>{descriptor, fileSize, facts}.Read();
    } else if (ident[EI_CLASS] == ELFCLASS64) {
        ElfReader<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>{descriptor, fileSize, facts}.Read();
    } else {
        facts.unloadable = "its ELF class is unknown";
    }
    return facts;
}

ElfFacts ReadElfFacts(const std::string &path) {
    const OpenFile file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.descriptor < 0) {
        ElfFacts facts;
        facts.unloadable = "it cannot be opened: " + std::string(std::strerror(errno));
        return facts;
    }
    return ReadElfFacts(file.descriptor);
}

// "Load(_LoadParmsIn*, _LoadParmsOut*)" and the like: a function of that
// name at namespace scope, whatever its parameters.
std::vector<std::pair<std::string, std::string>> EntriesUnderCxxNames(const std::vector<std::string> &exported) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const char *entry : ENTRY_NAMES) {
        if (std::find(exported.begin(), exported.end(), entry) != exported.end()) {
            continue;
        }
        for (const std::string &name : exported) {
            if (name.rfind("_Z", 0) != 0) {
                continue;
            }
            int status = 0;
            const std::unique_ptr<char, decltype(&std::free)> demangled(
                abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
            if (status == 0 && demangled && std::strncmp(demangled.get(), entry, std::strlen(entry)) == 0 &&
                demangled.get()[std::strlen(entry)] == '(') {
                found.emplace_back(entry, name);
                break;
            }
        }
    }
    return found;
}

} // namespace dvrtest
