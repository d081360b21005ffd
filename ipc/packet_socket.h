#pragma once

#include <cstddef>
#include <functional>

#include <boost/system/error_code.hpp>

// What the send queue needs of the supervisor socket: a send that never
// waits, and a wait for room. The core's is the asio socket; tests give a
// fake one. One call per piece sent: never on the event delivery path.
//
// Threads: the asio thread alone calls both, and `done` runs on it.
class PacketSocket {
public:
    using WaitHandler = std::function<void(const boost::system::error_code &)>;

    virtual ~PacketSocket() = default;
    // Sends one packet of `length` bytes without waiting: the bytes taken, or
    // `error` (would_block when the socket has no room).
    virtual std::size_t Send(const void *data, std::size_t length, boost::system::error_code &error) = 0;
    // Calls `done` once the socket has room, or with an error when the wait
    // ends otherwise (the socket closed under it, say).
    virtual void WaitWritable(WaitHandler done) = 0;
};
