#include "sim/services/control_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <utility>

#include "platform/win_services.h"
#include "sim/core/names.h"

namespace sim {

bool parseServiceControl(const std::string& line, uint32_t& control, std::string& beforeFunction, unsigned& nth,
                         std::string& error) {
    static const std::pair<const char*, uint32_t> Names[] = {
        {"stop", SERVICE_CONTROL_STOP},           {"pause", SERVICE_CONTROL_PAUSE},
        {"continue", SERVICE_CONTROL_CONTINUE},   {"interrogate", SERVICE_CONTROL_INTERROGATE},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN},
    };
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    if (words.size() != 1 && !(words.size() == 3 && words[1] == "before")) {
        error = "expected CONTROL [before FUNCTION#N], got " + line;
        return false;
    }
    bool named = false;
    for (const auto& [name, value] : Names)
        if (equalNoCase(words[0], name)) control = value, named = true;
    if (!named) {
        char* end = nullptr;
        unsigned long v = std::strtoul(words[0].c_str(), &end, 0);
        if (words[0].empty() || *end || v > 0xFFFFFFFFul) {
            error = "unknown control " + words[0];
            return false;
        }
        control = static_cast<uint32_t>(v);
    }
    beforeFunction.clear();
    nth = 0;
    if (words.size() == 3) {
        size_t hash = words[2].find('#');
        char* end = nullptr;
        unsigned long n = hash == std::string::npos ? 0 : std::strtoul(words[2].c_str() + hash + 1, &end, 10);
        if (hash == 0 || hash == std::string::npos || !end || *end || n == 0 || n > 1000000) {
            error = "expected FUNCTION#N (N from 1), got " + words[2];
            return false;
        }
        beforeFunction = words[2].substr(0, hash);
        nth = static_cast<unsigned>(n);
    }
    return true;
}

ControlChannel::ControlChannel(const char* path) : path_(path ? path : "") {}

ControlChannel::~ControlChannel() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> ControlChannel::newLines() {
    std::vector<std::string> lines;
    if (path_.empty()) return lines;
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return lines;  // not there yet
    char buf[512];
    for (;;) {
        ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got <= 0) break;  // 0: nothing more for now; -1: EAGAIN on a FIFO
        partial_.append(buf, static_cast<size_t>(got));
    }
    size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
        lines.push_back(partial_.substr(0, nl));
        partial_.erase(0, nl + 1);
    }
    return lines;
}

}  // namespace sim
