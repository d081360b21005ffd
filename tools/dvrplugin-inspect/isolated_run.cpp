#include "isolated_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "privileges.h"

namespace {

// What the child tells, one record each: a tag, a 32-bit length, the bytes.
enum Tag : char {
    STAGE = 'S',        // the call it is about to make
    LOADER_ERROR = 'E', // the loader refused the library
    LOAD_RESULT = 'L',  // result, error word, then the 64-byte _LoadParmsOut
    LOG_LINE = 'G',
    OTHER_EVENTS = 'O', // how many other events it raised, as text
    ENTRIES = 'N',      // the entry points the loader resolved, separated by spaces
    DROP_FAILED = 'D',  // it could not drop root's privileges
};

constexpr int EXIT_TOLD = 0;
constexpr int EXIT_NOT_RUN = 3;

class ChildReport {
public:
    explicit ChildReport(int descriptor) : descriptor(descriptor) {}

    void Tell(Tag tag, const std::string &bytes) const {
        const auto length = static_cast<uint32_t>(bytes.size());
        std::string record(1, tag);
        record.append(reinterpret_cast<const char *>(&length), sizeof length);
        record += bytes;
        for (std::size_t written = 0; written < record.size();) {
            const ssize_t count = write(descriptor, record.data() + written, record.size() - written);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                return;
            }
            written += static_cast<std::size_t>(count);
        }
    }

private:
    const int descriptor;
};

std::string Raw(const void *bytes, std::size_t length) { return std::string(static_cast<const char *>(bytes), length); }

// In the child: the kit opens the library as the core does, then Load,
// Close and Unload.
void Inspect(const std::string &path, const ChildReport &report) {
    report.Tell(STAGE, "opening the library");
    std::optional<dvrtest::PluginUnderTest> plugin;
    try {
        plugin.emplace(path);
    } catch (const std::runtime_error &refusal) {
        report.Tell(LOADER_ERROR, refusal.what());
        return;
    }
    std::string entries;
    for (const std::string &entry : plugin->ExportedEntries()) {
        entries += (entries.empty() ? "" : " ") + entry;
    }
    report.Tell(ENTRIES, entries);
    report.Tell(STAGE, "Load");
    const dvrtest::CallResult load = plugin->Load();
    const _LoadParmsOut info = plugin->Info();
    report.Tell(LOAD_RESULT,
                Raw(&load.Result, sizeof load.Result) + Raw(&load.Error, sizeof load.Error) + Raw(&info, sizeof info));
    report.Tell(STAGE, "Close");
    plugin->Close();
    report.Tell(STAGE, "Unload (which waits for the plugin's threads)");
    plugin->Unload();
    std::size_t others = 0;
    for (const dvrtest::RaisedEvent &event : plugin->Events()) {
        if (event.IsLog()) {
            report.Tell(LOG_LINE, event.Text());
        } else {
            ++others;
        }
    }
    report.Tell(OTHER_EVENTS, std::to_string(others));
}

[[noreturn]] void BeChild(const std::string &path, int writeEnd, bool dropRoot, const UnprivilegedUser &user) {
    const ChildReport report(writeEnd);
    if (dropRoot) {
        const std::string failure = DropRootPrivileges(user);
        if (!failure.empty()) {
            report.Tell(DROP_FAILED, failure);
            _exit(EXIT_NOT_RUN);
        }
    }
    try {
        Inspect(path, report);
    } catch (const std::exception &error) {
        report.Tell(LOADER_ERROR, error.what());
    }
    // Skips the exit handlers: what the plugin left behind is not ours to tidy.
    _exit(EXIT_TOLD);
}

// Takes the records out of `received` as they become whole.
void TakeRecords(std::string &received, PluginFacts &facts, std::string &stage) {
    constexpr std::size_t HEAD = 1 + sizeof(uint32_t);
    while (received.size() >= HEAD) {
        uint32_t length = 0;
        std::memcpy(&length, received.data() + 1, sizeof length);
        if (received.size() - HEAD < length) {
            return;
        }
        const std::string bytes = received.substr(HEAD, length);
        switch (received[0]) {
        case STAGE:
            stage = bytes;
            break;
        case LOADER_ERROR:
            facts.loaderError = bytes;
            break;
        case LOAD_RESULT:
            if (bytes.size() == 2 * sizeof(int32_t) + sizeof facts.info) {
                facts.loadCalled = true;
                std::memcpy(&facts.load.Result, bytes.data(), sizeof(int32_t));
                std::memcpy(&facts.load.Error, bytes.data() + sizeof(int32_t), sizeof(int32_t));
                std::memcpy(&facts.info, bytes.data() + 2 * sizeof(int32_t), sizeof facts.info);
                facts.load.Called = true;
            }
            break;
        case LOG_LINE:
            facts.logLines.push_back(bytes);
            break;
        case OTHER_EVENTS:
            facts.otherEvents = std::strtoul(bytes.c_str(), nullptr, 10);
            break;
        case ENTRIES:
            // The file's own table, when it has one, is what the report shows.
            if (!facts.entriesKnown) {
                facts.entriesKnown = true;
                facts.entries.clear();
                for (std::size_t at = 0, end; at < bytes.size(); at = end + 1) {
                    end = std::min(bytes.find(' ', at), bytes.size());
                    facts.entries.push_back(bytes.substr(at, end - at));
                }
            }
            break;
        case DROP_FAILED:
            facts.notRun = "root's privileges could not be dropped (" + bytes + ")";
            break;
        default:
            break;
        }
        received.erase(0, HEAD + length);
    }
}

std::string SignalText(int signal) {
    const char *name = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) + (name != nullptr ? std::string(" (SIG") + name + ")" : "");
}

} // namespace

void RunInChild(PluginFacts &facts, double seconds) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        facts.notRun = std::string("no pipe for the child: ") + std::strerror(errno);
        return;
    }
    const bool dropRoot = geteuid() == 0;
    const UnprivilegedUser user = FindUnprivilegedUser();
    std::fflush(nullptr); // nothing buffered may be written twice after the fork
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        BeChild(facts.path, ends[1], dropRoot, user);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        facts.notRun = std::string("no child process: ") + std::strerror(errno);
        return;
    }
    if (dropRoot) {
        facts.ranAs = "the user nobody (root's privileges dropped)";
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string received;
    std::string stage;
    bool timedOut = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pipe{ends[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&pipe, 1, static_cast<int>(left.count())) : 0;
        if (ready == 0) {
            timedOut = true;
            break;
        }
        char buffer[4096];
        const ssize_t count = ready > 0 ? read(ends[0], buffer, sizeof buffer) : -1;
        if (count == 0 || (count < 0 && errno != EINTR)) {
            break; // the child has closed its end: it has ended
        }
        if (count > 0) {
            received.append(buffer, static_cast<std::size_t>(count));
            TakeRecords(received, facts, stage);
        }
    }
    close(ends[0]);
    if (timedOut) {
        kill(child, SIGKILL);
        facts.hung = stage.empty() ? "the library's start" : stage;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!timedOut && WIFSIGNALED(status)) {
        facts.crashed =
            (stage.empty() ? std::string("opening the library") : stage) + " with " + SignalText(WTERMSIG(status));
    }
}
