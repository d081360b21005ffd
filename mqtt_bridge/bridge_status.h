#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// What the retained `bridge` document tells an operator: counts since the core started, and the
// last error with its time.
//
// Thread-safe: the network thread counts, any thread records an error; all under one lock.
class BridgeStatus {
public:
    struct Counts {
        uint64_t published = 0;       // confirmed by the broker (sent, at QoS 0)
        uint64_t queued = 0;          // waiting for the broker now
        uint64_t dropped = 0;         // never to be published
        uint64_t reconnects = 0;      // connections after the first
        uint64_t refusedCommands = 0; // command messages not carried out
    };

    void CountPublished();
    void CountReconnect();
    uint64_t CountRefusedCommand(); // the count so far
    void RecordError(const std::string &text, std::time_t when);

    // The counts kept here; `queued` and `dropped` are the caller's.
    Counts Snapshot() const;
    std::string LastError() const;
    std::time_t LastErrorTime() const;

private:
    mutable std::mutex mutex;
    // Guarded by mutex.
    Counts counts;
    std::string lastError;
    std::time_t lastErrorTime = 0;
};

// "<?xml ?><kDVR><Bridge Published=... Queued=... Dropped=... Reconnects=... RefusedCommands=...
// [LastError=... LastErrorTime=...] /></kDVR>", the time in UTC (ISO 8601).
std::string BridgeDocument(const BridgeStatus::Counts &counts, const std::string &lastError, std::time_t errorTime);
