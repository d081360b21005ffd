#include "run_summary.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <regex>

#include <sys/wait.h>

namespace {

// "HH:MM:SS " then the source's short name cut or padded to six characters.
constexpr std::size_t TEXT_AT = 16;
const char *const CORE_NAME = "core  ";

// A refusal's reason as the summary gives it: the core's own words, cut.
constexpr std::size_t REASON_LENGTH = 60;

struct Refusal {
    std::regex pattern; // the file name is its first group; a second is the reason
    const char *why;    // the reason when the line has none of its own
};

// The core's own lines for a library it did not take.
const std::vector<Refusal> &Refusals() {
    static const std::vector<Refusal> refusals{
        {std::regex("^Core: Failed to load plugin '(.*?)': (.*)$"), nullptr},
        {std::regex("^Core: Failed to load plugin: (.*) \\(missing symbol\\)$"), "missing symbol"},
        {std::regex("^plugin (.*) load returned -?[0-9]+ error -?[0-9]+$"), "its Load failed"},
        {std::regex("^plugin (.*) ID 0x[0-9A-F]+ already loaded$"), "ID taken"},
        {std::regex("^plugin (.*) ID 0x[0-9A-F]+ is reserved for job control$"), "ID 0"},
    };
    return refusals;
}

std::string Plural(uint64_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::string SignalName(int signal) {
    const char *name = sigabbrev_np(signal);
    return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

void RunSummary::SeeConsoleLine(const std::string &line) {
    if (line.size() <= TEXT_AT || line.compare(TEXT_AT - 7, 6, CORE_NAME) != 0) {
        return;
    }
    const std::string text = line.substr(TEXT_AT);
    std::smatch match;
    for (const Refusal &refusal : Refusals()) {
        if (std::regex_search(text, match, refusal.pattern)) {
            std::string why = refusal.why != nullptr ? refusal.why : match[2].str();
            if (why.size() > REASON_LENGTH) {
                why = why.substr(0, REASON_LENGTH - 3) + "...";
            }
            Refuse(match[1].str(), why);
            return;
        }
    }
    static const std::regex LEAK("^plugin .* leaked ([0-9]+) buffers, [0-9]+ bytes$");
    if (std::regex_search(text, match, LEAK)) {
        leakedBuffers += std::stoull(match[1].str());
        ++leakingPlugins;
    }
}

void RunSummary::Refuse(const std::string &library, const std::string &why) {
    refused.push_back(library + " (" + why + ")");
}

std::string RunSummary::Line(int waitStatus) const {
    std::string line = WIFSIGNALED(waitStatus) ? "the core was killed by " + SignalName(WTERMSIG(waitStatus))
                                               : "the core exited with code " + std::to_string(WEXITSTATUS(waitStatus));
    if (refused.empty()) {
        line += "; no plugin refused";
    } else {
        line += "; " + Plural(refused.size(), "plugin", "plugins") + " refused:";
        for (std::size_t i = 0; i < refused.size(); ++i) {
            line += (i == 0 ? " " : ", ") + refused[i];
        }
    }
    line += leakedBuffers == 0 ? "; no buffer leaked"
                               : "; " + Plural(leakedBuffers, "buffer", "buffers") + " leaked by " +
                                     Plural(leakingPlugins, "plugin", "plugins");
    return line;
}

int RunSummary::ExitCode(int waitStatus) const {
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    const int code = WEXITSTATUS(waitStatus);
    return code == 0 && !refused.empty() ? EXIT_PLUGIN_REFUSED : code;
}
