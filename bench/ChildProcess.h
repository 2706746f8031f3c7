#pragma once

#include <chrono>
#include <string>

namespace velmora::bench {

// One start of a program built with StartupProbe.cpp.
struct ProbeResult
{
    bool ok = false;
    std::string error;
    std::chrono::nanoseconds startup{0};  // from just before exec to the first paint
    long peakRssKib = 0;                  // the child's own high-water mark
    long rusageMaxRssKib = 0;             // wait4's figure, for comparison
};

// Starts the program on the offscreen platform, waits for its reports and its
// exit; a child that has not exited after timeout is killed.
[[nodiscard]] ProbeResult RunProbed(const std::string &program,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace velmora::bench
