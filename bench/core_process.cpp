#include "bench/core_process.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "include/dvrplugin.h"
#include "tests/support/child_process.h"

namespace fs = boost::filesystem;

namespace bench {

namespace {

constexpr char STARTED_LINE[] = "successfully started core version";
// Enough of the console to show why a core failed.
constexpr std::size_t CONSOLE_KEPT = 64 * 1024;

std::atomic<int> failedCores{0};

void AppendWords(std::vector<std::string> &command, const char *words) {
    std::stringstream stream(words != nullptr ? words : "");
    for (std::string word; stream >> word;) {
        command.push_back(word);
    }
}

// Cross-built cores run through the emulator: nothing on the build machine
// starts them otherwise. CORE_BENCH_WRAPPER (for example a profiler's
// command line) goes in front of the core.
std::vector<std::string> CoreCommand(const std::string &corePath, int descriptor) {
    std::vector<std::string> command;
    AppendWords(command, std::getenv("CORE_BENCH_WRAPPER"));
    AppendWords(command, CORE_EMULATOR);
    command.push_back(corePath);
    command.push_back(std::to_string(descriptor));
    return command;
}

// The value of a "Name: value" line of /proc/<pid>/status, or empty.
std::string StatusField(pid_t pid, const std::string &name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return line.substr(name.size() + 1);
        }
    }
    return {};
}

} // namespace

Seconds Patience() { return Seconds(60 * CORE_TIME_SCALE); }

namespace {

std::vector<std::string> guestPlugins;
std::vector<std::string> guestFiles;

} // namespace

void AddGuestPlugin(const std::string &path) { guestPlugins.push_back(path); }

void AddGuestFile(const std::string &path) { guestFiles.push_back(path); }

Installation::Installation() {
    fs::copy_file(CORE_EXECUTABLE, root.Path("core"));
    fs::create_directories(root.Path("plugins"));
    for (const std::string &plugin : guestPlugins) {
        fs::copy_file(plugin, root.Path("plugins/" + fs::path(plugin).filename().string()));
    }
    for (const std::string &file : guestFiles) {
        fs::copy_file(file, root.Path(fs::path(file).filename().string()));
    }
}

void Installation::AddPlugin(const std::string &library, const std::string &fileName) const {
    fs::copy_file(std::string(BENCH_PLUGIN_DIR) + "/" + library + ".so", root.Path("plugins/" + fileName),
                  fs::copy_option::overwrite_if_exists);
}

CoreProcess::CoreProcess(const Installation &installation) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    int consoleMaster = -1;
    int consoleSlave = -1;
    if (openpty(&consoleMaster, &consoleSlave, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios settings;
    tcgetattr(consoleSlave, &settings);
    cfmakeraw(&settings);
    tcsetattr(consoleSlave, TCSANOW, &settings);
    fcntl(consoleMaster, F_SETFD, FD_CLOEXEC);

    testsupport::ChildOptions child;
    child.command = CoreCommand(installation.Root() + "/core", ends[1]);
    child.directory = installation.Root();
    child.output = consoleSlave;
    child.errors = consoleSlave;
    child.inherited = {ends[1]}; // the core's end of the link
    forkedAt = Clock::now();
    pid = testsupport::StartChild(child);
    close(consoleSlave);
    close(ends[1]);
    supervisor = ends[0];
    const std::string identity = std::string("bench-supervisor") + '\0' + "1.0";
    SendPacket(IPC_IDENTITY, 0, identity.data(), identity.size());
    consoleReader = std::thread([this, consoleMaster] { ReadConsole(consoleMaster); });
}

CoreProcess::~CoreProcess() {
    SendPacket(IPC_STOP, 0, nullptr, 0);
    auto status = testsupport::WaitForEnd(pid, Patience());
    if (!status) {
        kill(pid, SIGKILL);
        status = testsupport::WaitForEnd(pid, Patience());
    }
    consoleReader.join();
    close(supervisor);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        ++failedCores;
        std::fprintf(stderr, "core %d did not stop cleanly (status %d); its console:\n%s\n", static_cast<int>(pid),
                     status.value_or(-1), console.c_str());
    }
}

int CoreProcess::Failures() { return failedCores; }

std::optional<Seconds> CoreProcess::WaitUntilStarted() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!startedSignal.wait_for(lock, Patience(), [this] { return startedAt.has_value(); })) {
        std::fprintf(stderr, "core did not start; its console:\n%s\n", console.c_str());
        return std::nullopt;
    }
    return *startedAt - forkedAt;
}

void CoreProcess::SendPacket(uint32_t type, uint32_t address, const void *payload, std::size_t length) const {
    std::vector<char> packet(sizeof(IpcHeader) + length);
    const IpcHeader header{static_cast<uint32_t>(packet.size()), address, type, 0};
    std::memcpy(packet.data(), &header, sizeof header);
    if (length != 0) {
        std::memcpy(packet.data() + sizeof header, payload, length);
    }
    if (send(supervisor, packet.data(), packet.size(), MSG_NOSIGNAL) < 0) {
        std::fprintf(stderr, "send to the core failed: %s\n", std::strerror(errno));
    }
}

// Drains the console until the core and its children have closed it, so that
// the core never blocks on a full terminal; notes when the start-up line came.
void CoreProcess::ReadConsole(int consoleFd) {
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(consoleFd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (console.size() < CONSOLE_KEPT) {
            console.append(chunk, count);
        }
        if (!startedAt && console.find(STARTED_LINE) != std::string::npos) {
            startedAt = now;
            startedSignal.notify_all();
        }
    }
    close(consoleFd);
}

double CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may itself hold spaces.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int number = 3; fields >> field; ++number) {
        if (number == 14) {
            user = std::stoull(field);
        } else if (number == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

uint64_t ResidentBytes(pid_t pid) { return std::strtoull(StatusField(pid, "VmRSS").c_str(), nullptr, 10) * 1024; }

uint64_t AnonymousBytes(pid_t pid) { return std::strtoull(StatusField(pid, "RssAnon").c_str(), nullptr, 10) * 1024; }

} // namespace bench
