// TimReader, driven as each client drives it, against FindTimRefusal on the
// whole file: over every sample, fuzz seed and past crash, and the hostile
// set, in pieces of 1, 7 and 4096 bytes and whole, skipping by seeking and by
// feeding, with and without the input's size. And its memory under lengths
// that claim far more than the file holds.
#include "HostileFiles.h"
#include "TimDecode.h"
#include "TimReader.h"
#include "TimRoadCheck.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace timtest;

namespace {

std::vector<std::pair<std::string, Bytes>> FilesIn(const std::string& dir) {
    std::vector<std::pair<std::string, Bytes>> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() < 5 || name.compare(name.size() - 4, 4, ".tim") != 0) continue;
            Bytes bytes;
            if (FILE* f = std::fopen((dir + "/" + name).c_str(), "rb")) {
                int c;
                while ((c = std::fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
                std::fclose(f);
            }
            files.emplace_back(dir + "/" + name, std::move(bytes));
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(TimReader, EveryDriveGivesTheWholeFilesVerdictRecordAndPixels) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const char* dir : {TIM_SAMPLES_DIR, TIM_FUZZ_DIR "/corpus", TIM_FUZZ_DIR "/regressions"}) {
        auto more = FilesIn(dir);
        files.insert(files.end(), more.begin(), more.end());
    }
    const size_t named = files.size();
    ASSERT_GE(named, 40u) << "samples or fuzz seeds missing";
    // A CLUT block of nothing but its header: the whole-file walk wants a byte
    // after it before it looks at the block's sides, whose 40000 are too
    // many. Every length from 20 bytes on, the image header's included.
    for (uint16_t side : {uint16_t(0), uint16_t(40000)}) {
        Bytes file;
        PutU32(file, 16);
        PutU32(file, 8);
        AppendBlock(file, Block{side, 0, {}, 12});
        AppendBlock(file, Block{1, 1, {1, 2}});
        for (size_t size = 20; size <= file.size(); ++size)
            files.emplace_back("CLUT of header only, side " + std::to_string(side) + ", cut to " + std::to_string(size),
                               Bytes(file.begin(), file.begin() + ptrdiff_t(size)));
    }
    for (const HostileGroup& group : MakeHostileSet().groups)
        for (size_t i = 0; i < group.files.size(); ++i)
            files.emplace_back(group.name + ", file " + std::to_string(i), group.files[i]);

    std::vector<TimReaderDrive> drives;
    for (size_t piece : {size_t(1), size_t(7), size_t(4096), SIZE_MAX})
        for (bool seek : {false, true})
            for (bool sizeKnown : {false, true}) drives.push_back({piece, seek, sizeKnown, 0, false, false});
    // In place, as a loader handed whole files or pieces: drawn from the
    // piece the reader ended in, or from a copy when the file went on.
    for (size_t piece : {size_t(7), size_t(4096), SIZE_MAX}) drives.push_back({piece, false, false, 0, false, true});
    // Another palette, and headers only: by seeking, as their clients read.
    for (bool sizeKnown : {false, true}) {
        drives.push_back({7, true, sizeKnown, 1, false, false});
        drives.push_back({4096, true, sizeKnown, 0, true, false});
    }

    size_t accepted = 0, faults = 0;
    for (const auto& [name, bytes] : files) {
        TimImageInfo info{};
        accepted += FindTimRefusal(info, bytes.data(), bytes.size()).reason == TimRefusalReason::Accepted;
        for (const TimReaderDrive& drive : drives) {
            const std::string fault = CheckTimReader(bytes.data(), bytes.size(), drive);
            if (!fault.empty() && ++faults <= 20)
                ADD_FAILURE() << name << " (" << bytes.size() << " bytes), pieces of " << drive.piece
                              << (drive.seek ? ", seeking" : ", feeding skips")
                              << (drive.sizeKnown ? ", size known" : "") << ", palette " << drive.palette
                              << (drive.headerOnly ? ", headers only" : "") << (drive.inPlace ? ", in place" : "")
                              << ": " << fault;
        }
    }
    std::printf("[reader] %zu files (%zu named, %zu accepted), %zu drives each\n", files.size(), named, accepted,
                drives.size());
    EXPECT_EQ(faults, 0u);
    // The sweep reaches accepted files, whose records and pixels are compared.
    EXPECT_GE(accepted, 1000u);
}

namespace {

// A file of `size` bytes that exists only as its few non-zero parts: the
// reader is driven over it by seeking, and what it asks to read is counted.
struct SparseFile {
    std::vector<std::pair<uint64_t, Bytes>> parts;  // offset, bytes; all others are zero
    uint64_t size;
};

struct SparseRun {
    TimRefusal refusal;
    uint64_t bytesRead = 0;
    size_t stored = 0;
    uint64_t imageEnd = 0;
    std::vector<uint32_t> pixels;  // DecodeTimPixels of the record, when drawn
};

// The rows' memory from a client's own allocator, as the codec DLL gives its
// process heap: every block counted back, the largest kept, and none given
// while `refuse` is set.
struct CountedHeap {
    static inline size_t live = 0, largest = 0;
    static inline bool refuse = false;
    static void* Allocate(size_t bytes) {
        if (refuse) return nullptr;
        ++live;
        largest = std::max(largest, bytes);
        return ::operator new(bytes);
    }
    static void Release(void* block) {
        --live;
        ::operator delete(block);
    }
};

SparseRun ReadSparse(const SparseFile& file, bool sizeKnown) {
    TimReadOptions options;
    if (sizeKnown) options.inputSize = file.size;
    options.allocate = CountedHeap::Allocate;
    options.release = CountedHeap::Release;
    TimReader reader(options);
    SparseRun run;
    uint64_t at = 0;
    while (reader.Next().action == TimReadAction::Read || reader.Next().action == TimReadAction::Skip) {
        const TimReadStep step = reader.Next();
        if (at == file.size) {
            reader.EndOfInput();
            continue;
        }
        const uint64_t count = std::min(step.count, file.size - at);
        if (step.action == TimReadAction::Skip) {
            reader.Skipped(count);
            at += count;
            continue;
        }
        Bytes piece(size_t(std::min<uint64_t>(count, 65536)), 0);
        for (const auto& [offset, bytes] : file.parts)
            for (size_t i = 0; i < piece.size(); ++i)
                if (at + i >= offset && at + i < offset + bytes.size()) piece[i] = bytes[size_t(at + i - offset)];
        at += reader.Feed(piece.data(), piece.size());
        run.bytesRead += piece.size();
    }
    run.refusal = reader.Refusal();
    run.stored = reader.StoredBytes();
    run.imageEnd = reader.ImageEnd();
    if (reader.Next().action == TimReadAction::Done && reader.DrawRefusal().reason == TimRefusalReason::Accepted) {
        const TimImageInfo& info = reader.Record();
        run.pixels.resize(size_t(info.width) * info.height);
        DecodeTimPixels(info, run.pixels.data());
    }
    return run;
}

std::vector<uint32_t> WholeFilePixels(const Bytes& file) {
    TimImageInfo info{};
    EXPECT_EQ(FindTimRefusal(info, file.data(), file.size()).reason, TimRefusalReason::Accepted);
    std::vector<uint32_t> pixels(size_t(info.width) * info.height);
    DecodeTimPixels(info, pixels.data());
    return pixels;
}

}  // namespace

// Lengths that claim hundreds of megabytes are walked past, never stored: a
// 1 x 1 16-bit image whose block claims 256 MiB, an 8-bit one behind a CLUT
// block of 512 MiB, and the same files cut short, refused as the whole-file
// walk refuses them. The pixels are those of the same files without slack.
TEST(TimReader, ClaimedLengthsAreSkippedNotStored) {
    constexpr uint64_t kMiB = uint64_t(1) << 20;
    const Block image16{1, 1, Colours({0x7C1F})};
    const Bytes head16 = MakeTim(2, std::nullopt, Block{1, 1, Colours({0x7C1F}), uint32_t(256 * kMiB)});
    const Block clut{256, 1, Noise(512, 5)}, image8{1, 1, {3, 200}};
    Bytes head8;
    PutU32(head8, 16);
    PutU32(head8, 1 | 8);
    AppendBlock(head8, Block{256, 1, Noise(512, 5), uint32_t(512 * kMiB)});
    Bytes imageBlock8;
    AppendBlock(imageBlock8, image8);
    const SparseFile big16{{{0, head16}}, 8 + 256 * kMiB};
    const SparseFile big8{{{0, head8}, {8 + 512 * kMiB, imageBlock8}}, 8 + 512 * kMiB + 14};
    const struct {
        const char* what;
        SparseFile file;
        uint64_t cut;  // bytes taken off the end
        TimRefusalReason reason;
        Bytes compact;  // the same image without slack
        bool noMemory = false;  // the allocator gives nothing
    } cases[] = {
        {"16-bit, image block of 256 MiB", big16, 0, TimRefusalReason::Accepted, MakeTim(2, std::nullopt, image16)},
        {"the same, a byte short", big16, 1, TimRefusalReason::FirstBlockPastEnd, {}},
        {"the same, no memory for its rows", big16, 0, TimRefusalReason::NoMemory, {}, true},
        {"8-bit, CLUT block of 512 MiB", big8, 0, TimRefusalReason::Accepted, MakeTim(1, clut, image8)},
        {"the same, cut in the image header", big8, 3, TimRefusalReason::BlocksPastEnd, {}},
        {"the same, cut in the CLUT block", big8, 15, TimRefusalReason::FirstBlockPastEnd, {}},
    };
    for (const auto& c : cases) {
        SparseFile file = c.file;
        file.size -= c.cut;
        for (bool sizeKnown : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (sizeKnown ? ", size known" : ""));
            CountedHeap::largest = 0;
            CountedHeap::refuse = c.noMemory;
            const SparseRun run = ReadSparse(file, sizeKnown);
            CountedHeap::refuse = false;
            EXPECT_EQ(run.refusal.reason, c.reason);
            EXPECT_EQ(CountedHeap::live, 0u) << "the rows go back to the allocator they came from";
            EXPECT_LE(CountedHeap::largest, 2u) << "the rows of one 16-bit or two 8-bit pixels";
            EXPECT_LE(run.bytesRead, 20u + 512 + 12 + 2) << "only the headers, one palette and the rows are read";
            EXPECT_LE(run.stored, 544u + 4 * 2);
            if (c.reason == TimRefusalReason::Accepted) {
                EXPECT_EQ(run.pixels, WholeFilePixels(c.compact));
                EXPECT_EQ(CountedHeap::largest, 2u) << "the rows came from the client's allocator";
                EXPECT_EQ(run.imageEnd, file.size) << "the image block ends with the file";
            }
        }
    }
}
