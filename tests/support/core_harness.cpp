#include "tests/support/core_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "include/dvrplugin.h"
#include "tests/support/child_process.h"

namespace fs = boost::filesystem;

namespace coretest {

namespace {

std::vector<std::string> SplitList(const std::string &list) {
    std::vector<std::string> items;
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, '|')) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

// The command that starts the core; cross-built cores run through the
// emulator, since nothing on the machine starts them otherwise.
testsupport::ChildOptions CoreCommand(const std::string &corePath, const StartOptions &options, int coreEnd) {
    const std::string argv0 = options.argv0.empty() ? corePath : options.argv0;
    testsupport::ChildOptions child;
    child.command = SplitList(CORE_EMULATOR);
    if (!child.command.empty()) {
        child.command.insert(child.command.end(), {"-0", argv0, corePath});
    } else {
        child.command.push_back(argv0);
        child.program = corePath;
    }
    if (!options.arguments.empty()) {
        child.command.insert(child.command.end(), options.arguments.begin(), options.arguments.end());
    } else if (coreEnd >= 0) {
        child.command.push_back(std::to_string(coreEnd));
    }
    if (coreEnd >= 0) {
        child.inherited.push_back(coreEnd); // also under arguments of the test's own
    }
    child.beforeExec = options.beforeExec;
    return child;
}

void MakeRaw(int terminal) {
    termios settings;
    tcgetattr(terminal, &settings);
    cfmakeraw(&settings);
    tcsetattr(terminal, TCSANOW, &settings);
}

} // namespace

double TimeScale() { return CORE_TIME_SCALE; }

Seconds Scaled(double seconds) { return Seconds(seconds * TimeScale()); }

bool Emulated() { return !SplitList(CORE_EMULATOR).empty(); }

std::string EmulatorRoot() {
    const std::vector<std::string> command = SplitList(CORE_EMULATOR);
    for (size_t word = 1; word + 1 < command.size(); ++word) {
        if (command[word] == "-L") {
            return command[word + 1];
        }
    }
    return "";
}

std::string BuiltCoreVersion() { return CORE_VERSION; }

std::string TestPluginPath(const std::string &variant) { return std::string(TEST_PLUGIN_DIR) + "/" + variant + ".so"; }

long ResidentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

Installation::Installation() { fs::copy_file(CORE_EXECUTABLE, CorePath()); }

void Installation::ReplaceCore(const std::string &executable) const {
    fs::copy_file(executable, CorePath(), fs::copy_option::overwrite_if_exists);
}

// A root core refuses plugins that group or others may change: whatever the
// umask of the test run, installed ones are well kept.
void Installation::AddPlugin(const std::string &variant, const std::string &fileName,
                             const std::string &directory) const {
    const std::string installedDirectory = root.Path(directory);
    const std::string installed = installedDirectory + "/" + fileName;
    fs::create_directories(installedDirectory);
    fs::copy_file(TestPluginPath(variant), installed, fs::copy_option::overwrite_if_exists);
    for (const auto &path : {installedDirectory, installed}) {
        fs::permissions(path, fs::remove_perms | fs::group_write | fs::others_write);
    }
}

void Installation::WriteFile(const std::string &relative, const std::string &content) const {
    const fs::path path = root.Path(relative);
    fs::create_directories(path.parent_path());
    std::ofstream(path.string(), std::ios::binary) << content;
}

std::string Installation::ReadFile(const std::string &relative) const {
    std::ifstream file(root.Path(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Installation::Exists(const std::string &relative) const { return fs::exists(root.Path(relative)); }

std::vector<std::string> Installation::Calls() const { return Lines(ReadFile("calls.log")); }

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::size_t Count(const std::string &text, const std::string &part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<std::string> CallsContaining(const Installation &installation, const std::string &text) {
    std::vector<std::string> found;
    for (const auto &line : installation.Calls()) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<std::string> WaitForCalls(const Installation &installation, const std::string &text, std::size_t count,
                                      Seconds timeout) {
    std::vector<std::string> found;
    WaitUntil([&] { return (found = CallsContaining(installation, text)).size() >= count; }, timeout);
    return found;
}

CoreProcess::CoreProcess(const Installation &installation, const StartOptions &options) {
    int ends[2] = {-1, -1};
    if (options.supervisor && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    }
    int consoleMaster = -1;
    int consoleSlave = -1;
    openpty(&consoleMaster, &consoleSlave, nullptr, nullptr, nullptr);
    MakeRaw(consoleSlave);
    // The core gets the console as its standard output only, like the rest
    // of what it inherits from here: programs it starts are checked for
    // descriptors it passed on.
    fcntl(consoleMaster, F_SETFD, FD_CLOEXEC);
    fcntl(consoleSlave, F_SETFD, FD_CLOEXEC);
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
    }
    testsupport::ChildOptions child = CoreCommand(installation.CorePath(), options, ends[1]);
    child.directory = installation.Root();
    child.output = consoleSlave;
    child.errors = errorPipe[1];
    pid = testsupport::StartChild(child);
    close(consoleSlave);
    close(errorPipe[1]);
    if (ends[1] >= 0) {
        close(ends[1]);
    }
    supervisor = ends[0];
    outputReader =
        std::thread([this, consoleMaster, errorRead = errorPipe[0]] { CollectOutput(consoleMaster, errorRead); });
}

CoreProcess::~CoreProcess() {
    if (!exitCode && pid > 0) {
        kill(pid, SIGKILL);
        WaitForExit(Seconds(30));
    }
    if (outputReader.joinable()) {
        outputReader.join();
    }
    if (supervisor >= 0) {
        close(supervisor);
    }
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "---- core console ----\n%s\n---- core standard error ----\n%s\n----\n", Console().c_str(),
                     Errors().c_str());
    }
}

// Reads both outputs until the core and everything it started have closed them.
void CoreProcess::CollectOutput(int consoleFd, int errorsFd) {
    pollfd watched[2] = {{consoleFd, POLLIN, 0}, {errorsFd, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t count = read(watched[i].fd, chunk, sizeof chunk);
            if (count <= 0) {
                close(watched[i].fd);
                watched[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard<std::mutex> lock(outputMutex);
            (i == 0 ? console : errors).append(chunk, count);
            outputChanged.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(outputMutex);
    outputClosed = true;
    outputChanged.notify_all();
}

void CoreProcess::SendPacket(uint32_t type, uint32_t address, const std::string &payload) const {
    IpcHeader header{static_cast<uint32_t>(sizeof header + payload.size()), address, type, 0};
    std::string packet(reinterpret_cast<const char *>(&header), sizeof header);
    packet += payload;
    ASSERT_EQ(send(supervisor, packet.data(), packet.size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()));
}

void CoreProcess::SendIdentity(const std::string &fileName, const std::string &version) const {
    SendPacket(IPC_IDENTITY, 0, fileName + std::string(1, '\0') + version);
}

void CoreProcess::SendStop() const { SendPacket(IPC_STOP, 0, ""); }

std::optional<std::string> CoreProcess::ReceivePacket(Seconds timeout) const {
    pollfd watched{supervisor, POLLIN, 0};
    if (poll(&watched, 1, static_cast<int>(timeout.count() * 1000)) <= 0) {
        return std::nullopt;
    }
    std::string packet(IPC_MAX_PACKET_LENGTH, '\0');
    const ssize_t count = recv(supervisor, packet.data(), packet.size(), 0);
    if (count <= 0) {
        return std::nullopt;
    }
    packet.resize(count);
    return packet;
}

void CoreProcess::CloseSupervisor() {
    close(supervisor);
    supervisor = -1;
}

void CoreProcess::Signal(int signal) const { kill(pid, signal); }

// ThreadSanitizer's runtime defers signals to its own points, and was seen
// to drop a stop signal the kernel had handed to it, about once in a hundred
// starts. Under it the signal is sent again until the core says it stops; the
// core takes a stop signal after the first as nothing new. Elsewhere one
// signal must do.
std::optional<int> CoreProcess::StopBySignal(int signal, Seconds timeout, pid_t core) {
    const pid_t signalled = core > 0 ? core : pid;
    kill(signalled, signal);
#if defined(__SANITIZE_THREAD__)
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!WaitForConsole("stopping core version", Scaled(2)) && std::chrono::steady_clock::now() < deadline) {
        kill(signalled, signal);
    }
#endif
    return WaitForExit(timeout);
}

std::optional<int> CoreProcess::WaitForExit(Seconds timeout) {
    if (exitCode) {
        return exitCode;
    }
    const std::optional<int> status = testsupport::WaitForEnd(pid, timeout);
    if (!status) {
        return std::nullopt;
    }
    exitCode = testsupport::ExitCode(*status);
    WaitForOutputClosed();
    return exitCode;
}

// Everything the core wrote is read before the caller looks at it; bounded,
// since a process the core left behind may still hold the outputs open.
void CoreProcess::WaitForOutputClosed() {
    std::unique_lock<std::mutex> lock(outputMutex);
    outputChanged.wait_for(lock, Scaled(5), [&] { return outputClosed; });
}

bool CoreProcess::WaitForConsole(const std::string &text, Seconds timeout) {
    std::unique_lock<std::mutex> lock(outputMutex);
    return outputChanged.wait_for(lock, timeout, [&] { return console.find(text) != std::string::npos; });
}

std::string CoreProcess::Console() const {
    std::lock_guard<std::mutex> lock(outputMutex);
    return console;
}

std::string CoreProcess::Errors() const {
    std::lock_guard<std::mutex> lock(outputMutex);
    return errors;
}

} // namespace coretest
