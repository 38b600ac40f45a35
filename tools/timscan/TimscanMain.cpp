// timscan: finds every TIM inside files and disc images (raw, cooked, CUE
// sheets, ISO 9660), lists them and writes them out.
#include "CueSheet.h"
#include "ExitCodes.h"
#include "PortableFile.h"
#include "ProgressLine.h"
#include "Replace.h"
#include "Scanner.h"
#include "TimFormat.h"
#include "TimSummary.h"
#include "TimPicture.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: timscan [--json] FILE...\n"
    "       timscan -o FOLDER [--png] [--json] FILE...\n"
    "       timscan --replace OFFSET NEW.tim IMAGE\n"
    "\n"
    "Finds the PlayStation TIM images inside files: archives, executables, memory\n"
    "dumps (searched byte by byte), raw CD images (the user data of each 2352-byte\n"
    "sector by its mode and form; a Form 2 or audio sector ends a run of data),\n"
    "cooked images, and CUE sheets (each data track in its file). Where an image\n"
    "holds an ISO 9660 file system, each TIM also names the file it lies in and its\n"
    "offset there. Inputs are recognised by their content, never by their names.\n"
    "\n"
    "A TIM is what the TIM decoder accepts, with pixels, its blocks in the 1024 x 512\n"
    "frame buffer and no length field more than 2 bytes over its block's size; the\n"
    "search goes on after the end of each TIM found. Each is listed with its offset\n"
    "in the file, size, format, palettes, sector and file in the disc.\n"
    "\n"
    "--json       one JSON object a line: file, offset, bytes, sector, path and\n"
    "             path_offset (where known), bpp, width, height, palettes\n"
    "-o FOLDER    also write each TIM's bytes as FOLDER/NAME@OFFSET.tim (FOLDER is\n"
    "             created if missing; NAME is the file's name)\n"
    "--png        with -o, also write each TIM's picture as FOLDER/NAME@OFFSET.png,\n"
    "             with the exact colours of the other TIM clients\n"
    "--replace OFFSET NEW.tim\n"
    "             write NEW.tim over the TIM listed at IMAGE@OFFSET (for a CUE sheet,\n"
    "             IMAGE is the file the listing names), in place: NEW.tim must have\n"
    "             its format, width, height, CLUT size and length. In a raw image\n"
    "             only the user data of the sectors it changes is written, and their\n"
    "             EDC and ECC made right (a Form 2 sector's zero EDC stays zero).\n"
    "             Nothing is written when a check fails (exit 1)\n"
    "\n"
    "Exit codes: 0 done, 1 a replacement refused, 2 bad arguments, 3 an input\n"
    "missing or unreadable (said, and the other inputs are still scanned), 5 an\n"
    "output (or the image to replace in) cannot be written, 6 any other failure,\n"
    "7 an input is not a regular file.";

struct Options {
    bool replace = false;
    uint64_t replaceOffset = 0;
    std::string replaceNew;
    bool json = false;
    bool png = false;
    bool haveFolder = false;
    std::string folder;
    std::vector<std::string> inputs;
};

bool ParseArguments(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.inputs.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--png") {
            options.png = true;
        } else if (arg == "--replace") {
            if (i + 2 >= args.size()) {
                error = "--replace needs an offset and a TIM file";
                return false;
            }
            const std::string& number = args[++i];
            options.replace = true;
            options.replaceNew = args[++i];
            options.replaceOffset = 0;
            bool valid = !number.empty() && number.size() <= 19;
            for (const char c : number) {
                valid = valid && c >= '0' && c <= '9';
                if (valid) options.replaceOffset = options.replaceOffset * 10 + uint64_t(c - '0');
            }
            if (!valid) {
                error = "--replace needs an offset in bytes as the listing gives it, not " + number;
                return false;
            }
        } else if (arg == "-o") {
            if (i + 1 >= args.size()) {
                error = "-o needs a folder";
                return false;
            }
            options.haveFolder = true;
            options.folder = args[++i];
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (options.inputs.empty()) {
        error = "an input file is needed";
        return false;
    }
    if (options.replace && (options.json || options.png || options.haveFolder || options.inputs.size() != 1)) {
        error = "--replace takes one IMAGE and no other option";
        return false;
    }
    if (options.png && !options.haveFolder) {
        error = "--png writes pictures beside the TIMs: it needs -o FOLDER";
        return false;
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsAbsolute(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Everything a run prints and writes, and its counts.
class Report : public ScanEvents {
public:
    explicit Report(const Options& options) : options_(options) {}

    void BeginFile(const std::string& name, uint64_t size) {
        name_ = name;
        size_ = size;
    }
    void AddBytes(uint64_t bytes) { bytes_ += bytes; }

    void Found(const FoundTim& tim) override {
        ++tims_;
        ClearProgress();
        const TimImageInfo& info = tim.info;
        const uint32_t bpp = TimBitsPerPixel(info.format);
        const uint32_t palettes = TimPaletteCount(info);
        std::string line;
        if (options_.json) {
            line = "{\"file\":" + JsonString(name_) + ",\"offset\":" + std::to_string(tim.offset) +
                   ",\"bytes\":" + std::to_string(tim.bytes);
            if (tim.hasSector) line += ",\"sector\":" + std::to_string(tim.sector);
            if (tim.isoFile)
                line += ",\"path\":" + JsonString(tim.isoFile->path) + ",\"path_offset\":" +
                        std::to_string(tim.pathOffset);
            line += ",\"bpp\":" + std::to_string(bpp) + ",\"width\":" + std::to_string(info.width) +
                    ",\"height\":" + std::to_string(info.height) + ",\"palettes\":" + std::to_string(palettes) + "}";
        } else {
            line = name_ + "@" + std::to_string(tim.offset) + ": " + std::to_string(info.width) + " x " +
                   std::to_string(info.height) + ", " + TimFormatName(info);
            if (info.paletteSize != 0)
                line += ", " + std::to_string(palettes) + (palettes == 1 ? " palette" : " palettes");
            line += ", " + std::to_string(tim.bytes) + " bytes";
            if (tim.hasSector) line += ", sector " + std::to_string(tim.sector);
            if (tim.isoFile) line += ", in " + tim.isoFile->path + "@" + std::to_string(tim.pathOffset);
        }
        WriteLine(Stream::Out, line);
        if (options_.haveFolder) Extract(tim);
    }

    void Note(const std::string& line) override {
        ClearProgress();
        WriteLine(Stream::Err, name_ + ": " + line);
    }

    void Progress(uint64_t offset) override {
        if (!progress_.Due()) return;
        const unsigned percent = size_ ? unsigned(offset * 100 / size_) : 100;
        progress_.Show(name_ + ": " + std::to_string(percent) + "%, " + std::to_string(tims_) + " TIMs so far");
    }

    // A failure of a whole input or output: said, and its code kept.
    void Fail(int code, const std::string& line) {
        ClearProgress();
        WriteLine(Stream::Err, line);
        if (code_ == kExitOk) code_ = code;
    }

    int Finish(size_t files) {
        ClearProgress();
        const double seconds = progress_.Seconds();
        char line[200];
        std::snprintf(line, sizeof line, "timscan: %llu %s in %zu %s (%llu bytes) in %.2f s",
                      static_cast<unsigned long long>(tims_), tims_ == 1 ? "TIM" : "TIMs", files,
                      files == 1 ? "file" : "files", static_cast<unsigned long long>(bytes_), seconds);
        // Standard output carries only JSON lines with --json.
        WriteLine(options_.json ? Stream::Err : Stream::Out, line);
        return code_;
    }

private:
    void ClearProgress() { progress_.Clear(); }

    void Extract(const FoundTim& tim) {
        const std::string stem = PathInFolder(options_.folder, FileNameOf(name_) + "@" + std::to_string(tim.offset));
        if (!written_.insert(PathKey(stem)).second) {
            Fail(kExitOutputUnwritable, "timscan: " + stem + ".tim is already written from another input; not replaced");
            return;
        }
        AtomicFile out;
        if (!out.Create(stem + ".tim") || !out.Write(tim.data, size_t(tim.bytes)) || !out.Commit()) {
            Fail(kExitOutputUnwritable, "timscan: cannot write " + stem + ".tim: " + out.LastError());
            return;
        }
        if (options_.png) {
            const std::string error = WriteTimPicture(stem + ".png", tim.data, tim.bytes);
            if (!error.empty()) Fail(kExitOutputUnwritable, "timscan: cannot write " + stem + ".png: " + error);
        }
    }

    const Options& options_;
    ProgressLine progress_;
    std::string name_;
    uint64_t size_ = 0, bytes_ = 0, tims_ = 0;
    int code_ = kExitOk;
    std::set<std::string> written_;
};

int OpenCode(OpenFailure failure) {
    return failure == OpenFailure::NotAFile ? kExitNotAFile : kExitInputUnreadable;
}

void ScanRegion(Scanner& scanner, InputFile& file, const Region& region, Report& report,
                const std::string& name) {
    std::string error;
    report.AddBytes(region.end - region.begin);
    if (!scanner.Scan(file, region, report, error)) report.Fail(kExitInputUnreadable, name + ": " + error);
}

// The data tracks of a CUE sheet, each in its file.
void ScanCueSheet(Scanner& scanner, const std::string& sheetPath, const cd::CueSheet& sheet, Report& report) {
    report.BeginFile(sheetPath, 0);
    for (const std::string& problem : sheet.problems) report.Note(problem);
    InputFile file;
    std::string openPath;
    bool openOk = false;
    for (size_t i = 0; i < sheet.tracks.size(); ++i) {
        const cd::CueTrack& track = sheet.tracks[i];
        const std::string trackName = "track " + std::to_string(track.number);
        if (track.mode == cd::TrackMode::Audio || !track.hasStart) continue;
        if (track.mode == cd::TrackMode::Other) {
            report.BeginFile(sheetPath, 0);
            report.Note(trackName + " (" + track.modeText + ") is not read: only MODE1/2048, MODE1/2352 and "
                                                            "MODE2/2352 tracks are");
            continue;
        }
        const std::string path = IsAbsolute(track.file) ? track.file : FolderOf(sheetPath) + track.file;
        if (path != openPath) {
            openPath = path;
            const OpenFailure failure = file.Open(path);
            openOk = failure == OpenFailure::None;
            if (!openOk)
                report.Fail(OpenCode(failure), sheetPath + ": " + trackName + ": " + path + ": " + file.LastError());
        }
        if (!openOk) continue;
        report.BeginFile(path, file.Size());
        const cd::TrackExtent extent = cd::ExtentOfTrack(sheet, i);
        Region region;
        region.begin = extent.begin;
        region.end = std::min(extent.end, file.Size());
        region.layout = track.mode == cd::TrackMode::Raw ? RegionLayout::Raw : RegionLayout::Bytes;
        region.disc = true;
        if (region.begin >= region.end) {
            report.Note(trackName + " starts at byte " + std::to_string(extent.begin) + ", past the end of the file");
            continue;
        }
        ScanRegion(scanner, file, region, report, path);
    }
}

void ScanInput(Scanner& scanner, const std::string& path, Report& report) {
    InputFile file;
    const OpenFailure failure = file.Open(path);
    if (failure != OpenFailure::None) {
        report.Fail(OpenCode(failure), path + ": " + file.LastError());
        return;
    }
    report.BeginFile(path, file.Size());
    if (file.Size() <= cd::kMaxCueSheetSize) {
        std::vector<uint8_t> text(size_t(file.Size()));
        size_t got = 0;
        if (!file.ReadAt(0, text.data(), text.size(), got)) {
            report.Fail(kExitInputUnreadable, path + ": " + file.LastError());
            return;
        }
        if (cd::LooksLikeCueSheet(text.data(), got)) {
            ScanCueSheet(scanner, path, cd::ParseCueSheet(text.data(), got), report);
            return;
        }
    }
    Region region;
    region.end = file.Size();
    if (LooksLikeRawImage(file)) {
        region.layout = RegionLayout::Raw;
        region.disc = true;
    }
    ScanRegion(scanner, file, region, report, path);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (AnswerHelpOrVersion(args, "timscan", kUsage, TIM_VERSION)) return kExitOk;
    Options options;
    std::string error;
    if (!ParseArguments(args, options, error)) {
        WriteLine(Stream::Err, "timscan: " + error + "\n" + kUsage);
        return kExitBadArguments;
    }
    if (options.replace) return ReplaceTim(options.inputs[0], options.replaceOffset, options.replaceNew);
    if (options.haveFolder && !MakeFolder(options.folder)) {
        WriteLine(Stream::Err, "timscan: cannot make or use the folder " + options.folder);
        return kExitOutputUnwritable;
    }
    Report report(options);
    Scanner scanner;
    for (const std::string& input : options.inputs) ScanInput(scanner, input, report);
    return report.Finish(options.inputs.size());
}
