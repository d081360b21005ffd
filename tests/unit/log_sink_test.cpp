// LogMessage's log event, and the console and system-log sink. The sink
// decides once per process whether standard output is a terminal, so each
// console case runs in a child process of its own.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/dvrcore.h"
#include "log/log_message.h"
#include "tests/unit/core_test_access.h"

// Stands in for the system log in this test program: each entry becomes a
// line on standard output, showing the priority, the format and the text.
extern "C" void syslog(int priority, const char *format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::printf("[syslog %d \"%s\"] %s\n", priority, format, text);
}

namespace {

constexpr uint32_t VIDEO_RECORDER = 0x00010000u;
constexpr uint32_t UNKNOWN_SOURCE = 0x00990000u;

// ---- Running the sink in a child process ----

std::string ReadAll(int descriptor) {
    std::string output;
    char chunk[4096];
    ssize_t count;
    // A pseudo-terminal reports EIO once its other side is closed.
    while ((count = read(descriptor, chunk, sizeof chunk)) > 0) {
        output.append(chunk, count);
    }
    return output;
}

// Runs body in a child whose standard output is `output` (the writing side of
// a pseudo-terminal or a pipe) and returns what the child wrote there.
std::string OutputOfChild(int output, int reading, const std::function<void(dvrcore &)> &body) {
    const pid_t child = fork();
    if (child == 0) {
        dup2(output, STDOUT_FILENO);
        close(reading);
        {
            dvrcore core("/nonexistent/core");
            CoreTestAccess::SetSourceName(core, CORE_SOURCE, "core");
            CoreTestAccess::SetSourceName(core, VIDEO_RECORDER, "videorecorder");
            body(core);
        }
        std::fflush(stdout);
        _exit(0);
    }
    close(output);
    const std::string written = ReadAll(reading);
    close(reading);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return written;
}

std::string ConsoleOfChild(const std::function<void(dvrcore &)> &body) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return "";
    }
    termios settings;
    tcgetattr(slave, &settings);
    cfmakeraw(&settings); // line feeds stay line feeds
    tcsetattr(slave, TCSANOW, &settings);
    return OutputOfChild(slave, master, body);
}

std::string PipeOutputOfChild(const std::function<void(dvrcore &)> &body) {
    int ends[2];
    if (pipe(ends) != 0) {
        ADD_FAILURE() << "pipe failed";
        return "";
    }
    return OutputOfChild(ends[1], ends[0], body);
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

// ---- Reading console lines back ----

struct ConsoleLine {
    int colour = -1; // the digit after "3", or -1 for the plain format
    int secondOfDay = 0;
    std::string name;
    std::string text;
};

bool ParseConsoleLine(const std::string &line, ConsoleLine &parsed) {
    static const std::regex coloured("\x1b\\[3(\\d)m(\\d\\d):(\\d\\d):(\\d\\d)\x1b\\[36m (.{6})\x1b\\[0m (.*)");
    static const std::regex plain("(\\d\\d):(\\d\\d):(\\d\\d) (.{6}) (.*)");
    std::smatch match;
    int first = 0;
    if (std::regex_match(line, match, coloured)) {
        parsed.colour = std::stoi(match[1]);
        first = 2;
    } else if (std::regex_match(line, match, plain)) {
        parsed.colour = -1;
        first = 1;
    } else {
        return false;
    }
    parsed.secondOfDay =
        std::stoi(match[first]) * 3600 + std::stoi(match[first + 1]) * 60 + std::stoi(match[first + 2]);
    parsed.name = match[first + 3];
    parsed.text = match[first + 4];
    return true;
}

// Whether the UTC time of day lies within [from, to].
bool WithinUtc(int secondOfDay, time_t from, time_t to) {
    for (time_t t = from; t <= to; ++t) {
        if (t % 86400 == secondOfDay) {
            return true;
        }
    }
    return false;
}

// ---- Capturing LogMessage's event ----

struct RaisedLog {
    _EventParmsIn in;
    _EventParmsOut out;
    std::string text;
};
std::vector<RaisedLog> raised;

int32_t CaptureEvent(_EventParmsIn *in, _EventParmsOut *out) {
    raised.push_back({*in, *out, static_cast<const char *>(in->Data)});
    return 0;
}

class LogMessageTest : public ::testing::Test {
protected:
    void SetUp() override { raised.clear(); }
};

} // namespace

// ---- LogMessage ----

TEST_F(LogMessageTest, RaisesTheFormattedTextAsALogEventOfTheCore) {
    LogMessage(CORE_SOURCE, CaptureEvent, 50, "plugin %s ID 0x%08lX already loaded", "x.so", 0x10000ul);
    ASSERT_EQ(raised.size(), 1u);
    const _EventParmsIn &in = raised[0].in;
    EXPECT_EQ(raised[0].text, "plugin x.so ID 0x00010000 already loaded");
    EXPECT_EQ(in.Size, sizeof(_EventParmsIn));
    EXPECT_EQ(in.Version, 1u);
    EXPECT_EQ(in.DataLength, raised[0].text.size() + 1);
    EXPECT_EQ(in.Source, CORE_SOURCE);
    EXPECT_EQ(in.JobTag, 0u);
    EXPECT_EQ(in.EventClass, 0x40u);
    EXPECT_EQ(in.EventType, 0x1000002u);
    for (int word = 0; word < EVENT_PARAMS_WORDS; ++word) {
        EXPECT_EQ(in.Params[word], word == EVENT_PARAM_LEVEL ? 50u : 0u) << word;
    }
    EXPECT_EQ(raised[0].out.Size, 12u);
    EXPECT_EQ(raised[0].out.Version, 1u);
    EXPECT_EQ(raised[0].out.Result, 0);
}

TEST_F(LogMessageTest, CutsALongTextAt511CharactersAndCountsTheNul) {
    const std::string long600(600, 'x');
    LogMessage(0x00020000u, CaptureEvent, 25, "%s", long600.c_str());
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].text, long600.substr(0, 511));
    EXPECT_EQ(raised[0].in.DataLength, 512u);
    EXPECT_EQ(raised[0].in.Source, 0x00020000u);
}

TEST_F(LogMessageTest, NullEntryDoesNothing) {
    LogMessage(CORE_SOURCE, nullptr, 100, "%s", "never raised");
    EXPECT_TRUE(raised.empty());
}

// ---- The sink on a terminal ----

TEST(LogSink, TerminalLinesCarryUtcTimePaddedShortNameAndTheLevelsColour) {
    struct Case {
        uint32_t level;
        int colour;
    };
    const std::vector<Case> cases = {{0, 5},  {24, 5},  {25, 2},   {74, 3},
                                     {75, 1}, {100, 1}, {101, -1}, {0xFFFFFFFFu, -1}};
    const time_t before = time(nullptr);
    const std::string console = ConsoleOfChild([&](dvrcore &core) {
        for (const Case &each : cases) {
            core.LogSink(CORE_SOURCE, each.level, ("level " + std::to_string(each.level)).c_str());
        }
    });
    const time_t after = time(nullptr);
    const auto lines = Lines(console);
    ASSERT_EQ(lines.size(), cases.size() + 1) << console; // one system-log entry
    std::size_t line = 0;
    for (const Case &each : cases) {
        if (each.level == 100) {
            EXPECT_EQ(lines[line++], "[syslog 2 \"%s\"] level 100");
        }
        ConsoleLine parsed;
        ASSERT_TRUE(ParseConsoleLine(lines[line++], parsed)) << lines[line - 1];
        EXPECT_EQ(parsed.colour, each.colour) << each.level;
        EXPECT_EQ(parsed.name, "core  ");
        EXPECT_EQ(parsed.text, "level " + std::to_string(each.level));
        EXPECT_TRUE(WithinUtc(parsed.secondOfDay, before, after)) << lines[line - 1];
    }
}

TEST(LogSink, NamesAreCutToSixAndUnknownSourcesShowAQuestionMark) {
    const std::string console = ConsoleOfChild([](dvrcore &core) {
        core.LogSink(VIDEO_RECORDER, 25, "from the recorder");
        core.LogSink(UNKNOWN_SOURCE, 25, "from nobody known");
    });
    const auto lines = Lines(console);
    ASSERT_EQ(lines.size(), 2u) << console;
    ConsoleLine recorder;
    ConsoleLine unknown;
    ASSERT_TRUE(ParseConsoleLine(lines[0], recorder));
    ASSERT_TRUE(ParseConsoleLine(lines[1], unknown));
    EXPECT_EQ(recorder.name, "videor");
    EXPECT_EQ(unknown.name, "?     ");
}

TEST(LogSink, TextIsPrintedLiterallyAndANullTextIsSkipped) {
    const std::string tricky = "100% done %s %d %n %%";
    const std::string console = ConsoleOfChild([&](dvrcore &core) {
        core.LogSink(CORE_SOURCE, 100, tricky.c_str());
        core.LogSink(CORE_SOURCE, 100, nullptr);
        core.LogSink(CORE_SOURCE, 25, "line one\nline two");
    });
    const auto lines = Lines(console);
    ASSERT_EQ(lines.size(), 4u) << console;
    EXPECT_EQ(lines[0], "[syslog 2 \"%s\"] " + tricky);
    ConsoleLine parsed;
    ASSERT_TRUE(ParseConsoleLine(lines[1], parsed));
    EXPECT_EQ(parsed.text, tricky);
    // Line feeds in a text are written unchanged.
    ASSERT_TRUE(ParseConsoleLine(lines[2], parsed));
    EXPECT_EQ(parsed.text, "line one");
    EXPECT_EQ(lines[3], "line two");
}

TEST(LogSink, WithoutColourEveryLevelUsesThePlainFormat) {
    const std::string console = ConsoleOfChild([](dvrcore &core) {
        CoreTestAccess::SetColourConsole(core, false);
        core.LogSink(CORE_SOURCE, 0, "diagnostic");
        core.LogSink(CORE_SOURCE, 75, "error");
    });
    const auto lines = Lines(console);
    ASSERT_EQ(lines.size(), 2u) << console;
    for (const auto &line : lines) {
        ConsoleLine parsed;
        ASSERT_TRUE(ParseConsoleLine(line, parsed)) << line;
        EXPECT_EQ(parsed.colour, -1) << line;
    }
}

// ---- The sink without a terminal ----

TEST(LogSink, NothingReachesStandardOutputThatIsNoTerminalButErrorsStillReachTheSystemLog) {
    const std::string output = PipeOutputOfChild([](dvrcore &core) {
        for (const uint32_t level : {0u, 25u, 50u, 100u, 101u}) {
            core.LogSink(CORE_SOURCE, level, "quiet");
        }
    });
    EXPECT_EQ(output, "[syslog 2 \"%s\"] quiet\n");
}
