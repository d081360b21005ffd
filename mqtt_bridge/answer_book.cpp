#include "mqtt_bridge/answer_book.h"

#include <utility>

uint32_t AnswerBook::NextNumber() {
    std::lock_guard<std::mutex> lock(mutex);
    if (++lastNumber == 0) {
        ++lastNumber;
    }
    return lastNumber;
}

std::vector<AnswerBook::Request> AnswerBook::Open(Request request) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Request> pushedOut;
    while (open.size() >= OPEN_LIMIT) {
        auto oldest = open.begin();
        for (auto it = open.begin(); it != open.end(); ++it) {
            if (it->second.deadline < oldest->second.deadline) {
                oldest = it;
            }
        }
        pushedOut.push_back(std::move(oldest->second));
        open.erase(oldest);
    }
    const uint32_t number = request.number;
    open[number] = std::move(request);
    return pushedOut;
}

std::optional<AnswerBook::Request> AnswerBook::Resolve(uint32_t number) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = open.find(number);
    if (found == open.end()) {
        return std::nullopt;
    }
    Request request = std::move(found->second);
    open.erase(found);
    return request;
}

std::vector<AnswerBook::Request> AnswerBook::Expire(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Request> expired;
    for (auto it = open.begin(); it != open.end();) {
        if (it->second.deadline <= now) {
            expired.push_back(std::move(it->second));
            it = open.erase(it);
        } else {
            ++it;
        }
    }
    return expired;
}

std::optional<AnswerBook::Clock::time_point> AnswerBook::NextDeadline() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::optional<Clock::time_point> next;
    for (const auto &entry : open) {
        if (!next || entry.second.deadline < *next) {
            next = entry.second.deadline;
        }
    }
    return next;
}
