// Memory throttling: the state follows every reading at once, while its
// announcement to plugins waits a minute after the last low reading.
#include <ctime>

#include "core/dvrcore.h"
#include "core/status_document.h"
#include "log/log_message.h"

namespace {

constexpr int64_t RELEASE_DELAY_NS = 60'000'000'000;
constexpr int64_t NOT_THROTTLING = INT64_MAX;

} // namespace

void dvrcore::UpdateThrottling(bool low) {
    const int64_t time = now();
    throttling = low;
    if (low) {
        if (lowMemorySince == NOT_THROTTLING) {
            CORE_LOG(LOG_LEVEL_WARNING, "available system memory is low, throttling video");
            ReportStatus();
        }
        lowMemorySince = time;
        return;
    }
    int64_t releaseBefore = 0;
    if (__builtin_sub_overflow(time, RELEASE_DELAY_NS, &releaseBefore) || releaseBefore < lowMemorySince) {
        return; // not throttling, or the last low reading is less than a minute old
    }
    CORE_LOG(LOG_LEVEL_WARNING, "available system memory ok, not throttling video");
    ReportStatus();
    lowMemorySince = NOT_THROTTLING;
}

void dvrcore::ReportStatus() { PublishDocument(MemoryStatusDocument(throttling, std::time(nullptr)), CLASS_STATUS); }
