#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include "dvrplugin.h"
#include "asio_packet_socket.h"
#include "packet_handler.h"
#include "record_overflow.h"
#include "repeat_filter.h"
#include "send_queue.h"
#include "supervisor_identity.h"

// The link to the supervising daemon: the inherited socket, its receive
// side (records taken whole, packets cut from the stream, the identity and
// the stop obeyed, the rest forwarded to plugins through the handler), its
// send queue, and its loss.
//
// Threads: the main thread attaches the socket before the asio thread runs
// and starts the receive; from then on the asio thread alone touches the
// socket and the receive side. Any thread hands buffers to Send and asks
// IsOpen (the send queue's own rule). The main thread waits for the identity
// and discards the send queue once the asio thread has been joined.
//
// Locks: none of its own; the send queue and the identity each keep theirs.
class SupervisorLink {
public:
    using Clock = std::function<int64_t()>; // monotonic nanoseconds

    SupervisorLink(boost::asio::io_context &io, PacketHandler &handler, Clock clock);
    SupervisorLink(const SupervisorLink &) = delete;
    SupervisorLink &operator=(const SupervisorLink &) = delete;

    // Main thread, before the asio thread runs. False when the descriptor is
    // no connected local sequenced-packet socket or cannot be attached.
    bool Attach(int descriptor);
    bool IsOpen() const { return sendQueue.IsOpen(); }
    void StartReceive();

    // Any thread: the buffer (from malloc) is the link's from here on.
    int32_t Send(void *buffer, uint32_t length) { return sendQueue.Hand(buffer, length); }
    // What was never sent is freed: on the loss of the link, and after the
    // asio thread has been joined.
    void DiscardUnsent() { sendQueue.Discard(); }

    // The asio thread's receive handler: `bytes` more bytes of the record
    // just received lie after those already buffered.
    void Process(const boost::system::error_code &error, std::size_t bytes);
    // The housekeeping tick, on the asio thread: counts of lines held back.
    void TellHeldBackPackets();

    // Main thread: until the identity comes, `stopped()` holds or the time is up.
    template <typename Stopped>
    void WaitForIdentity(std::chrono::steady_clock::duration timeout, Stopped stopped) {
        identity.WaitFor(timeout, stopped);
    }
    void InterruptIdentityWait() { identity.Interrupt(); }
    SupervisorIdentity::Strings Identity() { return identity.Get(); }
    // Set when the link was lost: the stop waits a minute for the watchdogs.
    bool WasLost() const { return lost; }

private:
    enum class Taken { Handled, NoneWaiting, LinkLost };

    void Receive(const boost::system::error_code &error);
    Taken TakeRecord();
    void ExtractBufferedPackets(std::size_t bytes);
    void MakeRoom(std::size_t recordLength);
    void HandlePacket(const uint8_t *packet, uint32_t length);
    void ReportUnaddressed(const IpcHeader &header, const std::string &pluginWithoutIoctl);
    void HandleLoss();

    // Constant after construction.
    PacketHandler &handler;
    const Clock clock;

    // Asio thread only, once attached.
    boost::asio::generic::seq_packet_protocol::socket socket;
    AsioPacketSocket packetSocket{socket};
    // The bytes of unfinished packets, then each record received whole.
    // 64 KiB for ordinary records; it grows for a larger one and shrinks back
    // after it. Allocated memory is aligned for an IpcHeader, so that at least
    // the first packet of a record can be read as one by plugins.
    std::vector<uint8_t> buffer;
    uint32_t bufferUsed = 0;
    // Where a record's bytes beyond the buffer's room land; records longer
    // than it allows are dropped anyway.
    RecordOverflow overflow;
    // Lines about supervisor packets that reached no plugin.
    RepeatFilter unaddressedPackets;

    // Own rules (see their classes).
    SendQueue sendQueue;
    SupervisorIdentity identity;

    // Atomic: written on the asio thread, read by the main thread.
    std::atomic<bool> lost{false};
};
