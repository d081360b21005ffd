// A plugin author's unit test outside the core's repository: runs the
// example echo responder through the installed test kit and expects its
// answer to one packet.
#include <cstdio>

#include <dvrplugin_testkit.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        return 2;
    }
    dvrtest::PluginUnderTest plugin(argv[1]);
    if (!plugin.Load().Ok() || !plugin.Open().Ok() || !plugin.SendPacket(0x0EC00000u, 1, "hello").Ok()) {
        return 1;
    }
    const auto packets = plugin.Packets();
    const bool answered = packets.size() == 1 && packets[0].Payload() == "echo: hello";
    plugin.Close();
    plugin.Unload();
    std::puts(answered ? "the test kit ran the echo responder" : "the echo responder did not answer");
    return answered ? 0 : 1;
}
