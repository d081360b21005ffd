#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/types.h>

#include "monitor_view.h"
#include "standin_options.h"

// Serves the supervisor's end of the link for one run of the core: carries
// out the timed actions that the options ask for, prints (and records) every
// packet from the core, and answers SIGINT and SIGTERM. Single-threaded; it
// owns the socket and closes it.
class StandinSession {
public:
    StandinSession(const StandinOptions &options, std::string identityName, int socket, int signals, pid_t core,
                   FILE *record);
    ~StandinSession();
    StandinSession(const StandinSession &) = delete;
    StandinSession &operator=(const StandinSession &) = delete;

    // Returns the core's exit code (128 + signal when it was killed) once it has exited.
    int Run();
    // The stand-in sent the stop: asked for by a signal or by --seconds.
    bool StopAsked() const { return stopSent; }

private:
    enum class ActionKind { Identity, Packet, Stop, Close };
    struct Action {
        double at; // seconds from the start
        ActionKind kind;
        std::size_t packet; // index into options.packets for ActionKind::Packet
    };

    std::vector<Action> Schedule() const;
    double Elapsed() const;
    void Carry(const Action &action);
    void Send(const std::string &packet, const std::string &what);
    void SendStop();
    void ReceiveFromCore();
    void HandleSignal();
    void CloseLink(const char *why);
    void Note(const char *format, ...) __attribute__((format(printf, 2, 3)));

    const StandinOptions &options;
    const std::string identityName;
    int socket;
    const int signals;
    const pid_t core;
    FILE *const record; // may be null
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::vector<uint8_t> received;
    bool stopSent = false;
    MonitorView monitorView; // with --monitor
};
