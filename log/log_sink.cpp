// The console and system-log sink of every log event.
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <syslog.h>
#include <unistd.h>

#include "core/dvrcore.h"

namespace {

// Colour digits after "3", by level / 25: magenta, green, yellow, red, red.
constexpr int LEVEL_COLOURS[] = {5, 2, 3, 1, 1};

bool ConsoleIsTerminal() {
    // Decided once per process, also when several threads log first together.
    static const bool consoleIsTerminal = isatty(fileno(stdout)) != 0;
    return consoleIsTerminal;
}

// Only the printed part of the name is copied: the sink allocates nothing,
// so it cannot throw into a plugin that calls it through the core object.
constexpr std::size_t SHORT_NAME_LENGTH = 6;

void CopyShortName(const std::map<uint32_t, std::string> &names, uint32_t source,
                   char (&name)[SHORT_NAME_LENGTH + 1]) {
    const auto found = names.find(source);
    std::snprintf(name, sizeof name, "%s", found != names.end() ? found->second.c_str() : "?");
}

} // namespace

void dvrcore::LogSink(uint32_t source, uint32_t level, const char *text) {
    const bool toConsole = ConsoleIsTerminal();
    if (text == nullptr) {
        return;
    }
    if (level == LOG_LEVEL_ERROR) {
        syslog(LOG_CRIT, "%s", text);
    }
    if (!toConsole) {
        return;
    }
    const time_t seconds = time(nullptr);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char name[SHORT_NAME_LENGTH + 1];
    {
        std::shared_lock<std::shared_mutex> lock(sourceNamesMutex);
        CopyShortName(sourceNames, source, name);
    }
    if (colourConsole && level <= LOG_LEVEL_ERROR) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LEVEL_COLOURS[level / 25], utc.tm_hour,
                    utc.tm_min, utc.tm_sec, name, text);
    } else {
        std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    }
}
