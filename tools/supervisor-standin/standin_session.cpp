#include "standin_session.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstring>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "include/dvrplugin.h"
#include "packet_text.h"

namespace {

// Also the longest sleep, so that an exited core is noticed promptly.
constexpr int POLL_MILLISECONDS = 200;

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

} // namespace

StandinSession::StandinSession(const StandinOptions &options, std::string identityName, int socket, int signals,
                               pid_t core, FILE *record)
    : options(options), identityName(std::move(identityName)), socket(socket), signals(signals), core(core),
      record(record), received(IPC_MAX_PACKET_LENGTH) {}

StandinSession::~StandinSession() {
    if (socket >= 0) {
        close(socket);
    }
}

int StandinSession::Run() {
    const std::vector<Action> actions = Schedule();
    std::size_t next = 0;
    for (;;) {
        int status = 0;
        if (waitpid(core, &status, WNOHANG) == core) {
            Note("core exited with code %d", ExitCodeOf(status));
            return ExitCodeOf(status);
        }
        for (; next < actions.size() && actions[next].at <= Elapsed(); ++next) {
            Carry(actions[next]);
        }
        int timeout = POLL_MILLISECONDS;
        if (next < actions.size()) {
            const double wait = std::ceil((actions[next].at - Elapsed()) * 1000);
            timeout = static_cast<int>(std::clamp(wait, 0.0, static_cast<double>(POLL_MILLISECONDS)));
        }
        pollfd watched[2] = {{signals, POLLIN, 0}, {socket, POLLIN, 0}};
        if (poll(watched, socket < 0 ? 1 : 2, timeout) <= 0) {
            continue;
        }
        if ((watched[0].revents & POLLIN) != 0) {
            HandleSignal();
        }
        if (socket >= 0 && watched[1].revents != 0) {
            ReceiveFromCore();
        }
    }
}

// In time order; at equal times in the order listed here, so that the
// identity goes before packets due at the same moment.
std::vector<StandinSession::Action> StandinSession::Schedule() const {
    std::vector<Action> actions;
    if (options.sendIdentity) {
        actions.push_back({options.identityDelay, ActionKind::Identity, 0});
    }
    const double firstSend = (options.sendIdentity ? options.identityDelay : 0) + options.sendDelay;
    for (uint32_t round = 0; round < options.repeat; ++round) {
        for (std::size_t i = 0; i < options.packets.size(); ++i) {
            actions.push_back({firstSend + round * options.interval, ActionKind::Packet, i});
        }
    }
    if (options.stopAfter >= 0) {
        actions.push_back({options.stopAfter, ActionKind::Stop, 0});
    }
    if (options.closeAfter >= 0) {
        actions.push_back({options.closeAfter, ActionKind::Close, 0});
    }
    std::stable_sort(actions.begin(), actions.end(), [](const Action &a, const Action &b) { return a.at < b.at; });
    return actions;
}

double StandinSession::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void StandinSession::Carry(const Action &action) {
    switch (action.kind) {
    case ActionKind::Identity:
        Send(BuildPacket(IPC_IDENTITY, 0, identityName + std::string(1, '\0') + options.version),
             "identity \"" + identityName + "\" version \"" + options.version + "\"");
        break;
    case ActionKind::Packet: {
        const OutgoingPacket &packet = options.packets[action.packet];
        char what[64];
        std::snprintf(what, sizeof what, "packet to 0x%08X type %u", static_cast<unsigned>(packet.address),
                      static_cast<unsigned>(options.packetType));
        Send(BuildPacket(options.packetType, packet.address, packet.payload), what);
        break;
    }
    case ActionKind::Stop:
        SendStop();
        break;
    case ActionKind::Close:
        CloseLink("closing the link: the core should log its loss and exit in about a minute");
        break;
    }
}

void StandinSession::Send(const std::string &packet, const std::string &what) {
    if (socket < 0) {
        Note("link closed: %s not sent", what.c_str());
        return;
    }
    if (send(socket, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size())) {
        Note("sending %s failed: %s", what.c_str(), std::strerror(errno));
        return;
    }
    Note("sent %s, %zu bytes", what.c_str(), packet.size());
}

void StandinSession::SendStop() {
    if (!stopSent) {
        stopSent = true;
        Send(BuildPacket(IPC_STOP, 0, ""), "stop");
    }
}

void StandinSession::ReceiveFromCore() {
    const ssize_t count = recv(socket, received.data(), received.size(), 0);
    if (count <= 0) {
        CloseLink(count == 0 ? "the core closed the link" : std::strerror(errno));
        return;
    }
    const double at = Elapsed();
    std::vector<std::string> busLines;
    if (options.monitor && monitorView.Describe(received.data(), count, busLines)) {
        for (const std::string &line : busLines) {
            Note("%s", line.c_str());
        }
    } else {
        Note("from core: %s", DescribePacket(received.data(), count).c_str());
    }
    if (record != nullptr) {
        std::fprintf(record, "%.3f %zd %s\n", at, count, HexBytes(received.data(), count).c_str());
        std::fflush(record);
    }
}

void StandinSession::HandleSignal() {
    signalfd_siginfo info;
    if (read(signals, &info, sizeof info) != sizeof info || info.ssi_signo == SIGCHLD) {
        return;
    }
    const int signal = static_cast<int>(info.ssi_signo);
    if (socket >= 0 && !stopSent) {
        Note("%s: stopping the core", strsignal(signal));
        SendStop();
    } else {
        Note("%s: passed on to the core", strsignal(signal));
        kill(core, signal);
    }
}

void StandinSession::CloseLink(const char *why) {
    if (socket >= 0) {
        Note("%s", why);
        close(socket);
        socket = -1;
    }
}

void StandinSession::Note(const char *format, ...) {
    std::printf("[%8.3f] supervisor-standin: ", Elapsed());
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::printf("\n");
    std::fflush(stdout);
}
