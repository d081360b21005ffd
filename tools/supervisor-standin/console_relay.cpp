#include "console_relay.h"

#include <cerrno>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr std::size_t READ_SIZE = 4096;

} // namespace

std::string WithoutEscapes(const std::string &line) {
    std::string plain;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\x1b') {
            plain += line[i];
            continue;
        }
        // ESC [ parameters, then one final byte from '@' to '~'.
        if (i + 1 < line.size() && line[i + 1] == '[') {
            i += 2;
            while (i < line.size() && (line[i] < '@' || line[i] > '~')) {
                ++i;
            }
        }
    }
    return plain;
}

ConsoleRelay::ConsoleRelay(int terminal, std::FILE *out, bool keepColours, RunSummary &summary)
    : terminal(terminal), out(out), keepColours(keepColours), summary(summary) {}

ConsoleRelay::~ConsoleRelay() { Close(); }

void ConsoleRelay::Relay() {
    if (terminal >= 0 && !ReadOnce()) {
        Close();
    }
    WriteLines(false);
}

void ConsoleRelay::Finish(int lastMilliseconds) {
    while (terminal >= 0) {
        pollfd watched{terminal, POLLIN, 0};
        if (poll(&watched, 1, lastMilliseconds) <= 0 || !ReadOnce()) {
            Close();
        }
    }
    WriteLines(true);
}

// A terminal whose other side is closed reads as an error (EIO).
bool ConsoleRelay::ReadOnce() {
    char buffer[READ_SIZE];
    const ssize_t count = read(terminal, buffer, sizeof buffer);
    if (count > 0) {
        pending.append(buffer, static_cast<std::size_t>(count));
        return true;
    }
    return count < 0 && (errno == EINTR || errno == EAGAIN);
}

void ConsoleRelay::WriteLines(bool all) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        WriteLine(line);
    }
    pending.erase(0, start);
    if (all && !pending.empty()) {
        WriteLine(pending);
        pending.clear();
    }
    std::fflush(out);
}

void ConsoleRelay::WriteLine(const std::string &line) {
    const std::string plain = WithoutEscapes(line);
    summary.SeeConsoleLine(plain);
    const std::string &shown = keepColours ? line : plain;
    std::fwrite(shown.data(), 1, shown.size(), out);
    std::fputc('\n', out);
}

void ConsoleRelay::Close() {
    if (terminal >= 0) {
        close(terminal);
        terminal = -1;
    }
}
