// A display that records what it is given, for tests of code that reports
// through an UpdaterDisplayInterface.
#pragma once

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

struct RecordingDisplay : UpdaterDisplayInterface {
    struct Line {
        bool error;
        std::string text;
        bool operator==(const Line&) const = default;
    };
    std::vector<Line> lines;
    std::vector<std::string> drawing; // progress and spinner calls, described

    void display_progress(bool show) override { drawing.push_back(show ? "progress on" : "progress off"); }
    void update_progress(double fraction, const char*) override
    {
        drawing.push_back("progress " + std::to_string(fraction));
    }
    void update_spinner(bool active, const char*) override { drawing.push_back(active ? "spin" : "spin off"); }
    void info_message(const char* text) override { lines.push_back({false, text}); }
    void error_message(const char* text) override { lines.push_back({true, text}); }

    std::vector<std::string> Texts() const
    {
        std::vector<std::string> out;
        for (const Line& line : lines)
            out.push_back(line.text);
        return out;
    }
};
