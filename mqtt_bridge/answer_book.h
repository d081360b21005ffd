#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Commands that wait for a plugin's answer: where the answer goes (the command's response topic
// and correlation data), until when it is awaited. A request is answered once: by the plugin's
// answer, or, when its time runs out, by the bridge.
//
// Thread-safe: the network thread opens and expires requests, the core's thread resolves them;
// every operation runs under the book's own lock and calls nothing outside.
class AnswerBook {
public:
    using Clock = std::chrono::steady_clock;
    // Requests waiting at once; beyond it the oldest is answered as unanswered.
    static constexpr std::size_t OPEN_LIMIT = 256;

    struct Request {
        uint32_t number = 0;
        std::string command;     // the command's name
        std::string answerTopic; // where the answer goes
        std::string correlation; // MQTT 5 correlation data, or empty
        uint32_t seconds = 0;    // how long it was awaited
        Clock::time_point deadline;
    };

    // A new request number, never 0.
    uint32_t NextNumber();
    // Requests pushed out by the limit come back: they are answered as unanswered.
    std::vector<Request> Open(Request request);
    // The request the answer is for, once; nothing for an unknown or already answered number.
    std::optional<Request> Resolve(uint32_t number);
    // Requests whose time ran out by `now`.
    std::vector<Request> Expire(Clock::time_point now);
    // When the next request runs out, if any waits.
    std::optional<Clock::time_point> NextDeadline() const;

private:
    mutable std::mutex mutex;
    // Guarded by mutex.
    uint32_t lastNumber = 0;
    std::map<uint32_t, Request> open;
};
