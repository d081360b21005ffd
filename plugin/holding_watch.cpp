#include "holding_watch.h"

#include <new>

void HoldingWatch::Check(BufferHolderTable &table, uint32_t nowSeconds, const Tell &tell) {
    std::map<uint32_t, Holdings> byHolder;
    try {
        table.ForEachHolding([&](const BufferHolderTable::Holding &hold) {
            if (nowSeconds - hold.madeAt <= AGE_SECONDS || nowSeconds < hold.madeAt) {
                return;
            }
            Holdings &held = byHolder[hold.holder];
            held.holder = hold.holder;
            ++held.buffers;
            held.bytes += hold.length;
            if (hold.madeAt < held.oldestMadeAt) {
                held.oldestMadeAt = hold.madeAt;
                held.oldestClass = hold.eventClass;
                held.oldestType = hold.eventType;
            }
        });
        for (const auto &[holder, held] : byHolder) {
            if (held.buffers <= BUFFERS && held.bytes <= BYTES) {
                continue;
            }
            const auto told = toldAt.find(holder);
            if (told != toldAt.end() && nowSeconds - told->second < REPEAT_SECONDS) {
                continue;
            }
            toldAt[holder] = nowSeconds;
            tell(held);
        }
    } catch (const std::bad_alloc &) {
        // No memory to sum the holdings up: the next check tries again.
    }
}
