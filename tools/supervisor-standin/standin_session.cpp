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
#include "tools/bus-monitor/bus_monitor_packet.h"

namespace {

// Also the longest sleep, so that an exited core (and a modules report that
// packets wait for) is noticed promptly.
constexpr int POLL_MILLISECONDS = 200;
// After the core has exited, how long its console may take to deliver each
// last piece of what it wrote.
constexpr int LAST_CONSOLE_MILLISECONDS = 500;
// The core waits this long after it lost its link before it stops.
constexpr double LINK_LOSS_STOP_SECONDS = 60;
// The interrupt that kills the core instead of asking it again.
constexpr unsigned KILLING_INTERRUPT = 3;

std::string LittleEndianWord(uint32_t value) {
    std::string bytes(4, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    return bytes;
}

} // namespace

StandinSession::StandinSession(const StandinOptions &options, std::string identityName, int socket, int signals,
                               const LaunchedCore &core, FILE *record)
    : options(options), identityName(std::move(identityName)), socket(socket), signals(signals), core(core.pid),
      record(record), received(IPC_MAX_PACKET_LENGTH),
      console(core.console, stdout, isatty(STDOUT_FILENO) != 0, summary) {}

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
            return Finish(status);
        }
        for (; next < actions.size() && actions[next].at <= Elapsed(); ++next) {
            Carry(actions[next]);
        }
        SendHeldPackets();
        if (killAt && Clock::now() >= *killAt) {
            KillCore("the core has not stopped in time");
        }
        pollfd watched[3] = {{signals, POLLIN, 0}, {console.Descriptor(), POLLIN, 0}, {socket, POLLIN, 0}};
        if (poll(watched, 3, PollTimeout(actions, next)) <= 0) {
            continue;
        }
        if ((watched[0].revents & POLLIN) != 0) {
            HandleSignal();
        }
        if (watched[1].revents != 0) {
            console.Relay();
        }
        if (socket >= 0 && watched[2].revents != 0) {
            ReceiveFromCore();
        }
    }
}

// In time order; at equal times in the order listed here, so that the
// monitor's setting goes before the identity (and so reaches it before any
// event is delivered), and the identity before packets due at the same
// moment.
std::vector<StandinSession::Action> StandinSession::Schedule() const {
    std::vector<Action> actions;
    if (options.monitor) {
        actions.push_back({0, ActionKind::MonitorSettings, 0});
    }
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

double StandinSession::Elapsed() const { return std::chrono::duration<double>(Clock::now() - start).count(); }

int StandinSession::PollTimeout(const std::vector<Action> &actions, std::size_t next) const {
    double wait = POLL_MILLISECONDS;
    if (next < actions.size()) {
        wait = std::min(wait, std::ceil((actions[next].at - Elapsed()) * 1000));
    }
    if (killAt) {
        wait = std::min(wait, std::ceil(std::chrono::duration<double, std::milli>(*killAt - Clock::now()).count()));
    }
    return static_cast<int>(std::max(wait, 0.0));
}

void StandinSession::Carry(const Action &action) {
    switch (action.kind) {
    case ActionKind::MonitorSettings:
        Send(BuildPacket(BUS_MONITOR_SETTINGS_TYPE, BUS_MONITOR_ADDRESS, LittleEndianWord(options.excerptBytes)),
             "monitor setting: " + std::to_string(options.excerptBytes) + " bytes of each event");
        break;
    case ActionKind::Identity:
        Send(BuildPacket(IPC_IDENTITY, 0, identityName + std::string(1, '\0') + options.version),
             "identity \"" + identityName + "\" version \"" + options.version + "\"");
        break;
    case ActionKind::Packet:
        heldPackets.push_back(action.packet);
        break;
    case ActionKind::Stop:
        SendStop();
        break;
    case ActionKind::Close:
        CloseLink("closing the link: the core should log its loss and exit in about a minute");
        if (options.killAfter >= 0) {
            ArmKill(LINK_LOSS_STOP_SECONDS + options.killAfter);
        }
        break;
    }
}

// In the order they fell due. A packet for a library, and the demo packet,
// wait until the core has written this run's modules report.
void StandinSession::SendHeldPackets() {
    while (!heldPackets.empty()) {
        const OutgoingPacket &packet = options.packets[heldPackets.front()];
        if ((packet.demo || !packet.library.empty()) && !plugins.ReportWritten()) {
            return;
        }
        SendPacket(heldPackets.front());
        heldPackets.erase(heldPackets.begin());
    }
}

void StandinSession::SendPacket(std::size_t index) {
    const OutgoingPacket &packet = options.packets[index];
    uint32_t address = packet.address;
    if (!packet.library.empty()) {
        const std::optional<uint32_t> id = plugins.IdOf(packet.library);
        if (!id) {
            Note("packet for %s not sent: the core loaded no plugin of that file name", packet.library.c_str());
            return;
        }
        address = AddressOfId(*id);
    }
    if (packet.demo && !plugins.AnyAddressedBy(address)) {
        Note("demo packet not sent: no plugin takes address 0x%08X (the example echo responder)",
             static_cast<unsigned>(address));
        return;
    }
    char what[64];
    std::snprintf(what, sizeof what, "packet to 0x%08X type %u", static_cast<unsigned>(address),
                  static_cast<unsigned>(options.packetType));
    Send(BuildPacket(options.packetType, address, packet.payload), what);
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
        if (options.killAfter >= 0) {
            ArmKill(options.killAfter);
        }
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

// Ctrl-C asks the core to stop (the stop packet, or the signal once the link
// is closed), passes the signal on the second time and kills the core the
// third, for a stop that hangs. A hang-up means the stand-in's terminal is
// gone: the core is stopped, and killed if it does not stop in time, so
// that no core is left behind.
void StandinSession::HandleSignal() {
    signalfd_siginfo info;
    if (read(signals, &info, sizeof info) != sizeof info || info.ssi_signo == SIGCHLD) {
        return;
    }
    const int signal = static_cast<int>(info.ssi_signo);
    const std::string name = SignalName(signal);
    if (signal == SIGHUP) {
        Note("%s: the terminal is gone; stopping the core", name.c_str());
        if (socket >= 0 && !stopSent) {
            SendStop();
        } else {
            kill(core, SIGTERM);
        }
        // Nobody is left to press Ctrl-C: the kill comes in bounded time.
        ArmKill(options.killAfter >= 0 ? std::min(options.killAfter, HANGUP_KILL_SECONDS) : HANGUP_KILL_SECONDS);
        return;
    }
    ++interrupts;
    if (interrupts >= KILLING_INTERRUPT) {
        KillCore(name + " a third time");
        return;
    }
    if (interrupts == 1 && socket >= 0 && !stopSent) {
        Note("%s: stopping the core", name.c_str());
        SendStop();
        return;
    }
    Note("%s: passed on to the core%s", name.c_str(),
         interrupts + 1 == KILLING_INTERRUPT ? "; once more kills it" : "");
    kill(core, signal);
    if (options.killAfter >= 0) {
        ArmKill(options.killAfter);
    }
}

void StandinSession::CloseLink(const char *why) {
    if (socket >= 0) {
        Note("%s", why);
        close(socket);
        socket = -1;
    }
}

// The earliest deadline stands.
void StandinSession::ArmKill(double seconds) {
    const Clock::time_point at =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    if (!killAt || at < *killAt) {
        killAt = at;
    }
}

// The core leads a process group of its own: whatever it started goes too.
void StandinSession::KillCore(const std::string &why) {
    if (killed) {
        return;
    }
    killed = true;
    Note("%s: killing the core (SIGKILL)", why.c_str());
    kill(-core, SIGKILL);
    kill(core, SIGKILL);
}

int StandinSession::Finish(int waitStatus) {
    console.Finish(LAST_CONSOLE_MILLISECONDS);
    Note("%s", summary.Line(waitStatus).c_str());
    coreExitCode = WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
    const int code = summary.ExitCode(waitStatus);
    // A core that could not be run at all is a failure to set up.
    return options.exitZero && !(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 127) ? 0 : code;
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
