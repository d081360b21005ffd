#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/generic/seq_packet_protocol.hpp>

#include "packet_socket.h"

// The supervisor socket as the send queue sees it. Threads: as PacketSocket.
class AsioPacketSocket final : public PacketSocket {
public:
    explicit AsioPacketSocket(boost::asio::generic::seq_packet_protocol::socket &socket) : socket(socket) {}

    std::size_t Send(const void *data, std::size_t length, boost::system::error_code &error) override {
        return socket.send(boost::asio::buffer(data, length), 0, error);
    }
    void WaitWritable(WaitHandler done) override {
        socket.async_wait(boost::asio::socket_base::wait_write, std::move(done));
    }

private:
    boost::asio::generic::seq_packet_protocol::socket &socket;
};
