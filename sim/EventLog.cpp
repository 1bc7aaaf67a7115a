// Event log of a simulated module: memory record plus optional file.
#include "sim/EventLog.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace modsim {

EventLog::EventLog(size_t memoryLimit) : limit_(memoryLimit) {}

EventLog::~EventLog() {
    if (file_ && ownFile_) fclose(file_);
}

void EventLog::openFile(const std::string& path) {
    std::lock_guard<std::mutex> g(m_);
    if (file_ && ownFile_) fclose(file_);
    file_ = nullptr;
    if (path == "-") {
        file_ = stderr;
        ownFile_ = false;
        enabled_ = true;
        return;
    }
    file_ = fopen(path.c_str(), "a");
    if (!file_) throw std::runtime_error("cannot open log file " + path + ": " + strerror(errno));
    ownFile_ = true;
    enabled_ = true;
}

void EventLog::setMemory(bool on) {
    std::lock_guard<std::mutex> g(m_);
    memory_ = on;
    enabled_ = memory_ || file_ != nullptr;
}

void EventLog::add(const std::string& line) {
    {
        std::lock_guard<std::mutex> g(m_);
        ++total_;
        if (memory_ && lines_.size() < limit_) lines_.push_back(line);
        if (file_) {
            fputs(line.c_str(), file_);
            fputc('\n', file_);
            fflush(file_);
        }
    }
    cv_.notify_all();
}

std::vector<std::string> EventLog::lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
}

size_t EventLog::size() const {
    std::lock_guard<std::mutex> g(m_);
    return total_;
}

std::vector<std::string> EventLog::matching(const std::string& prefix, size_t from) const {
    std::lock_guard<std::mutex> g(m_);
    std::vector<std::string> r;
    for (size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].compare(0, prefix.size(), prefix) == 0) r.push_back(lines_[i]);
    return r;
}

bool EventLog::findLocked(const std::string& line, size_t from, bool prefix) const {
    for (size_t i = from; i < lines_.size(); ++i) {
        if (prefix ? lines_[i].compare(0, line.size(), line) == 0 : lines_[i] == line) return true;
    }
    return false;
}

bool EventLog::waitFor(const std::string& line, std::chrono::milliseconds timeout, size_t from,
                       bool prefix) const {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, timeout, [&] { return findLocked(line, from, prefix); });
}

} // namespace modsim
