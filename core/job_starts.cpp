// Job starts: the plugins whose masks take the job, handed to the job table.
#include <vector>

#include "dvrcore.h"
#include "event_matching.h"

namespace {

// Plugins that read events and whose masks take the job, in list order.
std::vector<JobTarget> JobTargetsFor(const std::vector<PLUGININFO> &plugins, const _EventParmsIn &event) {
    const uint32_t value = JobValue(event.EventType);
    std::vector<JobTarget> targets;
    for (const PLUGININFO &plugin : plugins) {
        if (plugin.Info.ReadEvents != 0 && plugin.Read != nullptr &&
            MatchesMasks(event.EventClass, plugin.Info.EventMasks, value)) {
            targets.push_back({plugin.Read, plugin.Handle, plugin.Name, plugin.Info.ID});
        }
    }
    return targets;
}

} // namespace

void dvrcore::StartJob(const _EventParmsIn &event) {
    jobs.Uncancel(event.JobTag);
    const std::vector<JobTarget> targets =
        plugins.Read([&event](const std::vector<PLUGININFO> &list) { return JobTargetsFor(list, event); });
    jobs.StartThreads(event, targets);
}
