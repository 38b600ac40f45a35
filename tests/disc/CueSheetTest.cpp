// CUE sheets as real ones are written: REM, PREGAP, INDEX 00, odd
// indentation, one-digit numbers, keywords in any case, several files.
#include "CueSheet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

cd::CueSheet Parse(const std::string& text) {
    return cd::ParseCueSheet(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

struct Expected {
    uint32_t number;
    std::string file;
    cd::TrackMode mode;
    uint64_t begin, end;  // bytes in the file
};

}  // namespace

TEST(CueSheet, TracksAndTheirExtents) {
    const uint64_t open = UINT64_MAX;
    const struct {
        const char* name;
        std::string text;
        std::vector<Expected> tracks;
        size_t problems;
    } cases[] = {
        {"one raw track",
         "FILE \"game.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n",
         {{1, "game.bin", cd::TrackMode::Raw, 0, open}}, 0},
        {"data then audio with INDEX 00, PREGAP, REM, CRLF, tabs, one digit",
         "REM GENRE Game\r\nFILE \"my game.bin\" BINARY\r\n\tTRACK 1 MODE2/2352\r\n\t\tINDEX 1 00:00:00\r\n"
         "   TRACK 2 AUDIO\r\n PREGAP 00:02:00\r\n      INDEX 00 1:0:0\r\n  INDEX 01 01:02:00\r\n",
         {{1, "my game.bin", cd::TrackMode::Raw, 0, 4500 * 2352ull}, {2, "my game.bin", cd::TrackMode::Audio,
                                                                      4650 * 2352ull, open}},
         0},
        {"a file per track, bare names, lower case keywords, POSTGAP",
         "file track1.iso binary\ntrack 01 mode1/2048\nindex 01 00:00:00\npostgap 00:02:00\n"
         "FILE \"Track 02.bin\" BINARY\nTRACK 02 MODE1/2352\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n",
         {{1, "track1.iso", cd::TrackMode::Mode1Cooked, 0, open},
          {2, "Track 02.bin", cd::TrackMode::Raw, 150 * 2352ull, open}},
         0},
        {"an unread mode, a track before any file, a time out of range",
         "TRACK 01 MODE1/2352\nFILE a.bin BINARY\nTRACK 02 MODE2/2336\nINDEX 01 00:00:00\n"
         "TRACK 03 MODE1/2352\nINDEX 01 00:60:00\n",
         {{2, "a.bin", cd::TrackMode::Other, 0, 0}, {3, "a.bin", cd::TrackMode::Raw, 0, open}}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const cd::CueSheet sheet = Parse(c.text);
        ASSERT_EQ(sheet.tracks.size(), c.tracks.size());
        EXPECT_EQ(sheet.problems.size(), c.problems);
        for (size_t i = 0; i < c.tracks.size(); ++i) {
            const cd::CueTrack& t = sheet.tracks[i];
            EXPECT_EQ(t.number, c.tracks[i].number);
            EXPECT_EQ(t.file, c.tracks[i].file);
            EXPECT_EQ(t.mode, c.tracks[i].mode);
            if (t.hasStart && t.mode != cd::TrackMode::Other) {
                const cd::TrackExtent e = cd::ExtentOfTrack(sheet, i);
                EXPECT_EQ(e.begin, c.tracks[i].begin) << "track " << t.number;
                EXPECT_EQ(e.end, c.tracks[i].end) << "track " << t.number;
            }
        }
        EXPECT_TRUE(cd::LooksLikeCueSheet(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()));
    }
}

TEST(CueSheet, RecognisedByContent) {
    const struct {
        std::string text;
        bool cue;
    } cases[] = {
        {"FILE \"x.bin\" BINARY\nTRACK 01 MODE2/2352\n", true},
        {"  file x.bin binary\r\n  track 1 audio\r\n", true},
        {"FILE \"x.bin\" BINARY\n", false},                        // no track
        {"TRACK 01 MODE2/2352\n", false},                           // no file
        {std::string("FILE x.bin BINARY\nTRACK 01 AUDIO\n\0", 34), false},  // a NUL: binary data
        {"FILEX x.bin\nTRACKS 1 2\n", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cd::LooksLikeCueSheet(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()), c.cue)
            << c.text;
}
