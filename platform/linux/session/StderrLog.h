#pragma once

#include "platform/SystemLog.h"

namespace tarvolin {

// The system log of a service process: lines on stderr, which the journal collects
// under systemd. Each line goes out in one write so lines from threads never interleave.
class StderrLog final : public SystemLog {
public:
    explicit StderrLog(int fd = 2) : fd_(fd) {}
    void log(std::string_view line) override;

private:
    int fd_;
};

}  // namespace tarvolin
