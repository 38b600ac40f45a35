#pragma once
// CUE sheets: which file holds each track of a disc, in which sector layout.
//
//   FILE "name" BINARY          the file the tracks below lie in (the name
//                               may be bare when it has no space)
//     TRACK nn MODE2/2352       MODE1/2048, MODE1/2352, MODE2/2352,
//                               MODE2/2336, AUDIO, ...
//       PREGAP mm:ss:ff         silence not stored in the file
//       INDEX 00 mm:ss:ff       start of the stored pregap
//       INDEX 01 mm:ss:ff       start of the track: an offset into the file,
//                               in sectors of the track's size (75 a second)
//
// REM, POSTGAP, FLAGS, TITLE and the like are read over; keywords in any case,
// any indentation, one-digit numbers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cd {

enum class TrackMode : uint8_t {
    Audio,
    Mode1Cooked,  // MODE1/2048: user data only
    Raw,          // MODE1/2352, MODE2/2352: whole sectors
    Other,        // CDG, MODE2/2336, CDI/...: not read
};

struct CueTrack {
    uint32_t number = 0;
    std::string file;      // as the sheet names it
    std::string modeText;  // "MODE2/2352"
    TrackMode mode = TrackMode::Other;
    uint32_t sectorSize = 0;   // bytes per sector in the file (0 for Other)
    bool hasStart = false;     // INDEX 01 seen
    uint64_t startFrames = 0;  // INDEX 01
    bool hasPregap = false;    // INDEX 00 seen
    uint64_t pregapFrames = 0; // INDEX 00
};

struct CueSheet {
    std::vector<CueTrack> tracks;
    std::vector<std::string> problems;  // one line each: what was read over and why
};

// True when `text` reads as a CUE sheet: text without NUL bytes, with a FILE
// line and a TRACK line (a sheet is recognised by what it says, never by its name).
bool LooksLikeCueSheet(const uint8_t* text, size_t size);

CueSheet ParseCueSheet(const uint8_t* text, size_t size);

// A track's bytes in its file: [begin, end), end of UINT64_MAX for "to the
// end of the file". It ends where the next track of the same file begins
// (its stored pregap included).
struct TrackExtent {
    uint64_t begin = 0;
    uint64_t end = UINT64_MAX;
};
TrackExtent ExtentOfTrack(const CueSheet& sheet, size_t track);

// The largest sheet read: larger files are not CUE sheets.
inline constexpr size_t kMaxCueSheetSize = 1 << 20;

}  // namespace cd
