#include "console_sink.h"

#include <cstdio>
#include <ctime>

#include <syslog.h>
#include <unistd.h>

#include "dvrplugin.h"

namespace {

// Colour digits after "3", by level / 25: magenta, green, yellow, red, red.
constexpr int LEVEL_COLOURS[] = {5, 2, 3, 1, 1};

bool ConsoleIsTerminal() {
    // Decided once per process, also when several threads log first together.
    static const bool consoleIsTerminal = isatty(fileno(stdout)) != 0;
    return consoleIsTerminal;
}

} // namespace

void ConsoleSink::Write(uint32_t source, uint32_t level, const char *text) const {
    const bool toConsole = ConsoleIsTerminal();
    if (text == nullptr) {
        return;
    }
    if (level == LOG_LEVEL_ERROR) {
        syslog(LOG_CRIT, "%s", text);
    } else if (level == LOG_LEVEL_DIAGNOSTIC && diagnosticsCopy.Enabled()) {
        diagnosticsCopy.Copy(text);
    }
    if (!toConsole) {
        return;
    }
    const time_t seconds = time(nullptr);
    tm utc{};
    gmtime_r(&seconds, &utc);
    SourceNames::ShortName name;
    names.CopyShortName(source, name);
    if (colourConsole && level <= LOG_LEVEL_ERROR) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LEVEL_COLOURS[level / 25], utc.tm_hour,
                    utc.tm_min, utc.tm_sec, name, text);
    } else {
        std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    }
}
