#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tinyxml.h>

// The "Quarantine" element of core.xml: its own element, which cores that do
// not know it ignore, kept whenever the core rewrites the file.
//
//   <Quarantine Crashes="3">
//       <Library Path="/opt/dvr/lib/dvrcore/plugins/x.so" Device="2049" Inode="1234" Size="5678"
//                Modified="1700000000.123456789" Crashes="2" />
//   </Quarantine>
//
// Threads: pure, for any thread.

// Which file a plugin library was: a library replaced at the same path is
// another file.
struct LibraryFile {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;

    bool operator==(const LibraryFile &other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds;
    }
    bool operator!=(const LibraryFile &other) const { return !(*this == other); }
};

// A library blamed for the last `crashes` crashed runs in a row.
struct CrashedLibrary {
    std::string path;
    LibraryFile file;
    uint32_t crashes = 0;
};

struct QuarantineSettings {
    static constexpr uint32_t DEFAULT_CRASHES = 3;

    // The file had the element: it is written back even with no library.
    bool present = false;
    // Crashed runs in a row that quarantine a library; 0 turns it off.
    uint32_t crashes = DEFAULT_CRASHES;
    std::vector<CrashedLibrary> libraries;
};

// The settings of core.xml's root's first "Quarantine" element, or the
// defaults. An unreadable "Crashes" keeps the default; a "Library" with an
// attribute missing or unreadable is left out.
QuarantineSettings ReadQuarantineElement(const TiXmlDocument &coreXml);

// Appends the element to the document's root when the file had it or a
// library is listed; otherwise core.xml keeps the form it has without it.
void AddQuarantineElement(TiXmlDocument &coreXml, const QuarantineSettings &settings);

// "SECONDS.NANOSECONDS", nine digits after the point.
std::string ModifiedText(const LibraryFile &file);
