// EventLog: what a simulated module received, sent, rejected and injected,
// one text line per event. Kept in memory (bounded) for in-process tests and
// optionally written to a file, flushed per line, for tests that run the
// executable. Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace modsim {

class EventLog {
public:
    explicit EventLog(size_t memoryLimit = 100000);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Path "-" writes to standard error. Throws std::runtime_error on failure.
    void openFile(const std::string& path);
    void setMemory(bool on);

    void add(const std::string& line);
    // False when lines go nowhere (callers may skip formatting them).
    bool enabled() const { return enabled_; }

    std::vector<std::string> lines() const;
    size_t size() const; // lines recorded so far (also those past the limit)
    // Lines that begin with the prefix, from index `from` on.
    std::vector<std::string> matching(const std::string& prefix, size_t from = 0) const;
    // Waits until a line equal to `line` (or beginning with it when prefix is
    // true) exists at index >= from. Bounded by the time-out.
    bool waitFor(const std::string& line, std::chrono::milliseconds timeout, size_t from = 0,
                 bool prefix = false) const;

private:
    bool findLocked(const std::string& line, size_t from, bool prefix) const;

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::vector<std::string> lines_;
    size_t limit_;
    size_t total_ = 0;
    bool memory_ = true;
    FILE* file_ = nullptr;
    bool ownFile_ = false;
    std::atomic<bool> enabled_{true};
};

} // namespace modsim
