// What a long-running core operation reports while it works, and how it learns
// that the user asked it to stop. The window's tracker implements it; the
// command line passes none. Every call may come from a worker thread.
#pragma once

#include <cstdint>
#include <string>

namespace zarvo {

class IProgressSink {
public:
    // The action's text ("Action: Generate IP List").
    virtual void ReportStatus(const std::string& status) = 0;
    // Starts counting from 0 towards max, with nothing processed yet.
    virtual void ReportRange(int64_t max) = 0;
    // n more items done.
    virtual void ReportAdvance(int64_t n) = 0;
    // The action reached its end: the position is set to the maximum.
    virtual void ReportDone() = 0;
    // The user asked the action to stop.
    virtual bool StopRequested() const = 0;

protected:
    ~IProgressSink() = default;
};

} // namespace zarvo
