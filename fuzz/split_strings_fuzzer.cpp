// SplitStrings on arbitrary ranges: joined with the separator, the pieces give back the range
// exactly, none holds the separator, and there is one more piece than separators. The range lies
// in an allocation of exactly its size, so that a read past its end is caught. With the all-ones
// length the range must end at the first NUL, which the allocation always holds (one is appended
// after the bytes): the result is that of the explicit range up to it. A null start gives no piece
// whatever the length.
//
// Input: byte 0 the separator, byte 1 the mode (bit 0: all-ones length), then the range's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ipc/split_strings.h"

namespace {

std::string Joined(const std::vector<std::string> &pieces, char separator) {
    std::string joined;
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        if (index > 0)
            joined += separator;
        joined += pieces[index];
    }
    return joined;
}

void CheckSplit(const std::vector<std::string> &pieces, const std::string &range, char separator) {
    Require(Joined(pieces, separator) == range, "the pieces do not join to the range");
    const auto separators = std::count(range.begin(), range.end(), separator);
    Require(pieces.size() == static_cast<std::size_t>(separators) + 1, "not one piece more than separators");
    for (const std::string &piece : pieces)
        Require(piece.find(separator) == std::string::npos, "a piece holding the separator");
}

void SplitExplicitRange(const std::string &range, char separator) {
    const std::unique_ptr<char[]> bytes(new char[range.size()]);
    std::memcpy(bytes.get(), range.data(), range.size());
    const uint32_t length = static_cast<uint32_t>(range.size());
    CheckSplit(SplitStrings(bytes.get(), length, separator), range, separator);
}

void SplitUpToNul(const std::string &range, char separator) {
    const std::unique_ptr<char[]> bytes(new char[range.size() + 1]);
    std::memcpy(bytes.get(), range.data(), range.size());
    bytes[range.size()] = '\0';
    const std::string upToNul(bytes.get());
    const std::vector<std::string> pieces = SplitStrings(bytes.get(), SPLIT_TO_NUL, separator);
    Require(pieces == SplitStrings(bytes.get(), static_cast<uint32_t>(upToNul.size()), separator),
            "the all-ones length does not end the range at the first NUL");
    CheckSplit(pieces, upToNul, separator);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    const char separator = static_cast<char>(data[0]);
    const bool toNul = (data[1] & 1) != 0;
    const std::string range(reinterpret_cast<const char *>(data + 2), size - 2);
    if (toNul)
        SplitUpToNul(range, separator);
    else
        SplitExplicitRange(range, separator);
    const uint32_t length = toNul ? SPLIT_TO_NUL : static_cast<uint32_t>(range.size());
    Require(SplitStrings(nullptr, length, separator).empty(), "pieces from a null start");
    return 0;
}
