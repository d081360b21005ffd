#pragma once

#include <cstddef>
#include <new>
#include <utility>

// A first-in first-out queue in chunks of CHUNK items, each emptied chunk
// kept for reuse up to KEPT_CHUNKS: a steady stream allocates nothing, a
// burst takes memory in step with its backlog and gives it back as it
// drains. Swap exchanges two queues whole, kept chunks included, so a
// consumer that drains its own queue hands its kept chunks to the producers
// with the next swap.
//
// Threads: as the owner guards it.
template <typename T, std::size_t CHUNK = 16, std::size_t KEPT_CHUNKS = 8>
class ChunkedQueue {
public:
    ChunkedQueue() = default;
    ~ChunkedQueue() {
        DeleteChunks(head);
        DeleteChunks(kept);
    }
    ChunkedQueue(const ChunkedQueue &) = delete;
    ChunkedQueue &operator=(const ChunkedQueue &) = delete;

    bool Empty() const { return count == 0; }
    std::size_t Size() const { return count; }

    // Throws std::bad_alloc, leaving the queue as it was, when it needs a
    // chunk and there is no memory for one.
    void PushBack(const T &item) {
        if (tail == nullptr || tailUsed == CHUNK) {
            AppendChunk();
        }
        tail->items[tailUsed++] = item;
        ++count;
    }
    // The queue must not be empty.
    const T &Front() const { return head->items[headIndex]; }
    void DropFront() {
        --count;
        if (++headIndex == CHUNK || count == 0) {
            DropHeadChunk();
        }
    }
    void Swap(ChunkedQueue &other) {
        std::swap(head, other.head);
        std::swap(tail, other.tail);
        std::swap(headIndex, other.headIndex);
        std::swap(tailUsed, other.tailUsed);
        std::swap(count, other.count);
        std::swap(kept, other.kept);
        std::swap(keptCount, other.keptCount);
    }
    // Gives back the kept chunks.
    void Release() {
        DeleteChunks(kept);
        kept = nullptr;
        keptCount = 0;
    }
    template <typename Visit>
    void ForEach(Visit &&visit) const {
        std::size_t index = headIndex;
        std::size_t left = count;
        for (const Chunk *chunk = head; left != 0; chunk = chunk->next, index = 0) {
            for (; index < CHUNK && left != 0; ++index, --left) {
                visit(chunk->items[index]);
            }
        }
    }

private:
    struct Chunk {
        T items[CHUNK];
        Chunk *next = nullptr;
    };

    void AppendChunk() {
        Chunk *chunk = kept;
        if (chunk != nullptr) {
            kept = chunk->next;
            --keptCount;
            chunk->next = nullptr;
        } else {
            chunk = new Chunk;
        }
        if (tail != nullptr) {
            tail->next = chunk;
        } else {
            head = chunk;
            headIndex = 0;
        }
        tail = chunk;
        tailUsed = 0;
    }
    // The head chunk is spent, or the queue is empty.
    void DropHeadChunk() {
        Chunk *spent = head;
        head = spent->next;
        headIndex = 0;
        if (head == nullptr) {
            tail = nullptr;
            tailUsed = 0;
        }
        if (keptCount < KEPT_CHUNKS) {
            spent->next = kept;
            kept = spent;
            ++keptCount;
        } else {
            delete spent;
        }
    }
    static void DeleteChunks(Chunk *chunk) {
        while (chunk != nullptr) {
            delete std::exchange(chunk, chunk->next);
        }
    }

    Chunk *head = nullptr;
    Chunk *tail = nullptr;
    std::size_t headIndex = 0; // of the next item in head
    std::size_t tailUsed = 0;  // items written to tail
    std::size_t count = 0;
    Chunk *kept = nullptr; // emptied chunks for reuse
    std::size_t keptCount = 0;
};
