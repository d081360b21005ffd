#include "supervisor_link.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "packet_stream.h"
#include "split_strings.h"
#include "supervisor_descriptor.h"
#include "log_message.h"

namespace {

// A record holds one packet or several, or pieces of them; anything longer
// than this is no sound record and is dropped unread.
constexpr std::size_t IPC_MAX_RECORD_LENGTH = 16 * IPC_MAX_PACKET_LENGTH;
// Supervisor packets that reach no plugin: one line per address and type in
// this time, then how many more came.
constexpr int64_t UNADDRESSED_PACKET_WINDOW_NS = 1000000000;
// Records taken at one wake-up of the asio thread before it waits again.
constexpr unsigned RECORDS_PER_WAKE_UP = 32;

// An empty record and the end of the link both read as 0 bytes: only a peer
// that has shut its side is gone.
bool PeerHasGone(int descriptor) {
    pollfd link{descriptor, POLLRDHUP, 0};
    return poll(&link, 1, 0) == 1 && (link.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// key: a packet's address in the high half, its type in the low half.
void TellHeldBackPacket(uint64_t key, uint64_t count) {
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "%" PRIu64 " more ipc packets to address 0x%08X type %u reached no plugin", count,
             static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key));
}

} // namespace

SupervisorLink::SupervisorLink(boost::asio::io_context &io, PacketHandler &handler, Clock clock)
    : handler(handler), clock(std::move(clock)), socket(io), buffer(IPC_MAX_PACKET_LENGTH),
      overflow(IPC_MAX_RECORD_LENGTH), unaddressedPackets(UNADDRESSED_PACKET_WINDOW_NS),
      sendQueue(io, packetSocket, [this] { HandleLoss(); }) {}

// Sends are tried at once and wait for room only when the socket has none,
// so the socket is in non-blocking mode; receives are asynchronous either
// way. Programs that plugins start must not inherit the link: the
// supervisor would not see the core end while they run.
bool SupervisorLink::Attach(int descriptor) {
    if (!SupervisorDescriptorProblem(descriptor).empty() || fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0) {
        return false;
    }
    boost::system::error_code error;
    socket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
    if (!error) {
        socket.non_blocking(true, error);
    }
    if (error) {
        return false;
    }
    sendQueue.Open();
    return true;
}

void SupervisorLink::StartReceive() {
    socket.async_wait(boost::asio::socket_base::wait_read,
                      [this](const boost::system::error_code &error) { Receive(error); });
}

// Takes the records waiting, a bounded number at a time so that the asio
// thread's other work is not held up by a busy peer, before it waits again:
// a record that is already there costs no wait.
void SupervisorLink::Receive(const boost::system::error_code &error) {
    if (error) {
        HandleLoss();
        return;
    }
    for (unsigned records = 0; records < RECORDS_PER_WAKE_UP; ++records) {
        const Taken taken = TakeRecord();
        if (taken == Taken::LinkLost) {
            return;
        }
        if (taken == Taken::NoneWaiting) {
            break;
        }
    }
    StartReceive();
}

// Takes the next record whole in one receive: what does not fit the
// buffer's room lands in the overflow and is moved behind it once the buffer
// has grown. The length the receive returns is the record's, however long.
SupervisorLink::Taken SupervisorLink::TakeRecord() {
    const int descriptor = socket.native_handle();
    const std::size_t room = buffer.size() - bufferUsed;
    iovec parts[2] = {{buffer.data() + bufferUsed, room}, {overflow.Data(), overflow.Size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const ssize_t length = recvmsg(descriptor, &message, MSG_DONTWAIT | MSG_TRUNC);
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return Taken::NoneWaiting;
    }
    if (length < 0 || (length == 0 && PeerHasGone(descriptor))) {
        HandleLoss();
        return Taken::LinkLost;
    }
    if (length == 0) {
        return Taken::Handled; // an empty record: no packet, nothing changes
    }
    const std::size_t overflowed = static_cast<std::size_t>(length) > room ? length - room : 0;
    if (static_cast<std::size_t>(length) > IPC_MAX_RECORD_LENGTH) {
        overflow.Release(std::min(overflowed, overflow.Size()));
        CORE_LOG(LOG_LEVEL_WARNING, "bad ipc packet length");
        bufferUsed = 0; // the packet they began can no longer be completed
        return Taken::Handled;
    }
    MakeRoom(static_cast<std::size_t>(length));
    if (overflowed != 0) {
        std::memcpy(buffer.data() + bufferUsed + room, overflow.Data(), overflowed);
        overflow.Release(overflowed);
    }
    ExtractBufferedPackets(static_cast<std::size_t>(length));
    return Taken::Handled;
}

// Room for the buffered bytes and a record of the given length, keeping the
// bytes already in the buffer. A buffer grown for a large record shrinks back
// once only ordinary ones follow.
void SupervisorLink::MakeRoom(std::size_t recordLength) {
    const std::size_t needed = std::max<std::size_t>(bufferUsed + recordLength, IPC_MAX_PACKET_LENGTH);
    if (needed > buffer.size() || (needed == IPC_MAX_PACKET_LENGTH && buffer.size() > needed)) {
        buffer.resize(needed);
        buffer.shrink_to_fit();
    }
}

void SupervisorLink::Process(const boost::system::error_code &error, std::size_t bytes) {
    if (error || bytes == 0) {
        HandleLoss();
        return;
    }
    ExtractBufferedPackets(bytes);
    StartReceive();
}

// `bytes` more bytes lie after those already buffered.
void SupervisorLink::ExtractBufferedPackets(std::size_t bytes) {
    bufferUsed = ExtractPackets(
        buffer.data(), bufferUsed + static_cast<uint32_t>(bytes),
        [this](const uint8_t *packet, uint32_t length) { HandlePacket(packet, length); },
        [] { CORE_LOG(LOG_LEVEL_WARNING, "bad ipc packet length"); });
}

void SupervisorLink::HandlePacket(const uint8_t *packet, uint32_t length) {
    IpcHeader header;
    std::memcpy(&header, packet, sizeof header);
    if (header.PacketType == IPC_STOP) {
        handler.RequestStop();
        return;
    }
    if (header.PacketType == IPC_IDENTITY && length > sizeof header) {
        const auto pieces =
            SplitStrings(reinterpret_cast<const char *>(packet + sizeof header), length - sizeof header, '\0');
        identity.Record(pieces[0], pieces.size() >= 2 ? &pieces[1] : nullptr);
        return;
    }
    const PacketHandler::Forwarded forwarded = handler.Forward(packet, length);
    if (!forwarded.taken) {
        ReportUnaddressed(header, forwarded.pluginWithoutIoctl);
    }
}

// pluginWithoutIoctl names the addressed plugin when it exports no IOCTL.
// A peer may send many such packets: repeats of an address and type within
// a second are counted, and the count told when the second is over.
void SupervisorLink::ReportUnaddressed(const IpcHeader &header, const std::string &pluginWithoutIoctl) {
    const uint64_t key = (static_cast<uint64_t>(header.Address) << 32) | header.PacketType;
    const RepeatFilter::Verdict verdict = unaddressedPackets.Admit(key, clock());
    if (verdict.heldBack != 0) {
        TellHeldBackPacket(key, verdict.heldBack);
    }
    if (!verdict.print) {
        return;
    }
    if (pluginWithoutIoctl.empty()) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "ipc packet to address 0x%08X type %u reached no plugin", header.Address,
                 header.PacketType);
    } else {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "ipc packet to address 0x%08X type %u reached no plugin: %s exports no IOCTL",
                 header.Address, header.PacketType, pluginWithoutIoctl.c_str());
    }
}

void SupervisorLink::TellHeldBackPackets() {
    unaddressedPackets.Expire(clock(), [](uint64_t key, uint64_t count) { TellHeldBackPacket(key, count); });
}

// Either side of the link may find the peer gone; whichever is first acts,
// and the waits its close aborts find the link closed. The link is closed
// before the stop is requested, so that whoever sees the core stopping also
// finds sends refused; what was waiting to be sent is freed at once. A failing
// close is ignored: the stop is requested regardless and no further receive
// is started.
void SupervisorLink::HandleLoss() {
    if (!sendQueue.IsOpen()) {
        return;
    }
    CORE_LOG(LOG_LEVEL_ERROR, "korvod ipc pipe disconnected");
    CORE_LOG(LOG_LEVEL_ERROR, "sleeping for one minute to allow active watchdogs to expire...");
    lost = true;
    sendQueue.Close();
    boost::system::error_code ignored;
    socket.close(ignored);
    sendQueue.Discard();
    handler.RequestStop();
}
