// An event retained by more plugins than a copy's head keeps holders for,
// while the heap refuses the delivering thread: the event still reaches
// every plugin, the retention whose hold cannot be recorded is refused, and
// the buffer is kept rather than freed under the plugin that thinks it has
// it. This program replaces the allocator, so it is a program of its own.
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "event/delivery.h"
#include "plugin_call_records.h"

namespace {

// While set, every allocation of this thread fails.
thread_local bool refuseAllocations = false;

} // namespace

void *operator new(std::size_t size) {
    if (!refuseAllocations) {
        if (void *memory = std::malloc(size != 0 ? size : 1)) {
            return memory;
        }
    }
    throw std::bad_alloc();
}
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }

namespace {

constexpr int PLUGINS = 8;
// The heap refuses from inside this plugin's Write until the next one's: its
// hold, recorded as its Write returns, is the seventh on the copy, the first
// beyond its head.
constexpr int REFUSED = 7;

// Room made beforehand: the plugins allocate nothing.
std::vector<int> written;

uint32_t IdOf(int plugin) { return 0x00010000u * static_cast<uint32_t>(plugin); }

template <int Plugin>
int32_t KeepingWrite(_WriteParmsIn *, _WriteParmsOut *out) {
    written.push_back(Plugin);
    refuseAllocations = Plugin == REFUSED;
    out->Retained = 1;
    return 0;
}

template <int... Plugins>
std::vector<PLUGININFO> KeepingPlugins(std::integer_sequence<int, Plugins...>) {
    std::vector<PLUGININFO> plugins(sizeof...(Plugins));
    const WriteEntryPoint writes[] = {KeepingWrite<Plugins + 1>...};
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        plugins[i].Info.ID = IdOf(static_cast<int>(i + 1));
        plugins[i].Info.WriteEvents = 1;
        plugins[i].Info.EventMasks[0] = 0xFFFFFFFFu;
        plugins[i].Write = writes[i];
        plugins[i].Name = "p" + std::to_string(i + 1) + ".so";
    }
    return plugins;
}

// The core's lines: the delivery's, and the table's leak lines at its end.
std::vector<std::string> lines;
int32_t CollectLines(_EventParmsIn *in, _EventParmsOut *) {
    const bool refused = refuseAllocations;
    refuseAllocations = false;
    lines.emplace_back(static_cast<const char *>(in->Data));
    refuseAllocations = refused;
    return 0;
}

int64_t FixedClock() { return 0; }

} // namespace

// The delivery logs through the core's event entry: here, the test's.
extern "C" int32_t FlatPluginEvent(_EventParmsIn *in, _EventParmsOut *out) { return CollectLines(in, out); }

TEST(HoldersWithoutMemory, ARetentionThatCannotBeRecordedIsRefusedAndTheBufferKept) {
    written.clear();
    written.reserve(PLUGINS);
    lines.reserve(4);
    lines.clear();
    std::vector<PLUGININFO> plugins = KeepingPlugins(std::make_integer_sequence<int, PLUGINS>());
    {
        BufferHolderTable holders(CollectLines);
        CallSlot call(FixedClock);
        Delivery delivery(plugins, holders, call, [](const WatchedCallReport &) {});
        static const char DATA[] = "kept by seven";
        void *data = holders.Copy(DATA, sizeof DATA);
        ASSERT_NE(data, nullptr);

        bool mayFree = true;
        EXPECT_NO_THROW(mayFree = delivery.Deliver(EventRecord(0x00990000u, 0x1, 0x10, sizeof DATA, data)));
        refuseAllocations = false;

        EXPECT_EQ(written, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8})) << "every plugin gets the event";
        EXPECT_FALSE(mayFree) << "the core keeps the buffer";
        EXPECT_FALSE(holders.ReleaseHold(data, IdOf(REFUSED)).removedHold)
            << "the plugin whose hold could not be recorded holds nothing";
        for (int plugin = 1; plugin <= PLUGINS; ++plugin) {
            if (plugin != REFUSED) {
                const auto outcome = holders.ReleaseHold(data, IdOf(plugin));
                EXPECT_TRUE(outcome.removedHold) << plugin;
                EXPECT_FALSE(outcome.noHolderLeft) << plugin;
            }
        }
        EXPECT_STREQ(static_cast<const char *>(data), DATA);
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("plugin p7.so cannot retain buffer ", 0), 0u) << lines[0];
    EXPECT_NE(lines[1].find("leaked by plugin 80000000"), std::string::npos)
        << "only the core's own hold is left at the end: " << lines[1];
}
