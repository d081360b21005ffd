// The supervisor link's send side and its set-up. Every socket operation
// runs on the asio thread; other threads only post to it.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/asio/buffer.hpp>

#include "core/dvrcore.h"

namespace {

struct FreeDeleter {
    void operator()(void *buffer) const { std::free(buffer); }
};
using OwnedBuffer = std::unique_ptr<void, FreeDeleter>;

// Assigning alone would accept files, pipes, terminals and unconnected
// sockets, which would only fail at the first receive as a lost link.
bool IsConnectedLocalSequencedPacketSocket(int descriptor) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
        return false;
    }
    int domain = 0;
    length = sizeof domain;
    if (getsockopt(descriptor, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) {
        return false;
    }
    sockaddr_storage peer;
    length = sizeof peer;
    return getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) == 0;
}

} // namespace

// Attaches the inherited descriptor of the supervisor link.
bool dvrcore::OpenIpcSocket(int descriptor) {
    if (!IsConnectedLocalSequencedPacketSocket(descriptor)) {
        return false;
    }
    boost::system::error_code error;
    ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
    if (error) {
        return false;
    }
    ipcOpen = true;
    return true;
}

int32_t dvrcore::SendToSupervisor(void *buffer, uint32_t length) {
    // The buffer is the core's from here on. The handler owns it until it
    // runs, so a handler that never runs (posted while the core shuts down,
    // or lost to an exception) still frees it.
    OwnedBuffer owned(buffer);
    if (!ipcOpen) {
        return EVENT_REFUSED;
    }
    boost::asio::post(io, [this, owned = std::move(owned), length]() mutable {
        QueueIpcSend(owned.release(), length);
    });
    return EVENT_OK;
}

void dvrcore::QueueIpcSend(void *buffer, std::size_t length) {
    ipcSendQueue.emplace_back(buffer, length);
    if (ipcSendQueue.size() == 1) {
        SendNextIpcMessage();
    }
}

void dvrcore::SendNextIpcMessage() {
    if (ipcSendQueue.empty() || !ipcOpen || ipcSendFailed) {
        return;
    }
    ipcSendOffset = 0;
    SendNextIpcPiece();
}

// Sends the front buffer in pieces of at most 64 KiB, one packet each, then
// frees it and goes on with the next unless a piece failed.
void dvrcore::SendNextIpcPiece() {
    const auto [buffer, length] = ipcSendQueue.front();
    const std::size_t piece = std::min<std::size_t>(length - ipcSendOffset, IPC_MAX_PACKET_LENGTH);
    if (buffer == nullptr || piece == 0) {
        FinishIpcSend(boost::system::error_code());
        return;
    }
    ipcSocket.async_send(boost::asio::buffer(static_cast<char *>(buffer) + ipcSendOffset, piece), 0,
                         [this](const boost::system::error_code &error, std::size_t sent) {
                             ipcSendOffset += sent;
                             if (!error && sent != 0 && ipcSendOffset < ipcSendQueue.front().second) {
                                 SendNextIpcPiece();
                             } else {
                                 FinishIpcSend(error);
                             }
                         });
}

void dvrcore::FinishIpcSend(const boost::system::error_code &error) {
    std::free(ipcSendQueue.front().first);
    ipcSendQueue.pop_front();
    if (error) {
        ipcSendFailed = true;
        return;
    }
    SendNextIpcMessage();
}

void dvrcore::DiscardIpcSendQueue() {
    for (const auto &[buffer, length] : ipcSendQueue) {
        std::free(buffer);
    }
    ipcSendQueue.clear();
}
