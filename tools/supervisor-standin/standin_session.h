#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "console_relay.h"
#include "core_launch.h"
#include "loaded_plugins.h"
#include "monitor_view.h"
#include "run_summary.h"
#include "standin_options.h"

// Serves the supervisor's end of the link for one run of the core: carries
// out the timed actions that the options ask for, prints (and records) every
// packet from the core, relays the core's console, and answers SIGINT,
// SIGTERM and SIGHUP; at the end it sums the run up in one line.
// Single-threaded; it owns the socket and the console and closes them.
class StandinSession {
public:
    StandinSession(const StandinOptions &options, std::string identityName, int socket, int signals,
                   const LaunchedCore &core, FILE *record);
    ~StandinSession();
    StandinSession(const StandinSession &) = delete;
    StandinSession &operator=(const StandinSession &) = delete;

    // Once the core has exited: the stand-in's exit code (the options and
    // RunSummary say which).
    int Run();
    // The stand-in sent the stop: asked for by a signal or by --seconds.
    bool StopAsked() const { return stopSent; }
    // Once Run has returned: the core's own exit code (128 + the signal that
    // killed it), whatever the stand-in's is.
    int CoreExitCode() const { return coreExitCode; }

private:
    using Clock = std::chrono::steady_clock;
    enum class ActionKind { MonitorSettings, Identity, Packet, Stop, Close };
    struct Action {
        double at; // seconds from the start
        ActionKind kind;
        std::size_t packet; // index into options.packets for ActionKind::Packet
    };

    std::vector<Action> Schedule() const;
    double Elapsed() const;
    int PollTimeout(const std::vector<Action> &actions, std::size_t next) const;
    void Carry(const Action &action);
    void SendPacket(std::size_t index);
    // Packets that wait for the modules report, once it is there.
    void SendHeldPackets();
    void Send(const std::string &packet, const std::string &what);
    void SendStop();
    void ReceiveFromCore();
    void HandleSignal();
    void CloseLink(const char *why);
    // From now, the core has `seconds` to stop before it is killed.
    void ArmKill(double seconds);
    void KillCore(const std::string &why);
    int Finish(int waitStatus);
    void Note(const char *format, ...) __attribute__((format(printf, 2, 3)));

    const StandinOptions &options;
    const std::string identityName;
    int socket;
    const int signals;
    const pid_t core;
    FILE *const record; // may be null
    const Clock::time_point start = Clock::now();
    std::vector<uint8_t> received;
    bool stopSent = false;
    int coreExitCode = 0;
    unsigned interrupts = 0; // SIGINT and SIGTERM so far
    std::optional<Clock::time_point> killAt;
    bool killed = false;
    std::vector<std::size_t> heldPackets; // due, waiting for the modules report
    LoadedPlugins plugins;
    MonitorView monitorView{plugins}; // with --monitor
    RunSummary summary;
    ConsoleRelay console;
};
