#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "annotated_mutex.h"
#include "packet_socket.h"

// The supervisor link's send side: buffers raised for the supervisor, sent
// in raising order, each in pieces of at most one packet, and freed once
// sent or dropped.
//
// Threads: any thread hands buffers over (Hand); the asio thread takes them
// (a handler that Hand posts) and does all the sending. Buffers that arrive
// before the asio thread has taken the earlier ones join them: one posted
// handler serves them all. Open and Close belong to the thread that owns the
// link (the main thread before the asio thread runs, then the asio thread);
// Discard runs on the asio thread or once it has been joined.
//
// Locks: handOverMutex guards the hand-over and whether a handler is posted;
// `open` is written under it, so that a buffer handed over is either queued
// before the link closes (and freed by Discard) or refused. It is never held
// while sending.
class SendQueue {
public:
    // onLinkLoss: a send or a wait found the peer gone (asio thread).
    SendQueue(boost::asio::io_context &io, PacketSocket &socket, std::function<void()> onLinkLoss);
    ~SendQueue();
    SendQueue(const SendQueue &) = delete;
    SendQueue &operator=(const SendQueue &) = delete;

    void Open() EXCLUDES(handOverMutex);
    // From now on every Hand is refused. Buffers already taken are left for Discard.
    void Close() EXCLUDES(handOverMutex);
    bool IsOpen() const { return open; }

    // Any thread: the buffer (from malloc) is the queue's from here on.
    // EVENT_OK, or EVENT_REFUSED (and the buffer freed) when the link is
    // closed. Throws when the asio thread cannot be reached (no memory); the
    // buffer is freed then too.
    int32_t Hand(void *buffer, uint32_t length) EXCLUDES(handOverMutex);

    // Frees what was never sent, or never even taken by the asio thread.
    void Discard() EXCLUDES(handOverMutex);

private:
    using Buffer = std::pair<void *, std::size_t>;

    void TakeHandOver() EXCLUDES(handOverMutex);
    void SendNext();
    void WaitUntilWritable();
    void FinishFront();

    // Constant after construction.
    boost::asio::io_context &io;
    PacketSocket &socket;
    const std::function<void()> onLinkLoss;

    // Atomic: read by any thread, written under handOverMutex.
    std::atomic<bool> open{false};

    Mutex handOverMutex;
    std::vector<Buffer> handOver GUARDED_BY(handOverMutex); // in raising order
    bool takePosted GUARDED_BY(handOverMutex) = false;

    // Asio thread only.
    std::deque<Buffer> queue;
    std::size_t frontOffset = 0; // bytes of the front buffer already sent
    bool waiting = false;        // a wait for room in the socket is outstanding
};
