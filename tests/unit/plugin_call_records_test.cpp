// The records of the calls into plugins, as the core and the test kit both
// build them: sizes, versions, the values each entry needs, and zero in
// every other byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include <gtest/gtest.h>

#include "plugin_call_records.h"

namespace {

// A field of a record: its offset and width in bytes.
using Field = std::pair<std::size_t, std::size_t>;

#define FIELD(type, member) Field(offsetof(type, member), sizeof(type::member))

// The bytes outside the given fields (and outside Size and Version) are 0.
template <typename Record>
void ExpectZeroBeyond(const Record &record, std::initializer_list<Field> fields) {
    unsigned char bytes[sizeof(Record)];
    std::memcpy(bytes, &record, sizeof bytes);
    std::memset(bytes, 0, 8); // Size and Version
    for (const auto &[offset, width] : fields) {
        std::memset(bytes + offset, 0, width);
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        EXPECT_EQ(bytes[i], 0) << "byte " << i << " of a " << sizeof bytes << "-byte record";
    }
}

int32_t AnyEventEntry(_EventParmsIn *, _EventParmsOut *) { return 0; }

} // namespace

// ---- Load, Open, Close, Unload ----

TEST(PluginCallRecords, LoadPassesTheCoreAndTheEventEntryAtVersion3) {
    int core = 0;
    const _LoadParmsIn in = LoadInRecord(&core, AnyEventEntry);
    EXPECT_EQ(in.Size, sizeof(_LoadParmsIn));
    EXPECT_EQ(in.Version, 3u);
    EXPECT_EQ(in.Core, &core);
    EXPECT_EQ(in.EventEntry, &AnyEventEntry);
    ExpectZeroBeyond(in, {FIELD(_LoadParmsIn, Core), FIELD(_LoadParmsIn, EventEntry)});
}

TEST(PluginCallRecords, LoadOutputIsZeroSoThatAnUntouchedOneMeansIdZeroWithoutError) {
    const _LoadParmsOut out = LoadOutRecord();
    EXPECT_EQ(out.Size, 64u);
    EXPECT_EQ(out.Version, 1u);
    ExpectZeroBeyond(out, {});
}

TEST(PluginCallRecords, OpenCloseAndUnloadCarryOnlySizeAndVersion1) {
    EXPECT_EQ(OpenInRecord().Size, 20u);
    EXPECT_EQ(OpenOutRecord().Size, 16u);
    EXPECT_EQ(CloseInRecord().Size, 12u);
    EXPECT_EQ(CloseOutRecord().Size, 12u);
    EXPECT_EQ(UnloadInRecord().Size, 8u);
    EXPECT_EQ(UnloadOutRecord().Size, 12u);
    for (const uint32_t version : {OpenInRecord().Version, OpenOutRecord().Version, CloseInRecord().Version,
                                   CloseOutRecord().Version, UnloadInRecord().Version, UnloadOutRecord().Version}) {
        EXPECT_EQ(version, 1u);
    }
    ExpectZeroBeyond(OpenInRecord(), {});
    ExpectZeroBeyond(OpenOutRecord(), {});
    ExpectZeroBeyond(CloseInRecord(), {});
    ExpectZeroBeyond(CloseOutRecord(), {});
    ExpectZeroBeyond(UnloadOutRecord(), {});
}

// ---- IOCTL ----

TEST(PluginCallRecords, WorkerRequestHasABareBlockHeaderAndNoData) {
    const _IoctlParmsIn in = WorkerIoctlInRecord();
    EXPECT_EQ(in.Size, sizeof(_IoctlParmsIn));
    EXPECT_EQ(in.Version, 1u);
    EXPECT_EQ(in.Code, static_cast<uint32_t>(WORKER_THREAD));
    EXPECT_EQ(in.DataBlock.Size, 8u);
    EXPECT_EQ(in.DataBlock.Version, 1u);
    ExpectZeroBeyond(in, {FIELD(_IoctlParmsIn, Code), Field(offsetof(_IoctlParmsIn, DataBlock), 8)});
}

TEST(PluginCallRecords, DataRequestCarriesItsWholeBlock) {
    char data[5] = "abcd";
    const _IoctlParmsIn in = IoctlInRecord(IPC_PACKET, sizeof data, data);
    EXPECT_EQ(in.Code, static_cast<uint32_t>(IPC_PACKET));
    EXPECT_EQ(in.DataBlock.Size, sizeof(_DataBlock));
    EXPECT_EQ(in.DataBlock.Version, 1u);
    EXPECT_EQ(in.DataBlock.DataLength, sizeof data);
    EXPECT_EQ(in.DataBlock.Data, data);
    ExpectZeroBeyond(in, {FIELD(_IoctlParmsIn, Code), FIELD(_IoctlParmsIn, DataBlock)});
}

TEST(PluginCallRecords, IoctlOutputRepeatsTheCodeWithAnEmptyBlockAndNothingRetained) {
    const _IoctlParmsOut out = IoctlOutRecord(UPDATE_CONFIG);
    EXPECT_EQ(out.Size, 28u);
    EXPECT_EQ(out.Version, 1u);
    EXPECT_EQ(out.Code, static_cast<uint32_t>(UPDATE_CONFIG));
    EXPECT_EQ(out.Block.Size, 8u);
    EXPECT_EQ(out.Block.Version, 1u);
    ExpectZeroBeyond(out, {FIELD(_IoctlParmsOut, Code), FIELD(_IoctlParmsOut, Block)});
}

// ---- Read ----

TEST(PluginCallRecords, ReadSetsByte12AndTheJobsDataAndTag) {
    char data[3] = "xy";
    const _ReadParmsIn in = ReadInRecord(sizeof data, data, 77);
    EXPECT_EQ(in.Size, sizeof(_ReadParmsIn));
    EXPECT_EQ(in.Version, 1u);
    EXPECT_EQ(in.Flag12, 1u);
    EXPECT_EQ(in.DataLength, sizeof data);
    EXPECT_EQ(in.Data, data);
    EXPECT_EQ(in.JobTag, 77u);
    ExpectZeroBeyond(in, {FIELD(_ReadParmsIn, Flag12), FIELD(_ReadParmsIn, DataLength), FIELD(_ReadParmsIn, Data),
                          FIELD(_ReadParmsIn, JobTag)});
    EXPECT_EQ(ReadOutRecord().Size, 20u);
    ExpectZeroBeyond(ReadOutRecord(), {});
}

// ---- Events and Write ----

TEST(PluginCallRecords, EventRecordHasNoTagAndEmptyParams) {
    char text[] = "<kDVR/>";
    const _EventParmsIn in = EventRecord(CORE_SOURCE, CLASS_CONFIG, TYPE_FROM_CORE | TYPE_DOCUMENT, 7, text);
    EXPECT_EQ(in.Size, sizeof(_EventParmsIn));
    EXPECT_EQ(in.Version, 1u);
    EXPECT_EQ(in.Source, CORE_SOURCE);
    EXPECT_EQ(in.EventClass, CLASS_CONFIG);
    EXPECT_EQ(in.EventType, 0x1000010u);
    EXPECT_EQ(in.DataLength, 7u);
    EXPECT_EQ(in.Data, text);
    ExpectZeroBeyond(in, {FIELD(_EventParmsIn, DataLength), FIELD(_EventParmsIn, Data), FIELD(_EventParmsIn, Source),
                          FIELD(_EventParmsIn, EventClass), FIELD(_EventParmsIn, EventType)});
    const _EventParmsOut out = EventResultRecord();
    EXPECT_EQ(out.Size, 12u);
    EXPECT_EQ(out.Version, 1u);
    EXPECT_EQ(out.Result, EVENT_OK);
}

TEST(PluginCallRecords, WriteCarriesTheEventFromItsLengthOnWithTypeAndParamsUnchanged) {
    char data[4] = "abc";
    _EventParmsIn event = EventRecord(0x00AB0000u, 0x2, 0x81000020u, sizeof data, data);
    event.JobTag = 9;
    for (uint32_t i = 0; i < EVENT_PARAMS_WORDS; ++i) {
        event.Params[i] = 0xA0000000u + i;
    }
    const _WriteParmsIn in = WriteInRecord(event);
    EXPECT_EQ(in.Size, sizeof(_WriteParmsIn));
    EXPECT_EQ(in.Version, 1u);
    EXPECT_EQ(in.Flag12, 0u);
    EXPECT_EQ(in.DataLength, sizeof data);
    EXPECT_EQ(in.Data, data);
    EXPECT_EQ(in.Source, 0x00AB0000u);
    EXPECT_EQ(in.JobTag, 9u);
    EXPECT_EQ(in.EventClass, 0x2u);
    EXPECT_EQ(in.EventType, 0x81000020u);
    EXPECT_EQ(std::memcmp(in.Params, event.Params, sizeof in.Params), 0);
    ExpectZeroBeyond(in, {FIELD(_WriteParmsIn, DataLength), FIELD(_WriteParmsIn, Data), FIELD(_WriteParmsIn, Source),
                          FIELD(_WriteParmsIn, JobTag), FIELD(_WriteParmsIn, EventClass),
                          FIELD(_WriteParmsIn, EventType), FIELD(_WriteParmsIn, Params)});
    const _WriteParmsOut out = WriteOutRecord();
    EXPECT_EQ(out.Size, 24u);
    EXPECT_EQ(out.Version, 1u);
    ExpectZeroBeyond(out, {});
}
