#include <algorithm>
#include <optional>
#include <stdexcept>

#include "plugin_facts.h"

bool PluginFacts::Exports(const std::string &entry) const {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

namespace {

void NoteRaisedEvents(const dvrtest::PluginUnderTest &plugin, PluginFacts &facts) {
    for (const dvrtest::RaisedEvent &event : plugin.Events()) {
        if (event.IsLog()) {
            facts.logLines.push_back(event.Text());
        } else {
            ++facts.otherEvents;
        }
    }
}

} // namespace

PluginFacts InspectPlugin(const std::string &path) {
    PluginFacts facts;
    facts.path = path;
    std::optional<dvrtest::PluginUnderTest> plugin;
    try {
        plugin.emplace(path);
    } catch (const std::runtime_error &refusal) {
        // The kit opens the library as the core does and passes on dlerror's text.
        facts.loaderError = refusal.what();
        return facts;
    }
    facts.entries = plugin->ExportedEntries();
    if (facts.Exports(ENTRY_LOAD)) {
        facts.load = plugin->Load();
        facts.loadCalled = true;
        facts.info = plugin->Info();
        plugin->Close();
        plugin->Unload();
    }
    NoteRaisedEvents(*plugin, facts);
    return facts;
}
