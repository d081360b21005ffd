// The supervisor link's receive side: one receive outstanding, packets cut
// from the stream, identity and stop obeyed, the rest forwarded to plugins.
#include <cstring>
#include <mutex>

#include <boost/asio/buffer.hpp>

#include "core/dvrcore.h"
#include "ipc/packet_stream.h"
#include "ipc/split_strings.h"
#include "log/log_message.h"

void dvrcore::StartIpcReceive() {
    ipcSocket.async_receive(
        boost::asio::buffer(ipcBuffer.data() + ipcBufferUsed, ipcBuffer.size() - ipcBufferUsed), 0,
        ipcReceiveFlags,
        [this](const boost::system::error_code &error, std::size_t bytes) { ProcessIPC(error, bytes); });
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
        {
            std::lock_guard<std::mutex> lock(coreMutex);
            const auto pieces = SplitStrings(reinterpret_cast<const char *>(packet + sizeof header),
                                             length - sizeof header, '\0');
            supervisorFilename = pieces[0];
            if (pieces.size() >= 2) {
                supervisorVersion = pieces[1];
            }
            identityReceived = true;
            coreWakeup.notify_one();
        }
        return;
    }
    ForwardIpcPacket(packet, length);
}

void dvrcore::ForwardIpcPacket(const uint8_t *packet, uint32_t length) {
    IpcHeader header;
    std::memcpy(&header, packet, sizeof header);
    IoctlEntryPoint ioctl = nullptr;
    std::string name;
    {
        std::shared_lock<std::shared_mutex> lock(pluginsMutex);
        for (const auto &plugin : plugins) {
            if (AddressesPlugin(header.Address, plugin.Info.ID)) {
                ioctl = plugin.IOCTL;
                name = plugin.Name;
                break;
            }
        }
    }
    if (ioctl == nullptr) {
        return;
    }
    _IoctlParmsIn in{};
    in.Size = sizeof in;
    in.Version = 1;
    in.Code = IPC_PACKET;
    in.DataBlock = {sizeof in.DataBlock, 1, length, const_cast<uint8_t *>(packet)};
    _IoctlParmsOut out{};
    out.Size = sizeof out;
    out.Version = 1;
    out.Code = IPC_PACKET;
    out.Block = {sizeof out.Block, 1};
    const int32_t result = ioctl(&in, &out);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s ipc ioctl returned %d error %d", name.c_str(), result,
                 out.Error);
    }
}

// Closes the link before requesting the stop, so that whoever sees the core
// stopping also finds sends refused. A failing close is ignored: the stop
// is requested regardless and no further receive is started.
void dvrcore::HandleIpcDisconnect() {
    CORE_LOG(LOG_LEVEL_ERROR, "korvod ipc pipe disconnected");
    CORE_LOG(LOG_LEVEL_ERROR, "sleeping for one minute to allow active watchdogs to expire...");
    waitForWatchdogs = true;
    if (ipcOpen) {
        ipcOpen = false;
        boost::system::error_code ignored;
        ipcSocket.close(ignored);
    }
    RequestStop();
}
