#pragma once

#include <unistd.h>

// An open file descriptor, closed with its owner; -1 holds none.
//
// Threads: one owner at a time, like any handle.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() {
        if (fd >= 0)
            close(fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return fd; }

    // Hands the descriptor to a new owner, such as a stdio stream.
    int release() {
        const int released = fd;
        fd = -1;
        return released;
    }

private:
    int fd;
};
