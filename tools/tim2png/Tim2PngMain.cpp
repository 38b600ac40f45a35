// tim2png: converts TIM files to PNG with the pixels the Windows handler
// draws, and serves the Linux desktops as their TIM thumbnailer.
#include "BoxFilter.h"
#include "ExitCodes.h"
#include "PngOutput.h"
#include "PortableFile.h"
#include "Premultiply.h"
#include "StraightAlpha.h"
#include "TimDecode.h"
#include "TimFormat.h"
#include "TimReader.h"
#include "TimChunk.h"
#include "TimPng.h"
#include "TimSummary.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: tim2png [--size N] [--palette K] input.tim [output.png]\n"
    "       tim2png [--size N] [--palette K] -o FOLDER input.tim...\n"
    "       tim2png --info input.tim...\n"
    "\n"
    "Converts PlayStation TIM images to PNG files with the exact colours and\n"
    "transparency of the Windows thumbnail handler: 4-bit and 8-bit images as indexed\n"
    "PNGs of their own indices and palette, the others as RGBA. Each full-size PNG\n"
    "carries the TIM in a private chunk (its headers, whole CLUT, frame-buffer\n"
    "positions, STP bits), so that png2tim can turn it back into the same TIM; a\n"
    "TIM whose blocks hold over 16 MiB besides the pixels is written without it.\n"
    "Thumbnails (--size) are RGBA, without the chunk. The output defaults to the\n"
    "input's name with .png; with -o, every input becomes FOLDER/NAME.png (FOLDER is\n"
    "created if missing). An existing PNG is replaced only once the new one is complete.\n"
    "Inputs are regular files; a pipe, a device or a folder is refused at once.\n"
    "\n"
    "--size N     shrink to fit N x N (1 to 65535), keeping the aspect ratio; smaller\n"
    "             images keep their size\n"
    "--palette K  draw with palette K of a CLUT that holds several (default 0, the one\n"
    "             the thumbnails show)\n"
    "--info       print each file's format, size, palettes and frame-buffer positions\n"
    "             instead of converting it\n"
    "\n"
    "Exit codes: 0 done, 1 a file was refused (the reason is printed; with several\n"
    "files: any file failed, the others are still converted), 2 bad arguments,\n"
    "3 input missing or unreadable, 5 output cannot be written, 6 any other failure,\n"
    "7 input is not a regular file.\n"
    "(4 is timthumb's \"handler not registered\" and is not used.)";

struct Options {
    uint32_t size = 0;  // 0: full size
    uint32_t palette = 0;
    bool info = false;
    bool haveFolder = false;
    std::string folder;
    std::vector<std::string> inputs;
    std::string output;  // one input without -o; empty: the default name
};

bool ParseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    if (v < low || v > high) return false;
    value = v;
    return true;
}

bool EndsWithTim(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".tim";
}

// The input's name with .png instead of .tim (or added to any other name).
std::string DefaultOutput(const std::string& input) {
    return (EndsWithTim(input) ? input.substr(0, input.size() - 4) : input) + ".png";
}

// False with `error` set when the arguments make no sense.
bool ParseArguments(const std::vector<std::string>& args, Options& options, std::string& error) {
    std::vector<std::string> positional;
    bool optionsEnded = false, converting = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--info") {
            options.info = true;
        } else if (arg == "--size" || arg == "--palette" || arg == "-o") {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            converting = true;
            if (arg == "-o") {
                options.haveFolder = true;
                options.folder = value;
            } else if (arg == "--size" && !ParseNumber(value, 1, 65535, options.size)) {
                error = "--size wants a whole number from 1 to 65535, not \"" + value + "\"";
                return false;
            } else if (arg == "--palette" && !ParseNumber(value, 0, 99999999, options.palette)) {
                error = "--palette wants a palette number from 0, not \"" + value + "\"";
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (positional.empty()) {
        error = "an input file is needed";
        return false;
    }
    if (options.info) {
        if (converting) {
            error = "--info converts nothing: it takes no --size, --palette or -o";
            return false;
        }
        options.inputs = positional;
        return true;
    }
    if (options.haveFolder) {
        options.inputs = positional;
        return true;
    }
    if (positional.size() > 2) {
        error = "several input files need an output folder: -o FOLDER";
        return false;
    }
    if (positional.size() == 2 && EndsWithTim(positional[1])) {
        // Most likely two inputs; never write a PNG over a TIM file.
        error = "the output " + positional[1] + " is a .tim name; to convert several files use -o FOLDER";
        return false;
    }
    options.inputs = {positional[0]};
    if (positional.size() == 2) options.output = positional[1];
    return true;
}

struct Outcome {
    int code = kExitOk;
    std::string message;  // a line for stdout on success, for stderr otherwise
};

Outcome Fail(int code, std::string message) {
    return {code, std::move(message)};
}

// Opens a regular file, or says why not; a pipe, a device or a folder is
// refused before anything is read (the file layer never waits on one).
Outcome OpenInput(const std::string& path, InputFile& file) {
    switch (file.Open(path)) {
        case OpenFailure::None: return {};
        case OpenFailure::Missing: return Fail(kExitInputUnreadable, path + ": file not found");
        case OpenFailure::NotAFile: return Fail(kExitNotAFile, path + ": " + file.LastError() + "; not read");
        default: return Fail(kExitInputUnreadable, path + ": cannot read it: " + file.LastError());
    }
}

// Takes the file through the reader: reads what it asks for, steps over
// what it skips.
Outcome ReadTim(const std::string& path, InputFile& file, TimReader& reader) {
    uint8_t buffer[65536];
    uint64_t offset = 0;
    for (;;) {
        const TimReadStep step = reader.Next();
        if (step.action == TimReadAction::Skip) {
            // Past the end reads nothing, as a seek there would.
            offset = step.count > UINT64_MAX - offset ? UINT64_MAX : offset + step.count;
            reader.Skipped(step.count);
        } else if (step.action == TimReadAction::Read) {
            size_t got = 0;
            if (!file.ReadAt(offset, buffer, size_t(std::min<uint64_t>(step.count, sizeof buffer)), got))
                return Fail(kExitInputUnreadable, path + ": cannot read it: " + file.LastError());
            offset += got;
            if (got == 0) reader.EndOfInput();  // it shrank since it was opened
            else reader.Feed(buffer, got);
        } else {
            return {};
        }
    }
}

// Why palette `index` cannot be drawn, for a file that lacks it.
std::string NoSuchPalette(const TimImageInfo& info, uint32_t index) {
    const std::string which = "it has no palette " + std::to_string(index);
    const uint32_t count = TimPaletteCount(info);
    if (count > 0)
        return which + " (its CLUT holds " + std::to_string(count) + (count == 1 ? " palette" : " palettes") +
               ", numbered from 0)";
    if (info.paletteSize != 0)
        return which + " (its CLUT of " + std::to_string(uint32_t(info.clutWidth) * info.clutHeight) +
               " colours is shorter than one palette)";
    if (info.format == TimPixelFormat::Indexed4 || info.format == TimPixelFormat::Indexed8)
        return which + " (it has no CLUT and is drawn in grey)";
    return which + " (" + TimFormatName(info) + " uses no palette)";
}

// One line with everything the header tells.
std::string Describe(const std::string& input, const TimImageInfo& info) {
    std::string line = input + ": " + std::to_string(info.width) + " x " + std::to_string(info.height) + ", " +
                       TimFormatName(info);
    const uint32_t entries = uint32_t(info.clutWidth) * info.clutHeight;
    const uint32_t count = TimPaletteCount(info);
    if (info.paletteSize != 0) {
        if (count > 0)
            line += ", " + std::to_string(count) + (count == 1 ? " palette" : " palettes") + " of " +
                    std::to_string(info.paletteSize) + " colours";
        else
            line += ", a CLUT of " + std::to_string(entries) + " colours (short of one palette)";
    } else if (info.clutData) {
        line += ", an unused CLUT of " + std::to_string(entries) + " colours";
    }
    line += "; frame buffer: image at (" + std::to_string(info.imageX) + ", " + std::to_string(info.imageY) + ")";
    if (info.clutData)
        line += ", CLUT at (" + std::to_string(info.clutX) + ", " + std::to_string(info.clutY) + ")";
    return line;
}

// The TIM's bytes from its start to its image block's end, read again
// whole, for the chunk; the file must still be the one the reader accepted.
Outcome ReadWholeTim(const std::string& path, uint64_t imageEnd, const TimImageInfo& accepted, uint32_t palette,
                     TimTemplate& whole) {
    InputFile file;
    if (file.Open(path) != OpenFailure::None)
        return Fail(kExitInputUnreadable, path + ": cannot read it: " + file.LastError());
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(size_t(imageEnd));
    } catch (const std::bad_alloc&) {
        return Fail(kExitOtherFailure,
                    path + ": " + TimRefusalText({TimRefusalReason::NoMemory, accepted.width, accepted.height}));
    }
    size_t got = 0;
    if (!file.ReadAt(0, bytes.data(), bytes.size(), got))
        return Fail(kExitInputUnreadable, path + ": cannot read it: " + file.LastError());
    std::string why;
    if (got != bytes.size() || !TimTemplateFromFile(std::move(bytes), whole, why) ||
        whole.info.width != accepted.width || whole.info.height != accepted.height ||
        (palette && palette >= TimPaletteCount(whole.info)))
        return Fail(kExitInputUnreadable, path + ": cannot read it: it changed while being read");
    return {};
}

// The line said for a converted file.
std::string Done(const Options& options, const std::string& input, const std::string& output,
                 const TimImageInfo& info, PixelSize size) {
    std::string line = input + ": " + std::to_string(info.width) + " x " + std::to_string(info.height) + ", " +
                       TimFormatName(info);
    if (options.palette) line += ", palette " + std::to_string(options.palette);
    line += " -> " + output;
    if (size.width != info.width || size.height != info.height)
        line += " (" + std::to_string(size.width) + " x " + std::to_string(size.height) + ")";
    return line;
}

Outcome ConvertFile(const Options& options, const std::string& input, const std::string& output) {
    TimReadOptions readOptions;
    readOptions.palette = options.palette;
    readOptions.headerOnly = options.info;
    // On the heap, so that its rows can go once they are decoded.
    std::unique_ptr<TimReader> reader;
    {
        InputFile file;
        if (Outcome open = OpenInput(input, file); open.code != kExitOk) return open;
        readOptions.inputSize = file.Size();
        reader = std::make_unique<TimReader>(readOptions);
        if (Outcome read = ReadTim(input, file, *reader); read.code != kExitOk) return read;
    }

    const TimRefusal refusal = reader->Refusal();
    if (refusal.reason == TimRefusalReason::NoMemory)
        return Fail(kExitOtherFailure, input + ": " + TimRefusalText(refusal));
    if (refusal.reason != TimRefusalReason::Accepted)
        return Fail(kExitRefused, input + ": refused: " + TimRefusalText(refusal));
    TimImageInfo info = reader->Record();
    if (options.info) return {kExitOk, Describe(input, info)};

    if (SameFile(input, output))
        return Fail(kExitBadArguments, "tim2png: " + output + " is the input file itself; not overwritten");
    if (!reader->PaletteFound())
        return Fail(kExitRefused, input + ": refused: " + NoSuchPalette(info, options.palette));
    if (const TimRefusal draw = reader->DrawRefusal(); draw.reason != TimRefusalReason::Accepted)
        return Fail(kExitRefused, input + ": refused: " + TimRefusalText(draw));

    // At full size the PNG carries the TIM: its bytes are read whole (as
    // far as the image block's end, and only when what is not pixels fits a
    // chunk), and the picture is drawn from them.
    std::vector<uint8_t> chunk;
    TimTemplate whole;
    std::string note;
    if (!options.size) {
        const uint64_t beside = TimBytesBesidePixels(reader->ImageEnd(), info);
        if (beside > kMaxTimChunkBytes) {
            note = "; without the TIM chunk: its blocks hold " + std::to_string(beside) +
                   " bytes besides the pixels, over 16 MiB";
        } else if (Outcome got = ReadWholeTim(input, reader->ImageEnd(), info, options.palette, whole);
                   got.code != kExitOk) {
            return got;
        } else {
            reader.reset();
            info = whole.info;
            SelectTimPalette(info, options.palette);
            chunk = MakeTimChunk(whole.tim, whole.info);
        }
    }
    if (!options.size) {
        bool noMemory = false;
        const std::string error = WriteTimPng(output, info, chunk, noMemory);
        if (noMemory) return Fail(kExitOtherFailure, input + ": " + error);
        if (!error.empty()) return Fail(kExitOutputUnwritable, "tim2png: cannot write " + output + ": " + error);
        return {kExitOk, Done(options, input, output, info, {info.width, info.height}) + note};
    }

    // A thumbnail: the handler's road, decoded bottom-up and premultiplied,
    // then shrunk (on premultiplied pixels) and back to straight alpha,
    // top-down, as an RGBA PNG.
    PixelSize size{info.width, info.height};
    std::vector<uint32_t> pixels, straight;
    try {
        pixels.resize(size_t(size.width) * size.height);
        DecodeTimPixels(info, pixels.data());
        reader.reset();
        info.clutData = info.pixelData = nullptr;  // they pointed into the reader
        PremultiplyPixels(pixels.data(), pixels.size());
        const PixelSize fitted = FitInBox(size, options.size);
        if (fitted.width != size.width || fitted.height != size.height) {
            pixels = ShrinkPremultiplied(pixels.data(), size, fitted);
            size = fitted;
        }
        straight.resize(pixels.size());
    } catch (const std::bad_alloc&) {
        return Fail(kExitOtherFailure,
                    input + ": " + TimRefusalText({TimRefusalReason::NoMemory, info.width, info.height}));
    }
    ToStraightTopDown(reinterpret_cast<const uint8_t*>(pixels.data()), size_t(size.width) * 4, size.width,
                      size.height, true, true, straight.data());

    PngPicture picture;
    picture.width = size.width;
    picture.height = size.height;
    picture.bgra = straight.data();
    const std::string error = WritePng(output, picture, {});
    if (!error.empty()) return Fail(kExitOutputUnwritable, "tim2png: cannot write " + output + ": " + error);
    return {kExitOk, Done(options, input, output, info, size)};
}

// The output folder of -o, made (with its parents) if missing.
Outcome PrepareFolder(const std::string& folder) {
    switch (KindOfPath(folder)) {
        case PathKind::Folder: return {};
        case PathKind::Other:
            return Fail(kExitOutputUnwritable, "tim2png: cannot write into " + folder + ": it is not a folder");
        case PathKind::Missing: break;
    }
    std::string why;
    if (!MakeFolder(folder, &why))
        return Fail(kExitOutputUnwritable, "tim2png: cannot make the folder " + folder + ": " + why);
    return {};
}

// A line that stays at the bottom of a terminal: "[12/300] name.tim".
class Progress {
public:
    explicit Progress(bool shown) : shown_(shown) {}
    void Show(size_t done, size_t total, const std::string& name) {
        if (shown_)
            WriteText(Stream::Err, "\r\033[K[" + std::to_string(done) + "/" + std::to_string(total) + "] " + name);
    }
    void Clear() {
        if (shown_) WriteText(Stream::Err, "\r\033[K");
    }

private:
    bool shown_;
};

int Run(const Options& options) {
    if (options.haveFolder) {
        if (Outcome folder = PrepareFolder(options.folder); folder.code != kExitOk) {
            WriteLine(Stream::Err, folder.message);
            return folder.code;
        }
    }
    const size_t total = options.inputs.size();
    Progress progress(total > 1 && !options.info && StderrIsTerminal());
    std::map<std::string, std::string> written;  // output -> its input, for -o
    std::vector<std::string> failures;
    int lastCode = kExitOk;
    for (size_t i = 0; i < total; ++i) {
        const std::string& input = options.inputs[i];
        std::string output = options.output.empty() ? DefaultOutput(input) : options.output;
        if (options.haveFolder) output = PathInFolder(options.folder, FileNameOf(output));
        progress.Show(i + 1, total, input);
        Outcome outcome;
        if (!options.info && !written.emplace(PathKey(output), input).second)
            outcome = Fail(kExitOutputUnwritable, input + ": not converted: " + output + " is already the PNG of " +
                                                      written[PathKey(output)]);
        else
            outcome = ConvertFile(options, input, output);
        progress.Clear();
        WriteLine(outcome.code == kExitOk ? Stream::Out : Stream::Err, outcome.message);
        if (outcome.code != kExitOk) {
            failures.push_back(outcome.message);
            lastCode = outcome.code;
        }
    }
    if (total == 1) return lastCode;
    // Several inputs come only with -o, or with --info.
    if (failures.empty()) {
        if (!options.info)
            WriteLine(Stream::Out, "tim2png: " + std::to_string(total) + " files converted into " + options.folder);
        return kExitOk;
    }
    std::string list = "tim2png: " + std::to_string(failures.size()) + " of " + std::to_string(total) +
                       " files failed:";
    for (const std::string& failure : failures) list += "\n  " + failure;
    WriteLine(Stream::Err, list);
    return kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (AnswerHelpOrVersion(args, "tim2png", kUsage, TIM_VERSION)) return kExitOk;
    Options options;
    std::string error;
    if (!ParseArguments(args, options, error)) {
        WriteLine(Stream::Err, "tim2png: " + error + "\n" + kUsage);
        return kExitBadArguments;
    }
    return Run(options);
}
