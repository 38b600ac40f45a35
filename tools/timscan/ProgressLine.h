#pragma once
// A line at the bottom of a terminal for work that has taken more than two
// seconds, redrawn a few times a second; nothing when standard error is not
// a terminal.
#include "PortableFile.h"

#include <chrono>
#include <string>

class ProgressLine {
public:
    ProgressLine() : shown_(StderrIsTerminal()), start_(std::chrono::steady_clock::now()) {}
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Whether Show would draw now; `text` is made only then.
    bool Due() const {
        const auto now = std::chrono::steady_clock::now();
        return shown_ && now - start_ >= std::chrono::seconds(2) && now - drawn_ >= std::chrono::milliseconds(250);
    }
    void Show(const std::string& text) {
        drawn_ = std::chrono::steady_clock::now();
        WriteText(Stream::Err, "\r\033[K" + text);
        onScreen_ = true;
    }
    // Before any other line is written.
    void Clear() {
        if (onScreen_) WriteText(Stream::Err, "\r\033[K");
        onScreen_ = false;
    }
    double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

private:
    bool shown_, onScreen_ = false;
    std::chrono::steady_clock::time_point start_, drawn_;
};
