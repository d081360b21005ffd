// Packet reassembly must not depend on how the stream is cut into receives. The same byte stream
// goes through ExtractPackets twice, each receive taking at most the buffer's free space as the
// core's receive does: once in receives as large as fit ("whole"), once cut into receives of the
// fuzzer's sizes ("cut").
//
// The two runs may legitimately part at a bad length. Every buffered byte is dropped and the
// next received byte starts a new packet, so where reading resumes depends on where the receive
// that completed the bad header ended, and that is the cutting. The comparison therefore goes
// segment by segment: up to and including the first bad length both runs must make the same
// decisions (the same packets at the same stream offsets, then the bad header at the same
// offset); after it the whole run starts again, with an empty buffer, where the cut run resumed,
// and the next segment is compared the same way. When the stream ends both must be left with the
// same unfinished bytes. Within each receive, a packet is handled, and a bad length reported, in
// the very receive that completes it.
//
// Input: byte 0 is the number of receive sizes, followed by as many 16-bit little-endian sizes
// (each plus one). The sizes repeat for MAX_CUT_RECEIVES receives; the rest of the stream then
// arrives in receives as large as fit. The remaining bytes describe the stream: 0xFF followed by
// BYTE, LOW and HIGH stands for LOW + 256 * HIGH + 1 copies of BYTE, so that packets up to the
// length limit cost a few input bytes; every other byte stands for itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ipc/packet_stream.h"

namespace {

// The core's receive buffer holds one packet of the largest length.
constexpr uint32_t BUFFER_SIZE = IPC_MAX_PACKET_LENGTH;
constexpr std::size_t MAX_STREAM = 3 * BUFFER_SIZE + 100;
// Bounds the time one input takes: a receive may move up to a full buffer.
constexpr std::size_t MAX_CUT_RECEIVES = 256;
constexpr std::size_t AS_MUCH_AS_FITS = SIZE_MAX;
constexpr uint8_t RUN_MARK = 0xFF;

struct Decision {
    bool badLength;
    std::size_t offset;     // in the stream: of the packet's first byte, or of the bad header
    uint32_t length;        // of the packet; 0 for a bad length
    std::size_t receivedBy; // the stream bytes received when it was made: not compared

    bool operator==(const Decision &other) const {
        return badLength == other.badLength && offset == other.offset && length == other.length;
    }
};

uint32_t LengthAt(const uint8_t *header) {
    uint32_t length;
    std::memcpy(&length, header, sizeof length);
    return length;
}

bool ValidLength(uint32_t length) { return length >= sizeof(IpcHeader) && length <= IPC_MAX_PACKET_LENGTH; }

// The core's receive side over a stream in memory, checking every call of ExtractPackets.
class Receiver {
public:
    // `buffer` holds BUFFER_SIZE bytes.
    Receiver(uint8_t *buffer, const std::string &stream, std::size_t from)
        : buffer(buffer), stream(reinterpret_cast<const uint8_t *>(stream.data())), streamSize(stream.size()),
          received(from) {}

    bool AtEnd() const { return received == streamSize; }
    bool Dropped() const { return dropped; }
    uint32_t Buffered() const { return used; }
    const std::vector<Decision> &Decisions() const { return decisions; }

    void Receive(std::size_t wanted) {
        const std::size_t space = BUFFER_SIZE - used;
        Require(space > 0, "a receive into a full buffer would read 0 bytes: a disconnection");
        const std::size_t bytes = std::min({wanted, space, streamSize - received});
        std::memcpy(buffer + used, stream + received, bytes);
        receiveStart = received;
        received += bytes;
        const uint32_t filled = used + static_cast<uint32_t>(bytes);
        front = received - filled;
        cursor = front;
        bool droppedNow = false;
        const uint32_t left = ExtractPackets(
            buffer, filled, [this](const uint8_t *packet, uint32_t length) { Handle(packet, length); },
            [this, &droppedNow] {
                ReportBadLength();
                droppedNow = true;
            });
        if (droppedNow) {
            Require(left == 0, "bytes kept after a bad length");
            used = 0;
            return;
        }
        CheckLeftBytes(left);
        used = left;
    }

private:
    void Handle(const uint8_t *packet, uint32_t length) {
        Require(packet == buffer + (cursor - front), "a packet that does not start where the previous one ended");
        Require(ValidLength(length) && length == LengthAt(packet),
                "a packet handled with a length other than its valid header's");
        Require(cursor + length <= received, "a packet handled before all its bytes arrived");
        Require(cursor + length > receiveStart, "a packet handled a receive later than it was complete");
        Require(std::memcmp(packet, stream + cursor, length) == 0, "packet bytes not the stream's");
        decisions.push_back({false, cursor, length, received});
        cursor += length;
    }

    void ReportBadLength() {
        const std::size_t headerEnd = cursor + sizeof(IpcHeader);
        Require(headerEnd <= received && headerEnd > receiveStart,
                "a bad length not reported in the receive that completed its header");
        Require(!ValidLength(LengthAt(buffer + (cursor - front))), "a valid length reported as bad");
        decisions.push_back({true, cursor, 0, received});
        dropped = true;
    }

    // What stays must be the bytes after the last packet, moved to the start, and must not hold
    // a packet that could have been handled: the call waits only for bytes still to come.
    void CheckLeftBytes(uint32_t left) const {
        Require(left == received - cursor, "the bytes kept are not those after the last packet");
        Require(std::memcmp(buffer, stream + cursor, left) == 0,
                "the bytes kept were not moved to the start of the buffer");
        Require(left < BUFFER_SIZE, "a full buffer left: the next receive would have no room");
        if (left >= sizeof(IpcHeader)) {
            const uint32_t length = LengthAt(buffer);
            Require(ValidLength(length), "a bad length kept in the buffer");
            Require(length > left, "a complete packet kept in the buffer");
        }
    }

    uint8_t *const buffer;
    const uint8_t *const stream;
    const std::size_t streamSize;
    uint32_t used = 0;
    std::size_t received;
    std::vector<Decision> decisions;
    bool dropped = false;
    // Of the current receive, as stream offsets.
    std::size_t receiveStart = 0;
    std::size_t front = 0;  // of buffer[0]
    std::size_t cursor = 0; // of the next packet
};

void CompareWithWholeReceives(uint8_t *buffer, const std::string &stream, const Receiver &cut) {
    const std::vector<Decision> &cutDecisions = cut.Decisions();
    std::size_t next = 0;
    std::size_t segmentStart = 0;
    for (;;) {
        Receiver whole(buffer, stream, segmentStart);
        while (!whole.AtEnd() && !whole.Dropped())
            whole.Receive(AS_MUCH_AS_FITS);
        for (const Decision &decision : whole.Decisions()) {
            Require(next < cutDecisions.size() && cutDecisions[next] == decision,
                    "cut and whole receives decided differently");
            ++next;
        }
        if (!whole.Dropped()) {
            Require(next == cutDecisions.size(), "cut receives decided more than whole receives");
            Require(whole.Buffered() == cut.Buffered(), "different unfinished bytes at the end");
            return;
        }
        segmentStart = cutDecisions[next - 1].receivedBy;
    }
}

std::string DecodeStream(const uint8_t *p, const uint8_t *end) {
    std::string stream;
    while (p < end && stream.size() < MAX_STREAM) {
        if (*p != RUN_MARK || end - p < 4) {
            stream += static_cast<char>(*p++);
            continue;
        }
        const std::size_t count = p[2] + 256u * p[3] + 1;
        stream.append(std::min(count, MAX_STREAM - stream.size()), static_cast<char>(p[1]));
        p += 4;
    }
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t sizeCount = std::min<std::size_t>(data[0], (size - 1) / 2);
    std::vector<std::size_t> receiveSizes;
    for (std::size_t index = 0; index < sizeCount; ++index)
        receiveSizes.push_back(data[1 + 2 * index] + 256u * data[2 + 2 * index] + 1);
    const std::string stream = DecodeStream(data + 1 + 2 * sizeCount, data + size);

    // Allocated once: a fresh 64 KiB for every run would cost more than the runs.
    static const std::unique_ptr<uint8_t[]> cutBuffer(new uint8_t[BUFFER_SIZE]);
    static const std::unique_ptr<uint8_t[]> wholeBuffer(new uint8_t[BUFFER_SIZE]);
    Receiver cut(cutBuffer.get(), stream, 0);
    for (std::size_t count = 0; !cut.AtEnd(); ++count) {
        const bool chosen = count < MAX_CUT_RECEIVES && !receiveSizes.empty();
        cut.Receive(chosen ? receiveSizes[count % receiveSizes.size()] : AS_MUCH_AS_FITS);
    }
    CompareWithWholeReceives(wholeBuffer.get(), stream, cut);
    return 0;
}
