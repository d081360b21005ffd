#include "supervisor_descriptor.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>

namespace {

std::string SocketTypeName(int type) {
    switch (type) {
    case SOCK_STREAM:
        return "a stream socket";
    case SOCK_DGRAM:
        return "a datagram socket";
    default:
        return "a socket of type " + std::to_string(type);
    }
}

} // namespace

std::string SupervisorDescriptorProblem(int descriptor) {
    if (fcntl(descriptor, F_GETFD) < 0) {
        return "not open";
    }
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        return errno == ENOTSOCK ? "not a socket" : "its socket type cannot be read";
    }
    if (type != SOCK_SEQPACKET) {
        return SocketTypeName(type);
    }
    int domain = 0;
    length = sizeof domain;
    if (getsockopt(descriptor, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) {
        return "not a local (AF_UNIX) socket";
    }
    sockaddr_storage peer;
    length = sizeof peer;
    if (getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return "not connected";
    }
    return {};
}
