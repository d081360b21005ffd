#include "stop_signals.h"

#include <csignal>
#include <utility>

#include <pthread.h>

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : STOP_SIGNALS) {
        sigaddset(&set, signal);
    }
    return set;
}

} // namespace

StopSignals::StopSignals(boost::asio::io_context &io, std::function<void()> onStop) : signals(std::in_place, io) {
    for (const int signal : STOP_SIGNALS) {
        signals->add(signal);
    }
    // Not renewed: later signals are absorbed by the set and change nothing.
    signals->async_wait([onStop = std::move(onStop)](const boost::system::error_code &, int) { onStop(); });
}

StopSignals::~StopSignals() {
    const sigset_t stopSignals = StopSignalSet();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    signals.reset();
    for (const int signal : STOP_SIGNALS) {
        std::signal(signal, SIG_IGN);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
