// The supervisor link's send side and its set-up. Every socket operation
// runs on the asio thread; other threads hand their buffers over to it.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/asio/buffer.hpp>

#include "core/dvrcore.h"
#include "log/log_message.h"

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

// Errors that say the peer has gone, unlike those about one packet (too
// large for the socket, no memory for it right now).
bool IsLinkLoss(const boost::system::error_code &error) {
    const int value = error.value();
    return error.category() == boost::system::system_category() &&
           (value == EPIPE || value == ECONNRESET || value == ENOTCONN || value == ECONNREFUSED);
}

} // namespace

// Attaches the inherited descriptor of the supervisor link. Sends are tried
// at once and wait for room only when the socket has none, so the socket is
// in non-blocking mode; receives are asynchronous either way. Programs that
// plugins start must not inherit the link: the supervisor would not see the
// core end while they run.
bool dvrcore::OpenIpcSocket(int descriptor) {
    if (!IsConnectedLocalSequencedPacketSocket(descriptor) || fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0) {
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
    std::lock_guard<std::mutex> lock(ipcHandOverMutex);
    if (!ipcOpen) {
        return EVENT_REFUSED;
    }
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
// packet each), freeing each when it is done, until the queue is empty or
// the socket has no room (then it waits for room). A buffer the socket
// refuses is dropped and the next one goes on; a peer that has gone ends the
// link.
void dvrcore::SendNextIpcMessage() {
    while (!ipcSendQueue.empty() && ipcOpen) {
        const auto [buffer, length] = ipcSendQueue.front();
        const std::size_t piece = std::min<std::size_t>(length - ipcSendOffset, IPC_MAX_PACKET_LENGTH);
        if (buffer == nullptr || piece == 0) {
            FinishIpcSend();
            continue;
        }
        boost::system::error_code error;
        const auto next = boost::asio::buffer(static_cast<char *>(buffer) + ipcSendOffset, piece);
        ipcSendOffset += ipcSocket.send(next, 0, error);
        if (error == boost::asio::error::would_block) {
            WaitUntilIpcWritable();
            return;
        }
        if (IsLinkLoss(error)) {
            HandleIpcDisconnect();
            return;
        }
        if (error) {
            CORE_LOG(LOG_LEVEL_WARNING, "ipc packet of %zu bytes dropped: %s", length, error.message().c_str());
        }
        if (error || ipcSendOffset >= length) {
            FinishIpcSend();
        }
    }
}

void dvrcore::WaitUntilIpcWritable() {
    ipcSendWaiting = true;
    ipcSocket.async_wait(boost::asio::socket_base::wait_write, [this](const boost::system::error_code &error) {
        ipcSendWaiting = false;
        if (error) {
            HandleIpcDisconnect(); // nothing when the link was closed under the wait
            return;
        }
        SendNextIpcMessage();
    });
}

void dvrcore::FinishIpcSend() {
    std::free(ipcSendQueue.front().first);
    ipcSendQueue.pop_front();
    ipcSendOffset = 0;
}

// When the link is lost, and after the asio thread has been joined: what was
// never sent, or never even taken by the asio thread, is freed.
void dvrcore::DiscardIpcSendQueue() {
    for (const auto &[buffer, length] : ipcSendQueue) {
        std::free(buffer);
    }
    ipcSendQueue.clear();
    ipcSendOffset = 0;
    std::lock_guard<std::mutex> lock(ipcHandOverMutex);
    for (const auto &[buffer, length] : ipcHandOver) {
        std::free(buffer);
    }
    ipcHandOver.clear();
}
