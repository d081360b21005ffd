// The supervisor link's send side and its set-up. Every socket operation
// runs on the asio thread; other threads only post to it.
#include <algorithm>
#include <cstdlib>

#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/asio/buffer.hpp>

#include "core/dvrcore.h"

// Attaches an inherited descriptor that must already be a connected local
// sequenced-packet socket: assigning alone would accept files, pipes and
// terminals too.
bool dvrcore::OpenIpcSocket(int descriptor) {
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    if (getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
        return false;
    }
    length = sizeof domain;
    if (getsockopt(descriptor, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) {
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
    if (!ipcOpen) {
        std::free(buffer);
        return EVENT_REFUSED;
    }
    boost::asio::post(io, [this, buffer, length] { QueueIpcSend(buffer, length); });
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
