#pragma once

#include <functional>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

// The signals that stop the core, SIGINT, SIGTERM, SIGQUIT and SIGHUP, caught
// on `io` while this object lives. The first one that arrives calls onStop;
// later ones are absorbed. Building it throws when a signal cannot be added.
//
// When it goes, the signals are ignored for the rest of the process, so that
// none kills a core that is already stopping. Removing the set restores their
// default actions; the calling thread blocks them meanwhile, so a signal that
// comes in between waits and is discarded by the ignoring. This holds while
// the caller is the only thread that does not block them: the core destroys
// the set only after it has joined its own threads.
class StopSignals {
public:
    StopSignals(boost::asio::io_context &io, std::function<void()> onStop);
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    std::optional<boost::asio::signal_set> signals;
};
