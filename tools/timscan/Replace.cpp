#include "Replace.h"

#include "CdSector.h"
#include "CueSheet.h"
#include "ExitCodes.h"
#include "PortableFile.h"
#include "ProgressLine.h"
#include "Scanner.h"
#include "TimFormat.h"
#include "TimSummary.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct Outcome {
    int code = kExitOk;
    std::string message;
};

// The TIM the search finds starting at `target`, or the one `target` lies in.
class Finder : public ScanEvents {
public:
    Finder(const std::string& name, uint64_t target, uint64_t size) : name_(name), target_(target), size_(size) {}

    void Found(const FoundTim& tim) override {
        if (found || tim.offset > target_) return;
        if (tim.offset == target_) {
            found = true;
            this->tim = tim;
            bytes.assign(tim.data, tim.data + tim.bytes);
            // They pointed into the scanner's window and volume.
            this->tim.data = this->tim.info.clutData = this->tim.info.pixelData = nullptr;
            this->tim.isoFile = nullptr;
        } else if (target_ <= tim.map.FileOffset(tim.position + tim.bytes - 1)) {
            around = tim.offset;
            aroundBytes = tim.bytes;
        }
    }
    // What the listing says of other parts of the image is no concern here.
    void Note(const std::string&) override {}
    void Progress(uint64_t offset) override {
        if (!progress_.Due()) return;
        const uint64_t percent = size_ ? std::min<uint64_t>(100, offset * 100 / size_) : 100;
        progress_.Show(name_ + ": looking for the TIM, " + std::to_string(percent) + "%");
    }
    void ClearProgress() { progress_.Clear(); }

    bool found = false;
    FoundTim tim;
    std::vector<uint8_t> bytes;
    uint64_t around = UINT64_MAX, aroundBytes = 0;

private:
    std::string name_;
    uint64_t target_, size_;
    ProgressLine progress_;
};

std::string ClutSize(const TimImageInfo& info) {
    if (info.clutWidth == 0 && info.clutHeight == 0) return "no CLUT";
    return std::to_string(info.clutWidth) + " x " + std::to_string(info.clutHeight);
}

// The fields of NEW's layout that are not the old TIM's, as "width 32, not
// 64; ..."; empty when the layouts match.
std::string LayoutDifferences(const TimImageInfo& now, uint64_t nowBytes, const TimImageInfo& was,
                              uint64_t wasBytes) {
    std::string differences;
    const auto differ = [&](const std::string& field, const std::string& a, const std::string& b) {
        if (a == b) return;
        if (!differences.empty()) differences += "; ";
        differences += field;
        differences += " " + a + ", not " + b;
    };
    differ("format", std::to_string(TimBitsPerPixel(now.format)) + "-bit",
           std::to_string(TimBitsPerPixel(was.format)) + "-bit");
    differ("width", std::to_string(now.width), std::to_string(was.width));
    differ("height", std::to_string(now.height), std::to_string(was.height));
    differ("CLUT size", ClutSize(now), ClutSize(was));
    differ("length", std::to_string(nowBytes) + " bytes", std::to_string(wasBytes) + " bytes");
    return differences;
}

// "25-27, 30" from sorted sector numbers.
std::string SectorRanges(const std::vector<int64_t>& sectors) {
    std::string text;
    for (size_t i = 0; i < sectors.size();) {
        size_t j = i;
        while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(sectors[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(sectors[j]);
        }
        i = j + 1;
    }
    return text;
}

Outcome ReadNewTim(const std::string& path, std::vector<uint8_t>& bytes) {
    InputFile file;
    const OpenFailure failure = file.Open(path);
    if (failure != OpenFailure::None)
        return {failure == OpenFailure::NotAFile ? kExitNotAFile : kExitInputUnreadable, path + ": " + file.LastError()};
    // No TIM the search finds is longer; memory follows that, not the file.
    if (file.Size() > kMaxEmbeddedTimBytes)
        return {kExitRefused, path + ": refused: " + std::to_string(file.Size()) +
                                  " bytes, more than any TIM in the frame buffer (" +
                                  std::to_string(kMaxEmbeddedTimBytes) + ")"};
    bytes.resize(size_t(file.Size()));
    size_t got = 0;
    if (!file.ReadAt(0, bytes.data(), bytes.size(), got) || got != bytes.size())
        return {kExitInputUnreadable, path + ": " + (got != bytes.size() ? "it shrank while read" : file.LastError())};
    return {};
}

// The image opened for update; a file that can be read but not written is
// an output that cannot be written.
Outcome OpenImage(InputFile& file, const std::string& path) {
    const OpenFailure failure = file.Open(path, true);
    if (failure == OpenFailure::None) return {};
    if (failure == OpenFailure::NotAFile) return {kExitNotAFile, path + ": " + file.LastError()};
    const std::string why = file.LastError();
    if (failure == OpenFailure::Unreadable && file.Open(path) == OpenFailure::None)
        return {kExitOutputUnwritable, path + ": cannot be opened for writing: " + why};
    return {kExitInputUnreadable, path + ": " + why};
}

// A raw sector the TIM changes: read, patched and checked before anything is
// written.
struct PatchedSector {
    uint64_t fileOffset;
    int64_t number;
    std::vector<uint8_t> bytes;
};

Outcome Replace(const std::string& image, uint64_t offset, const std::string& newPath) {
    const std::string where = image + "@" + std::to_string(offset);
    const auto refuse = [&](const std::string& why) { return Outcome{kExitRefused, where + ": not replaced: " + why}; };

    std::vector<uint8_t> now;
    if (Outcome read = ReadNewTim(newPath, now); read.code != kExitOk) return read;
    TimImageInfo nowInfo{};
    const TimRefusal refusal = FindEmbeddedTimRefusal(nowInfo, now.data(), now.size());
    if (refusal.reason != TimRefusalReason::Accepted)
        return refuse(newPath + " is refused: " + TimRefusalText(refusal));

    InputFile file;
    if (Outcome opened = OpenImage(file, image); opened.code != kExitOk) return opened;
    // The region the listing of this file searches, as far as a TIM starting
    // at `offset` can reach: what the search finds up to there is what it
    // finds in the whole file, since no TIM is longer.
    Region region;
    region.end = file.Size();
    if (file.Size() <= cd::kMaxCueSheetSize) {
        std::vector<uint8_t> text(size_t(file.Size()));
        size_t got = 0;
        if (!file.ReadAt(0, text.data(), text.size(), got)) return {kExitInputUnreadable, image + ": " + file.LastError()};
        if (cd::LooksLikeCueSheet(text.data(), got))
            return {kExitBadArguments,
                    "timscan: " + image + " is a CUE sheet: --replace takes the image file its listing names"};
    }
    if (LooksLikeRawImage(file)) {
        region.layout = RegionLayout::Raw;
        region.disc = true;
    }
    if (offset >= file.Size()) return refuse("the file has " + std::to_string(file.Size()) + " bytes");
    const uint64_t reach = (offset + 2 * kMaxEmbeddedTimBytes) / cd::kRawSectorSize * cd::kRawSectorSize +
                           2 * cd::kRawSectorSize;
    region.end = std::min(region.end, reach);

    Finder finder(image, offset, region.end);
    Scanner scanner;
    std::string error;
    if (!scanner.Scan(file, region, finder, error)) return {kExitInputUnreadable, image + ": " + error};
    finder.ClearProgress();
    if (!finder.found) {
        if (finder.around != UINT64_MAX)
            return refuse("the offset is inside the TIM at " + image + "@" + std::to_string(finder.around) + " (" +
                          std::to_string(finder.aroundBytes) + " bytes), not at its start");
        return refuse("no TIM starts there (none is listed at this offset)");
    }
    const FoundTim& tim = finder.tim;
    const std::vector<uint8_t>& was = finder.bytes;
    std::string differences = LayoutDifferences(nowInfo, now.size(), tim.info, tim.bytes);
    if (differences.empty() && nowInfo.imageEnd != now.size())
        differences = "length: " + std::to_string(now.size() - nowInfo.imageEnd) + " bytes follow its TIM";
    if (!differences.empty()) return refuse(newPath + " has another layout: " + differences);
    if (now == was) return {kExitOk, where + ": " + newPath + " holds the TIM's own bytes; nothing written"};

    // Every sector the new bytes change, read and patched in memory first, so
    // that nothing is written unless all of them can be.
    const std::vector<StreamMap::Piece> pieces = tim.map.Pieces(tim.position, tim.bytes);
    std::vector<PatchedSector> sectors;
    std::vector<int64_t> numbers;
    uint64_t changedBytes = 0;
    size_t edcEcc = 0, edcOnly = 0, edcZero = 0;
    for (const StreamMap::Piece& piece : pieces) {
        const size_t at = size_t(piece.position - tim.position);
        const uint8_t* before = was.data() + at;
        const uint8_t* after = now.data() + at;
        size_t changed = 0;
        for (size_t i = 0; i < piece.size; ++i) changed += before[i] != after[i];
        if (changed == 0) continue;
        changedBytes += changed;
        if (tim.map.sectors) numbers.push_back(piece.sector);
        PatchedSector sector{piece.fileOffset, piece.sector, {}};
        if (!tim.map.raw) {
            sector.bytes.assign(after, after + piece.size);
            sectors.push_back(std::move(sector));
            continue;
        }
        sector.fileOffset = piece.sectorOffset;
        sector.bytes.resize(cd::kRawSectorSize);
        size_t got = 0;
        if (!file.ReadAt(piece.sectorOffset, sector.bytes.data(), cd::kRawSectorSize, got))
            return {kExitInputUnreadable, image + ": read error at offset " + std::to_string(piece.sectorOffset) +
                                              ": " + file.LastError()};
        uint8_t* user = sector.bytes.data() + tim.map.userOffset + piece.withinSector;
        const cd::SectorLayout layout = cd::ClassifySector(sector.bytes.data(), got);
        if (got != cd::kRawSectorSize || layout.userOffset != tim.map.userOffset ||
            layout.userSize != tim.map.userSize || std::memcmp(user, before, piece.size) != 0)
            return refuse("sector " + std::to_string(piece.sector) + " changed while it was read");
        const bool edcWasZero = layout.kind == cd::SectorKind::Mode2Form2 &&
                                std::all_of(sector.bytes.end() - 4, sector.bytes.end(), [](uint8_t b) { return b == 0; });
        std::memcpy(user, after, piece.size);
        cd::UpdateSectorChecks(sector.bytes.data());
        (layout.kind != cd::SectorKind::Mode2Form2 ? edcEcc : edcWasZero ? edcZero : edcOnly) += 1;
        sectors.push_back(std::move(sector));
    }

    for (const PatchedSector& sector : sectors)
        if (!file.WriteAt(sector.fileOffset, sector.bytes.data(), sector.bytes.size()))
            return {kExitOutputUnwritable, image + ": write error at offset " + std::to_string(sector.fileOffset) +
                                               " (" + where + " is partly replaced): " + file.LastError()};
    if (!file.Flush())
        return {kExitOutputUnwritable, image + ": the replaced bytes may not have reached the disk: " + file.LastError()};

    std::string line = where + ": replaced " + std::to_string(tim.bytes) + " bytes (" + std::to_string(changedBytes) +
                       " changed)";
    if (tim.map.sectors) {
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        line += std::string(numbers.size() == 1 ? " in sector " : " in sectors ") + SectorRanges(numbers) + " (" +
                std::to_string(numbers.size()) + (numbers.size() == 1 ? " sector" : " sectors");
        if (edcEcc) line += ", EDC/ECC recomputed";
        if (edcOnly) line += ", EDC recomputed";
        if (edcOnly && edcZero) line += " in " + std::to_string(edcOnly);
        if (edcZero) line += edcOnly ? ", zero EDC left in " + std::to_string(edcZero) : ", zero EDC left zero";
        line += ")";
    }
    return {kExitOk, line};
}

}  // namespace

int ReplaceTim(const std::string& image, uint64_t offset, const std::string& newTim) {
    const Outcome outcome = Replace(image, offset, newTim);
    WriteLine(outcome.code == kExitOk ? Stream::Out : Stream::Err, outcome.message);
    return outcome.code;
}
