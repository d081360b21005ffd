// The supervisor link's send side and its set-up. Every socket operation
// runs on the asio thread; other threads hand their buffers over to it.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

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

// Attaches the inherited descriptor of the supervisor link. Sends are tried
// at once and wait for room only when the socket has none, so the socket is
// in non-blocking mode; receives are asynchronous either way.
bool dvrcore::OpenIpcSocket(int descriptor) {
    if (!IsConnectedLocalSequencedPacketSocket(descriptor)) {
        return false;
    }
    boost::system::error_code error;
    ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
    if (!error) {
        ipcSocket.non_blocking(true, error);
    }
    if (error) {
        return false;
    }
    ipcOpen = true;
    return true;
}

// The buffer is the core's from here on. Buffers raised while the asio thread
// has not yet taken the earlier ones join them: one wake-up of the asio
// thread serves them all.
int32_t dvrcore::SendToSupervisor(void *buffer, uint32_t length) {
    OwnedBuffer owned(buffer);
    if (!ipcOpen) {
        return EVENT_REFUSED;
    }
    std::lock_guard<std::mutex> lock(ipcHandOverMutex);
    ipcHandOver.emplace_back(buffer, length);
    owned.release();
    if (!ipcQueuePosted) {
        try {
            boost::asio::post(io, [this] { QueueIpcSend(); });
        } catch (...) {
            // Not sent, and the raiser is told so: the buffer is freed.
            std::free(ipcHandOver.back().first);
            ipcHandOver.pop_back();
            throw;
        }
        ipcQueuePosted = true;
    }
    return EVENT_OK;
}

// On the asio thread: takes what was handed over and sends on, unless a send
// is already under way and will continue with the queue.
void dvrcore::QueueIpcSend() {
    {
        std::lock_guard<std::mutex> lock(ipcHandOverMutex);
        ipcQueuePosted = false;
        ipcSendQueue.insert(ipcSendQueue.end(), ipcHandOver.begin(), ipcHandOver.end());
        ipcHandOver.clear();
    }
    if (!ipcSendWaiting) {
        SendNextIpcMessage();
    }
}

// Sends the queue's buffers in order, each in pieces of at most 64 KiB (one
// packet each), freeing each when it is done, until the queue is empty, the
// socket has no room (then it waits for room), or a piece failed.
void dvrcore::SendNextIpcMessage() {
    while (!ipcSendQueue.empty() && ipcOpen && !ipcSendFailed) {
        const auto [buffer, length] = ipcSendQueue.front();
        const std::size_t piece = std::min<std::size_t>(length - ipcSendOffset, IPC_MAX_PACKET_LENGTH);
        boost::system::error_code error;
        std::size_t sent = 0;
        if (buffer != nullptr && piece != 0) {
            sent = ipcSocket.send(boost::asio::buffer(static_cast<char *>(buffer) + ipcSendOffset, piece), 0, error);
            if (error == boost::asio::error::would_block) {
                WaitUntilIpcWritable();
                return;
            }
            ipcSendOffset += sent;
        }
        if (!error && sent != 0 && ipcSendOffset < length) {
            continue; // the next piece of the same buffer
        }
        FinishIpcSend(error);
    }
}

void dvrcore::WaitUntilIpcWritable() {
    ipcSendWaiting = true;
    ipcSocket.async_wait(boost::asio::socket_base::wait_write, [this](const boost::system::error_code &error) {
        ipcSendWaiting = false;
        if (error) {
            FinishIpcSend(error); // the socket was closed under the wait
            return;
        }
        SendNextIpcMessage();
    });
}

void dvrcore::FinishIpcSend(const boost::system::error_code &error) {
    std::free(ipcSendQueue.front().first);
    ipcSendQueue.pop_front();
    ipcSendOffset = 0;
    if (error) {
        ipcSendFailed = true;
    }
}

// After the asio thread has been joined: what was never sent, or never even
// taken by the asio thread, is freed.
void dvrcore::DiscardIpcSendQueue() {
    for (const auto &[buffer, length] : ipcSendQueue) {
        std::free(buffer);
    }
    ipcSendQueue.clear();
    std::lock_guard<std::mutex> lock(ipcHandOverMutex);
    for (const auto &[buffer, length] : ipcHandOver) {
        std::free(buffer);
    }
    ipcHandOver.clear();
}
