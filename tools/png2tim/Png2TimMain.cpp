// png2tim: an edited PNG back into the TIM it came from, by the TIM chunk
// tim2png writes into it or, when an editor dropped that, by the original.
#include "ExitCodes.h"
#include "PngInput.h"
#include "PortableFile.h"
#include "TimChunk.h"
#include "TimRebuild.h"
#include "TimSummary.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: png2tim [--like ORIGINAL.tim] [--nearest] [--palette K] input.png output.tim\n"
    "\n"
    "Turns a PNG of a TIM, as tim2png writes it and an editor changes it, back into\n"
    "a TIM. Everything but the pixels (headers, frame-buffer positions, the other\n"
    "palettes, STP bits) comes from the TIM chunk tim2png puts in the PNG, or from\n"
    "ORIGINAL.tim when an editor dropped the chunk; one of them is needed. An\n"
    "unedited PNG gives back the TIM's exact bytes. The output is replaced only\n"
    "once the new TIM is complete.\n"
    "\n"
    "An indexed PNG's indices are written as they are, and a changed colour of its\n"
    "palette changes that colour of palette K. An RGBA or RGB PNG of a 4-bit or\n"
    "8-bit TIM has its colours looked up in palette K (an unchanged pixel keeps its\n"
    "index); a colour the palette lacks is refused. For 16-bit and 24-bit TIMs an\n"
    "unchanged pixel keeps its word, STP bit included; a changed one takes the\n"
    "nearest TIM colour (transparent is 0x0000, opaque black 0x8000), and colours\n"
    "that were not exact TIM colours are counted.\n"
    "\n"
    "--like ORIGINAL.tim  the TIM the PNG was made from, instead of the PNG's chunk\n"
    "--nearest            map colours palette K lacks to its nearest entry (a\n"
    "                     transparent pixel only to a transparent one)\n"
    "--palette K          the palette of the CLUT the PNG shows (default 0)\n"
    "\n"
    "Exit codes: 0 done, 1 the PNG or the original was refused (the reason is\n"
    "printed), 2 bad arguments (or neither chunk nor --like), 3 input missing or\n"
    "unreadable, 5 output cannot be written, 6 any other failure, 7 an input is\n"
    "not a regular file.";

// The most of an original TIM file read for --like: its pixels at the pixel
// cap in 24 bits, and as much again as a chunk may hold besides.
constexpr uint64_t kMaxOriginalBytes = 3 * kMaxTimPixels + 2 * 65536 + kMaxTimChunkBytes;

struct Options {
    std::string like;
    bool nearest = false;
    uint32_t palette = 0;
    std::string input, output;
};

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    value = v;
    return true;
}

bool ParseArguments(const std::vector<std::string>& args, Options& options, std::string& error) {
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--nearest") {
            options.nearest = true;
        } else if (arg == "--like" || arg == "--palette") {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "--like") options.like = value;
            else if (!ParseNumber(value, options.palette)) {
                error = "--palette wants a palette number from 0, not \"" + value + "\"";
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (positional.size() != 2) {
        error = positional.size() < 2 ? "an input PNG and an output TIM are needed" : "one input PNG and one output TIM";
        return false;
    }
    options.input = positional[0];
    options.output = positional[1];
    return true;
}

struct Outcome {
    int code = kExitOk;
    std::string message;
};

// The original TIM of --like, as far as its image block's end.
Outcome ReadOriginal(const std::string& path, TimTemplate& original) {
    InputFile file;
    switch (file.Open(path)) {
        case OpenFailure::None: break;
        case OpenFailure::Missing: return {kExitInputUnreadable, path + ": file not found"};
        case OpenFailure::NotAFile: return {kExitNotAFile, path + ": " + file.LastError() + "; not read"};
        default: return {kExitInputUnreadable, path + ": cannot read it: " + file.LastError()};
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(size_t(std::min(file.Size(), kMaxOriginalBytes)));
    } catch (const std::bad_alloc&) {
        return {kExitOtherFailure, path + ": out of memory for " + std::to_string(file.Size()) + " bytes"};
    }
    size_t got = 0;
    if (!file.ReadAt(0, bytes.data(), bytes.size(), got))
        return {kExitInputUnreadable, path + ": cannot read it: " + file.LastError()};
    bytes.resize(got);
    std::string why;
    if (!TimTemplateFromFile(std::move(bytes), original, why)) return {kExitRefused, path + ": refused: " + why};
    return {};
}

Outcome Convert(const Options& options) {
    PngInput png;
    std::string why;
    switch (ReadPngFile(options.input, png, why)) {
        case PngReadResult::Read: break;
        case PngReadResult::Missing:
        case PngReadResult::Unreadable: return {kExitInputUnreadable, options.input + ": " + why};
        case PngReadResult::NotAFile: return {kExitNotAFile, options.input + ": " + why};
        case PngReadResult::NoMemory: return {kExitOtherFailure, options.input + ": " + why};
        case PngReadResult::Refused: return {kExitRefused, options.input + ": refused: " + why};
    }

    TimTemplate original;
    std::string from;
    if (!options.like.empty()) {
        if (Outcome read = ReadOriginal(options.like, original); read.code != kExitOk) return read;
        from = "like " + options.like;
    } else if (png.hasTimChunk) {
        if (!TimTemplateFromChunk(png.timChunk.data(), png.timChunk.size(), png.width, png.height, original, why))
            return {kExitRefused, options.input + ": refused: " + why};
        from = "from its TIM chunk";
    } else {
        return {kExitBadArguments, options.input + ": has no TIM chunk (an editor dropped it): the original TIM is "
                                                   "needed, as --like ORIGINAL.tim"};
    }

    TimRebuildOptions rebuild;
    rebuild.palette = options.palette;
    rebuild.nearest = options.nearest;
    TimRebuilt tim;
    try {
        tim = RebuildTim(original, png, rebuild);
    } catch (const std::bad_alloc&) {
        return {kExitOtherFailure, options.input + ": out of memory"};
    }
    if (!tim.refusal.empty()) return {kExitRefused, options.input + ": refused: " + tim.refusal};

    AtomicFile out;
    if (!out.Create(options.output) || !out.Write(tim.tim.data(), tim.tim.size()) || !out.Commit())
        return {kExitOutputUnwritable, "png2tim: cannot write " + options.output + ": " + out.LastError()};

    const TimImageInfo& info = original.info;
    std::string line = options.input + " -> " + options.output + ": " + std::to_string(info.width) + " x " +
                       std::to_string(info.height) + ", " + TimFormatName(info);
    if (options.palette) line += ", palette " + std::to_string(options.palette);
    line += ", " + from;
    std::vector<std::string> counts;
    const auto count = [&counts](uint64_t n, const char* one, const char* many) {
        if (n) counts.push_back(std::to_string(n) + " " + (n == 1 ? one : many));
    };
    if (original.pixelsKnown && !tim.changedPixels && !tim.changedColours) counts.push_back("unchanged");
    count(tim.changedPixels, "pixel changed", "pixels changed");
    count(tim.changedColours, "palette colour changed", "palette colours changed");
    count(tim.rounded, "colour rounded to a TIM colour", "colours rounded to TIM colours");
    count(tim.moved, "pixel moved to the nearest palette colour", "pixels moved to the nearest palette colour");
    for (size_t i = 0; i < counts.size(); ++i) line += (i ? ", " : ": ") + counts[i];
    return {kExitOk, line};
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (AnswerHelpOrVersion(args, "png2tim", kUsage, TIM_VERSION)) return kExitOk;
    Options options;
    std::string error;
    if (!ParseArguments(args, options, error)) {
        WriteLine(Stream::Err, "png2tim: " + error + "\n" + kUsage);
        return kExitBadArguments;
    }
    const Outcome outcome = Convert(options);
    WriteLine(outcome.code == kExitOk ? Stream::Out : Stream::Err, outcome.message);
    return outcome.code;
}
