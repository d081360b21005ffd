// The console and system-log sink of every log event.
#include <cstdio>
#include <ctime>
#include <mutex>
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
    std::string name = "?";
    {
        std::shared_lock<std::shared_mutex> lock(sourceNamesMutex);
        const auto found = sourceNames.find(source);
        if (found != sourceNames.end()) {
            name = found->second;
        }
    }
    if (colourConsole && level <= LOG_LEVEL_ERROR) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LEVEL_COLOURS[level / 25], utc.tm_hour,
                    utc.tm_min, utc.tm_sec, name.c_str(), text);
    } else {
        std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, name.c_str(), text);
    }
}
