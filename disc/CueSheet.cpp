#include "CueSheet.h"

#include "CdSector.h"

#include <cctype>

namespace cd {

namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The words of one line; a quoted word keeps its spaces.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            const size_t end = close == std::string::npos ? line.size() : close;
            word = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 9) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > limit) return false;
    value = v;
    return true;
}

// mm:ss:ff, one or more digits each, into frames.
bool ParseTime(const std::string& text, uint64_t& frames) {
    const size_t a = text.find(':');
    const size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos) return false;
    uint64_t m = 0, s = 0, f = 0;
    if (!ParseNumber(text.substr(0, a), 99999, m) || !ParseNumber(text.substr(a + 1, b - a - 1), 59, s) ||
        !ParseNumber(text.substr(b + 1), kFramesPerSecond - 1, f))
        return false;
    frames = (m * 60 + s) * kFramesPerSecond + f;
    return true;
}

void SetMode(CueTrack& track) {
    const std::string mode = Upper(track.modeText);
    if (mode == "AUDIO") {
        track.mode = TrackMode::Audio;
        track.sectorSize = uint32_t(kRawSectorSize);
    } else if (mode == "MODE1/2048") {
        track.mode = TrackMode::Mode1Cooked;
        track.sectorSize = uint32_t(kDataSectorSize);
    } else if (mode == "MODE1/2352" || mode == "MODE2/2352") {
        track.mode = TrackMode::Raw;
        track.sectorSize = uint32_t(kRawSectorSize);
    } else {
        track.mode = TrackMode::Other;
        track.sectorSize = 0;
    }
}

}  // namespace

bool LooksLikeCueSheet(const uint8_t* text, size_t size) {
    if (size == 0 || size > kMaxCueSheetSize) return false;
    bool file = false, track = false;
    size_t lineStart = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && text[i] == 0) return false;
        if (i < size && text[i] != '\n' && text[i] != '\r') continue;
        const std::vector<std::string> words =
            Words(std::string(reinterpret_cast<const char*>(text) + lineStart, i - lineStart));
        if (!words.empty()) {
            const std::string keyword = Upper(words[0]);
            file = file || (keyword == "FILE" && words.size() >= 2);
            track = track || (keyword == "TRACK" && words.size() >= 3);
        }
        lineStart = i + 1;
    }
    return file && track;
}

CueSheet ParseCueSheet(const uint8_t* text, size_t size) {
    CueSheet sheet;
    std::string file;
    bool haveFile = false;
    size_t lineStart = 0, lineNumber = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && text[i] != '\n') continue;
        ++lineNumber;
        const std::vector<std::string> words =
            Words(std::string(reinterpret_cast<const char*>(text) + lineStart, i - lineStart));
        lineStart = i + 1;
        if (words.empty()) continue;
        const std::string keyword = Upper(words[0]);
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (keyword == "FILE") {
            if (words.size() < 2 || words[1].empty()) {
                sheet.problems.push_back(where + "FILE without a name");
                haveFile = false;
                continue;
            }
            file = words[1];
            haveFile = true;
        } else if (keyword == "TRACK") {
            uint64_t number = 0;
            if (words.size() < 3 || !ParseNumber(words[1], 99, number)) {
                sheet.problems.push_back(where + "TRACK without a number and a mode");
                continue;
            }
            if (!haveFile) {
                sheet.problems.push_back(where + "TRACK " + words[1] + " before any FILE; not read");
                continue;
            }
            CueTrack track;
            track.number = uint32_t(number);
            track.file = file;
            track.modeText = words[2];
            SetMode(track);
            sheet.tracks.push_back(track);
        } else if (keyword == "INDEX") {
            uint64_t number = 0, frames = 0;
            if (words.size() < 3 || !ParseNumber(words[1], 99, number) || !ParseTime(words[2], frames)) {
                sheet.problems.push_back(where + "INDEX without a number and a time mm:ss:ff");
                continue;
            }
            if (sheet.tracks.empty() || sheet.tracks.back().file != file) continue;
            CueTrack& track = sheet.tracks.back();
            if (number == 1 && !track.hasStart) {
                track.hasStart = true;
                track.startFrames = frames;
            } else if (number == 0 && !track.hasPregap) {
                track.hasPregap = true;
                track.pregapFrames = frames;
            }
        }
        // REM, PREGAP, POSTGAP (not stored in the file), FLAGS, TITLE, ...: nothing to read.
    }
    for (const CueTrack& track : sheet.tracks)
        if (!track.hasStart)
            sheet.problems.push_back("track " + std::to_string(track.number) + " has no INDEX 01; not read");
    return sheet;
}

TrackExtent ExtentOfTrack(const CueSheet& sheet, size_t index) {
    const CueTrack& track = sheet.tracks[index];
    TrackExtent extent;
    extent.begin = track.startFrames * track.sectorSize;
    for (size_t next = index + 1; next < sheet.tracks.size(); ++next) {
        const CueTrack& other = sheet.tracks[next];
        if (other.file != track.file) break;
        if (!other.hasStart && !other.hasPregap) continue;
        // Offsets in the file count the sectors of the tracks before, all of one
        // size in the files that exist; the next track's own size is the one
        // its times are written in.
        const uint64_t frames = other.hasPregap ? other.pregapFrames : other.startFrames;
        const uint64_t size = other.sectorSize ? other.sectorSize : track.sectorSize;
        extent.end = frames * size;
        break;
    }
    if (extent.end < extent.begin) extent.end = extent.begin;
    return extent;
}

}  // namespace cd
