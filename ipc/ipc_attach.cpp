// The supervisor link's set-up: the inherited descriptor attached to the
// asio socket.
#include <fcntl.h>
#include <sys/socket.h>

#include "core/dvrcore.h"

namespace {

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
    sendQueue.Open();
    return true;
}
