#include "signal_safe_write.h"

#include <cerrno>

#include <unistd.h>

bool WriteAll(int file, const char *text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(file, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}
