// Buffers that plugins hand over for the supervisor. The core takes such a
// buffer over and frees it once sent, but a buffer the core delivered is the
// core's copy, never the plugin's to give: its bytes are sent from a buffer
// of their own and the plugin's hold on it is released, and no part of it
// is ever passed to free.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "dvrcore.h"
#include "log_message.h"

int32_t dvrcore::SendForPlugin(void *buffer, uint32_t length, uint32_t source) {
    switch (bufferHolders.Classify(buffer)) {
    case CopyAddress::FOREIGN:
        return link.Send(buffer, length);
    case CopyAddress::DATA:
        return SendDeliveredBuffer(buffer, length, source);
    case CopyAddress::INSIDE:
        break;
    }
    ReportHandover(source, "part of a buffer the core delivered", "refused");
    return EVENT_REFUSED;
}

// Only a holder may give a delivered buffer away, and no more of it than the
// copy's length is read.
int32_t dvrcore::SendDeliveredBuffer(void *buffer, uint32_t length, uint32_t source) {
    const std::optional<uint32_t> heldLength = bufferHolders.HeldLength(buffer, source);
    if (!heldLength) {
        ReportHandover(source, "a buffer the core delivered, which it does not hold,", "refused");
        return EVENT_REFUSED;
    }
    const uint32_t bytes = std::min(length, *heldLength);
    void *sent = std::malloc(std::max<uint32_t>(bytes, 1));
    if (sent != nullptr) {
        std::memcpy(sent, buffer, bytes);
    }
    // The plugin gave the buffer away: its hold goes whatever happens next.
    ReleaseBuffer(buffer, source);
    if (sent == nullptr) {
        ReportHandover(source, "a buffer the core delivered", "no memory to send it, its hold released");
        return EVENT_NO_MEMORY;
    }
    ReportHandover(source, "a buffer the core delivered", "its bytes were sent and its hold released");
    return link.Send(sent, bytes);
}

void dvrcore::ReportHandover(uint32_t source, const char *what, const char *outcome) {
    SourceNames::FileName name;
    names.CopyFileName(source, name);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s handed %s to the supervisor: %s", name, what, outcome);
}
