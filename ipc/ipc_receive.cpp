// The supervisor link's receive side: one receive outstanding, each record
// taken whole, packets cut from the stream, identity and stop obeyed, the
// rest forwarded to plugins.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>

#include "core/dvrcore.h"
#include "ipc/packet_stream.h"
#include "ipc/split_strings.h"
#include "log/log_message.h"
#include "plugin_call_records.h"

namespace {

// A record holds one packet or several, or pieces of them; anything longer
// than this is no sound record and is dropped unread.
constexpr std::size_t IPC_MAX_RECORD_LENGTH = 16 * IPC_MAX_PACKET_LENGTH;

// The length of the next record, however long, without taking it; -1 with
// errno set when there is none or the receive fails.
ssize_t PeekRecordLength(int descriptor) {
    char first;
    return recv(descriptor, &first, sizeof first, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
}

// Takes the next record and lets the kernel drop all of it but one byte.
void DiscardRecord(int descriptor) {
    char first;
    if (recv(descriptor, &first, sizeof first, MSG_DONTWAIT) < 0) {
        return; // the next wait reports whatever is wrong with the link
    }
}

// An empty record and the end of the link both read as 0 bytes: only a peer
// that has shut its side is gone.
bool PeerHasGone(int descriptor) {
    pollfd link{descriptor, POLLRDHUP, 0};
    return poll(&link, 1, 0) == 1 && (link.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

boost::system::error_code LastError() { return {errno, boost::system::system_category()}; }

// key: a packet's address in the high half, its type in the low half.
void TellHeldBackPacket(uint64_t key, uint64_t count) {
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "%" PRIu64 " more ipc packets to address 0x%08X type %u reached no plugin", count,
             static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key));
}

} // namespace

void dvrcore::StartIpcReceive() {
    ipcSocket.async_wait(boost::asio::socket_base::wait_read,
                         [this](const boost::system::error_code &error) { ReceiveIpcRecord(error); });
}

// Learns the next record's length first, so that it is always received whole
// and every packet in it is handled.
void dvrcore::ReceiveIpcRecord(const boost::system::error_code &error) {
    if (error) {
        ProcessIPC(error, 0);
        return;
    }
    const int descriptor = ipcSocket.native_handle();
    const ssize_t length = PeekRecordLength(descriptor);
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        StartIpcReceive();
        return;
    }
    if (length < 0 || (length == 0 && PeerHasGone(descriptor))) {
        ProcessIPC(length < 0 ? LastError() : boost::system::error_code(), 0);
        return;
    }
    if (length == 0) {
        DiscardRecord(descriptor); // an empty record: no packet, nothing changes
        StartIpcReceive();
        return;
    }
    if (static_cast<std::size_t>(length) > IPC_MAX_RECORD_LENGTH) {
        DiscardRecord(descriptor);
        CORE_LOG(LOG_LEVEL_WARNING, "bad ipc packet length");
        ipcBufferUsed = 0; // the packet they began can no longer be completed
        StartIpcReceive();
        return;
    }
    MakeIpcRoom(static_cast<std::size_t>(length));
    const ssize_t received = recv(descriptor, ipcBuffer.data() + ipcBufferUsed, length, MSG_DONTWAIT);
    ProcessIPC(received < 0 ? LastError() : boost::system::error_code(),
               received < 0 ? 0 : static_cast<std::size_t>(received));
}

// Room for the buffered bytes and a record of the given length. A buffer
// grown for a large record shrinks back once only ordinary ones follow.
void dvrcore::MakeIpcRoom(std::size_t recordLength) {
    const std::size_t needed = std::max<std::size_t>(ipcBufferUsed + recordLength, IPC_MAX_PACKET_LENGTH);
    if (needed > ipcBuffer.size() || (needed == IPC_MAX_PACKET_LENGTH && ipcBuffer.size() > needed)) {
        ipcBuffer.resize(needed);
        ipcBuffer.shrink_to_fit();
    }
}

void dvrcore::ProcessIPC(const boost::system::error_code &error, std::size_t bytes) {
    if (error || bytes == 0) {
        HandleIpcDisconnect();
        return;
    }
    ipcBufferUsed = ExtractPackets(
        ipcBuffer.data(), ipcBufferUsed + static_cast<uint32_t>(bytes),
        [this](const uint8_t *packet, uint32_t length) { HandleIpcPacket(packet, length); },
        [] { CORE_LOG(LOG_LEVEL_WARNING, "bad ipc packet length"); });
    StartIpcReceive();
}

void dvrcore::HandleIpcPacket(const uint8_t *packet, uint32_t length) {
    IpcHeader header;
    std::memcpy(&header, packet, sizeof header);
    if (header.PacketType == IPC_STOP) {
        RequestStop();
        return;
    }
    if (header.PacketType == IPC_IDENTITY && length > sizeof header) {
        const auto pieces = SplitStrings(reinterpret_cast<const char *>(packet + sizeof header),
                                         length - sizeof header, '\0');
        supervisor.Record(pieces[0], pieces.size() >= 2 ? &pieces[1] : nullptr);
        return;
    }
    ForwardIpcPacket(packet, length);
}

void dvrcore::ForwardIpcPacket(const uint8_t *packet, uint32_t length) {
    IpcHeader header;
    std::memcpy(&header, packet, sizeof header);
    IoctlEntryPoint ioctl = nullptr;
    uint32_t id = 0;
    std::string name;
    {
        std::shared_lock<std::shared_mutex> lock(pluginsMutex);
        for (const auto &plugin : plugins) {
            if (AddressesPlugin(header.Address, plugin.Info.ID)) {
                ioctl = plugin.IOCTL;
                id = plugin.Info.ID;
                name = plugin.Name;
                break;
            }
        }
    }
    if (ioctl == nullptr) {
        ReportUnaddressedPacket(header, name);
        return;
    }
    _IoctlParmsIn in = IoctlInRecord(IPC_PACKET, length, const_cast<uint8_t *>(packet));
    _IoctlParmsOut out = IoctlOutRecord(IPC_PACKET);
    asioThreadCall.Begin(id, WatchedCall::IpcIoctl, header.Address, header.PacketType);
    const int32_t result = ioctl(&in, &out);
    FinishWatchedCall(asioThreadCall);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s ipc ioctl returned %d error %d", name.c_str(), result,
                 out.Error);
    }
}

// pluginWithoutIoctl names the addressed plugin when it exports no IOCTL.
// A peer may send many such packets: repeats of an address and type within
// a second are counted, and the count told when the second is over.
void dvrcore::ReportUnaddressedPacket(const IpcHeader &header, const std::string &pluginWithoutIoctl) {
    const uint64_t key = (static_cast<uint64_t>(header.Address) << 32) | header.PacketType;
    const RepeatFilter::Verdict verdict = unaddressedPackets.Admit(key, now());
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

// Called by the Scheduler's tick, on the same thread.
void dvrcore::TellHeldBackPackets() {
    unaddressedPackets.Expire(now(), [](uint64_t key, uint64_t count) { TellHeldBackPacket(key, count); });
}

// Either side of the link may find the peer gone; whichever is first acts,
// and the waits its close aborts find the link closed. The link is closed
// before the stop is requested, so that whoever sees the core stopping also
// finds sends refused; what was waiting to be sent is freed at once. A failing
// close is ignored: the stop is requested regardless and no further receive
// is started.
void dvrcore::HandleIpcDisconnect() {
    if (!sendQueue.IsOpen()) {
        return;
    }
    CORE_LOG(LOG_LEVEL_ERROR, "korvod ipc pipe disconnected");
    CORE_LOG(LOG_LEVEL_ERROR, "sleeping for one minute to allow active watchdogs to expire...");
    waitForWatchdogs = true;
    sendQueue.Close();
    boost::system::error_code ignored;
    ipcSocket.close(ignored);
    sendQueue.Discard();
    RequestStop();
}
