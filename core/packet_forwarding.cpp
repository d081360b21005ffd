// Supervisor packets for plugins: the addressed plugin's IOCTL, called on the
// asio thread while the call watch looks on.
#include <cstring>
#include <string>

#include "dvrcore.h"
#include "packet_stream.h"
#include "log_message.h"
#include "plugin_call_records.h"
#include "test_hooks.h"

void dvrcore::ProcessIPC(const boost::system::error_code &error, std::size_t bytes) { link.Process(error, bytes); }

PacketHandler::Forwarded dvrcore::ForwardIpcPacket(const uint8_t *packet, uint32_t length) {
    IpcHeader header;
    std::memcpy(&header, packet, sizeof header);
    OnSupervisorPacketForTests(header.PacketType);
    struct Addressed {
        IoctlEntryPoint ioctl = nullptr;
        uint32_t id = 0;
        std::string name;
    };
    const Addressed addressed = plugins.Read([&header](const std::vector<PLUGININFO> &list) {
        for (const auto &plugin : list) {
            if (AddressesPlugin(header.Address, plugin.Info.ID)) {
                return Addressed{plugin.IOCTL, plugin.Info.ID, plugin.Name};
            }
        }
        return Addressed{};
    });
    if (addressed.ioctl == nullptr) {
        return {false, addressed.name};
    }
    _IoctlParmsIn in = IoctlInRecord(IPC_PACKET, length, const_cast<uint8_t *>(packet));
    _IoctlParmsOut out = IoctlOutRecord(IPC_PACKET);
    asioThreadCall.Begin(addressed.id, WatchedCall::IpcIoctl, header.Address, header.PacketType);
    const int32_t result = addressed.ioctl(&in, &out);
    FinishWatchedCall(asioThreadCall);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s ipc ioctl returned %d error %d", addressed.name.c_str(), result,
                 out.Error);
    }
    return {true, ""};
}
