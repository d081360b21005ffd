#include "send_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "log_message.h"

namespace {

struct FreeDeleter {
    void operator()(void *buffer) const { std::free(buffer); }
};
using OwnedBuffer = std::unique_ptr<void, FreeDeleter>;

// Errors that say the peer has gone, unlike those about one packet (too
// large for the socket, no memory for it right now).
bool IsLinkLoss(const boost::system::error_code &error) {
    const int value = error.value();
    return error.category() == boost::system::system_category() &&
           (value == EPIPE || value == ECONNRESET || value == ENOTCONN || value == ECONNREFUSED);
}

} // namespace

SendQueue::SendQueue(boost::asio::io_context &io, PacketSocket &socket, std::function<void()> onLinkLoss)
    : io(io), socket(socket), onLinkLoss(std::move(onLinkLoss)) {}

SendQueue::~SendQueue() { Discard(); }

void SendQueue::Open() {
    MutexLock lock(handOverMutex);
    open = true;
}

void SendQueue::Close() {
    MutexLock lock(handOverMutex);
    open = false;
}

int32_t SendQueue::Hand(void *buffer, uint32_t length) {
    OwnedBuffer owned(buffer);
    MutexLock lock(handOverMutex);
    if (!open) {
        return EVENT_REFUSED;
    }
    handOver.emplace_back(buffer, length);
    owned.release();
    if (!takePosted) {
        try {
            boost::asio::post(io, [this] { TakeHandOver(); });
        } catch (...) {
            // Not sent, and the raiser is told so: the buffer is freed.
            std::free(handOver.back().first);
            handOver.pop_back();
            throw;
        }
        takePosted = true;
    }
    return EVENT_OK;
}

// On the asio thread: takes what was handed over and sends on, unless a send
// is already under way and will continue with the queue.
void SendQueue::TakeHandOver() {
    {
        MutexLock lock(handOverMutex);
        takePosted = false;
        queue.insert(queue.end(), handOver.begin(), handOver.end());
        handOver.clear();
    }
    if (!waiting) {
        SendNext();
    }
}

// Sends the queue's buffers in order, each in pieces of at most 64 KiB (one
// packet each), freeing each when it is done, until the queue is empty or
// the socket has no room (then it waits for room). A buffer the socket
// refuses is dropped and the next one goes on; a peer that has gone ends the
// link.
void SendQueue::SendNext() {
    while (!queue.empty() && open) {
        const auto [buffer, length] = queue.front();
        const std::size_t piece = std::min<std::size_t>(length - frontOffset, IPC_MAX_PACKET_LENGTH);
        if (buffer == nullptr || piece == 0) {
            FinishFront();
            continue;
        }
        boost::system::error_code error;
        frontOffset += socket.Send(static_cast<char *>(buffer) + frontOffset, piece, error);
        if (error == boost::asio::error::would_block) {
            WaitUntilWritable();
            return;
        }
        if (IsLinkLoss(error)) {
            onLinkLoss();
            return;
        }
        if (error) {
            CORE_LOG(LOG_LEVEL_WARNING, "ipc packet of %zu bytes dropped: %s", length, error.message().c_str());
        }
        if (error || frontOffset >= length) {
            FinishFront();
        }
    }
}

void SendQueue::WaitUntilWritable() {
    waiting = true;
    socket.WaitWritable([this](const boost::system::error_code &error) {
        waiting = false;
        if (error) {
            onLinkLoss(); // nothing when the link was closed under the wait
            return;
        }
        SendNext();
    });
}

void SendQueue::FinishFront() {
    std::free(queue.front().first);
    queue.pop_front();
    frontOffset = 0;
}

void SendQueue::Discard() {
    for (const auto &[buffer, length] : queue) {
        std::free(buffer);
    }
    queue.clear();
    frontOffset = 0;
    MutexLock lock(handOverMutex);
    for (const auto &[buffer, length] : handOver) {
        std::free(buffer);
    }
    handOver.clear();
}
