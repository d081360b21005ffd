// A stand-in for the supervising daemon, for the demo and for trying plugins
// by hand: it starts the core on a socket pair and talks to it.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <libgen.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "include/dvrplugin.h"
#include "standin_options.h"

namespace {

sigset_t HandledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    return signals;
}

pid_t StartCore(const StandinOptions &options, int coreEnd) {
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const std::string descriptor = std::to_string(coreEnd);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(options.corePath.c_str()));
    argv.push_back(const_cast<char *>(descriptor.c_str()));
    for (const auto &argument : options.coreArguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "supervisor-standin: cannot start %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

bool SendPacket(int socket, uint32_t type, const std::string &payload) {
    IpcHeader header{static_cast<uint32_t>(sizeof header + payload.size()), 0, type, 0};
    std::string packet(reinterpret_cast<const char *>(&header), sizeof header);
    packet += payload;
    return send(socket, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

void SendIdentity(int socket, const char *programPath, const std::string &version) {
    std::string path = programPath;
    std::string payload = basename(path.data());
    payload.push_back('\0');
    payload += version;
    SendPacket(socket, IPC_IDENTITY, payload);
}

void PrintPacket(const uint8_t *packet, ssize_t length) {
    std::printf("supervisor-standin: packet of %zd bytes from core:", length);
    for (ssize_t i = 0; i < length && i < 32; ++i) {
        std::printf(" %02x", packet[i]);
    }
    std::printf(length > 32 ? " ...\n" : "\n");
    std::fflush(stdout);
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Serves the link until the core exits; returns its exit code.
int Supervise(int socket, int signals, pid_t core, int runSeconds) {
    const time_t deadline = runSeconds < 0 ? 0 : time(nullptr) + runSeconds;
    bool stopSent = false;
    std::vector<uint8_t> packet(IPC_MAX_PACKET_LENGTH);
    for (;;) {
        pollfd watched[2] = {{signals, POLLIN, 0}, {socket, POLLIN, 0}};
        const int count = poll(watched, socket < 0 ? 1 : 2, 200);
        int status = 0;
        if (waitpid(core, &status, WNOHANG) == core) {
            return ExitCodeOf(status);
        }
        bool stopNow = deadline != 0 && time(nullptr) >= deadline;
        if (count > 0 && (watched[0].revents & POLLIN) != 0) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == sizeof info && info.ssi_signo != SIGCHLD) {
                stopNow = true;
            }
        }
        if (count > 0 && socket >= 0 && (watched[1].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t received = recv(socket, packet.data(), packet.size(), 0);
            if (received > 0) {
                PrintPacket(packet.data(), received);
            } else {
                close(socket);
                socket = -1;
            }
        }
        if (stopNow && !stopSent && socket >= 0) {
            std::printf("supervisor-standin: sending stop\n");
            std::fflush(stdout);
            stopSent = SendPacket(socket, IPC_STOP, "");
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    StandinOptions options;
    if (!ParseStandinOptions(argc, argv, options)) {
        return 2;
    }
    const sigset_t handled = HandledSignals();
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC);

    int ends[2];
    if (signals < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        std::perror("supervisor-standin");
        return 2;
    }
    const int ownEnd = ends[0];
    const int coreEnd = ends[1];
    fcntl(ownEnd, F_SETFD, FD_CLOEXEC);
    const pid_t core = StartCore(options, coreEnd);
    close(coreEnd);
    if (core < 0) {
        std::perror("supervisor-standin: fork");
        return 2;
    }
    if (options.sendIdentity) {
        SendIdentity(ownEnd, argv[0], options.version);
    }
    return Supervise(ownEnd, signals, core, options.runSeconds);
}
