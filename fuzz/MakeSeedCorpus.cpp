// Writes the fuzzer's seed corpus: small TIM files of every pixel format and
// CLUT shape, and files each broken in one way. Names start with "valid-" for
// files the handler must draw and "invalid-" for files it must refuse; the
// replay test holds them to that.
//
//   tim_make_seed_corpus DIR           write the seeds into DIR
//   tim_make_seed_corpus --check DIR   exit 1 unless DIR holds exactly these seeds
#include "TimBuilder.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace timtest;

namespace {

// A CLUT of n entries with transparent 0, opaque black 0x8000 and noise.
Bytes Clut(size_t n, uint32_t seed) {
    Bytes v = Noise(2 * n, seed);
    if (n > 0) v[0] = v[1] = 0;
    if (n > 1) v[2] = 0, v[3] = 0x80;
    return v;
}

Bytes Header(uint32_t identifier, uint32_t flags) {
    Bytes v;
    PutU32(v, identifier);
    PutU32(v, flags);
    return v;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Prefix(const Bytes& v, size_t n) {
    return Bytes(v.begin(), v.begin() + n);
}

// `file` with its identifier and flags replaced.
Bytes WithHeader(uint32_t identifier, uint32_t flags, const Bytes& file) {
    return Concat(Header(identifier, flags), Bytes(file.begin() + 8, file.end()));
}

using Seed = std::pair<std::string, Bytes>;

std::vector<Seed> Seeds() {
    std::vector<Seed> s;
    const auto none = std::nullopt;
    // Accepted files, each pixel format with and without a CLUT.
    s.push_back({"valid-4bit-no-clut.tim", MakeTim(0, none, Block{2, 3, Noise(12, 1)})});
    s.push_back({"valid-4bit-clut16.tim", MakeTim(0, Block{16, 1, Clut(16, 2)}, Block{3, 4, Noise(24, 3)})});
    s.push_back({"valid-4bit-two-palettes.tim", MakeTim(0, Block{16, 2, Clut(32, 4)}, Block{1, 2, Noise(4, 5)})});
    s.push_back({"valid-4bit-short-clut.tim", MakeTim(0, Block{5, 1, Clut(5, 6)}, Block{2, 2, Noise(8, 7)})});
    s.push_back({"valid-8bit-no-clut.tim", MakeTim(1, none, Block{3, 3, Noise(18, 8)})});
    s.push_back({"valid-8bit-clut256.tim", MakeTim(1, Block{256, 1, Clut(256, 9)}, Block{4, 4, Noise(32, 10)})});
    s.push_back({"valid-8bit-short-clut.tim", MakeTim(1, Block{17, 1, Clut(17, 11)}, Block{2, 2, Noise(8, 12)})});
    s.push_back({"valid-8bit-clut-as-rows.tim", MakeTim(1, Block{16, 16, Clut(256, 13)}, Block{2, 1, Noise(4, 14)})});
    s.push_back({"valid-16bit.tim", MakeTim(2, none, Block{5, 3, Concat(Colours({0, 0x8000, 0x7FFF}), Noise(24, 15))})});
    s.push_back({"valid-16bit-skipped-clut.tim", MakeTim(2, Block{16, 1, Clut(16, 16)}, Block{2, 2, Noise(8, 17)})});
    s.push_back({"valid-24bit-row-tail.tim", MakeTim(3, none, Block{5, 3, Noise(30, 18)})});
    s.push_back({"valid-24bit-exact-rows.tim", MakeTim(3, none, Block{3, 2, Noise(12, 19)})});
    s.push_back({"valid-24bit-with-clut.tim", MakeTim(3, Block{3, 1, Clut(3, 20)}, Block{6, 2, Noise(24, 21)})});
    // Header corner cases the parser still accepts.
    s.push_back({"valid-empty-image.tim", MakeTim(2, none, Block{0, 0})});
    s.push_back({"valid-16bit-w32768-h0.tim", MakeTim(2, none, Block{32768, 0})});
    s.push_back({"valid-4bit-w16383-h0.tim", MakeTim(0, none, Block{16383, 0})});
    s.push_back({"valid-image-length-zero.tim",
                 MakeTim(1, Block{256, 1, Clut(256, 22)}, Block{2, 2, Noise(8, 23), 0})});
    s.push_back({"valid-image-length-12.tim", MakeTim(0, Block{16, 1, Clut(16, 24)}, Block{1, 3, Noise(6, 25), 12})});
    s.push_back({"valid-long-clut-block.tim",
                 MakeTim(0, Block{16, 1, Concat(Clut(16, 26), Noise(10, 27))}, Block{1, 1, Noise(2, 28)})});
    s.push_back({"valid-trailing-bytes.tim", Concat(MakeTim(2, none, Block{2, 2, Noise(8, 29)}), Noise(16, 30))});

    // Refused files, each broken in one way.
    const Bytes small16 = MakeTim(2, none, Block{1, 1, Colours({0x7FFF})});
    s.push_back({"invalid-empty.tim", {}});
    s.push_back({"invalid-11-bytes.tim", Prefix(small16, 11)});
    s.push_back({"invalid-19-bytes.tim", Prefix(MakeTim(2, none, Block{0, 0}), 19)});
    s.push_back({"invalid-identifier.tim", WithHeader(17, 2, small16)});
    s.push_back({"invalid-flags-16.tim", WithHeader(16, 16, small16)});
    s.push_back({"invalid-mode4-with-clut.tim",
                 WithHeader(16, 12, MakeTim(0, Block{16, 1, Clut(16, 31)}, Block{1, 1}))});
    s.push_back({"invalid-first-length-past-end.tim", MakeTim(2, none, Block{1, 1, Noise(2, 32), 15})});
    s.push_back({"invalid-clut-length-short.tim", MakeTim(0, Block{16, 1, Clut(16, 33), 43}, Block{1, 1})});
    // The CLUT block ends exactly at the end of the file: no image header.
    s.push_back({"invalid-clut-to-end.tim", Prefix(MakeTim(1, Block{4, 1, Clut(4, 34)}, Block{1, 1}), 28)});
    s.push_back({"invalid-clut-w32769.tim", MakeTim(0, Block{32769, 0, {}, 12}, Block{1, 1})});
    s.push_back({"invalid-image-h32769.tim", MakeTim(2, none, Block{0, 32769, {}, 12})});
    // Length fields of 12 pass the signature check; the rows are a byte short.
    s.push_back({"invalid-image-truncated.tim", MakeTim(2, none, Block{2, 2, Noise(7, 35), 12})});
    s.push_back({"invalid-image-truncated-after-clut.tim",
                 MakeTim(0, Block{16, 1, Clut(16, 36)}, Block{2, 2, Noise(7, 37), 12})});
    s.push_back({"invalid-4bit-width-65536.tim", MakeTim(0, none, Block{16384, 0})});
    s.push_back({"invalid-8bit-width-65536.tim", MakeTim(1, none, Block{32768, 0})});
    s.push_back({"invalid-png-file.tim", Concat({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, Noise(32, 38))});
    return s;
}

bool ReadFile(const std::string& path, Bytes& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

int Write(const std::string& dir, const std::vector<Seed>& seeds) {
    for (const auto& [name, bytes] : seeds) {
        const std::string path = dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::printf("wrote %zu seed files to %s\n", seeds.size(), dir.c_str());
    return 0;
}

int Check(const std::string& dir, const std::vector<Seed>& seeds) {
    int faults = 0;
    std::set<std::string> expected;
    for (const auto& [name, bytes] : seeds) {
        expected.insert(name);
        Bytes onDisk;
        if (!ReadFile(dir + "/" + name, onDisk)) {
            std::printf("missing: %s\n", name.c_str());
            ++faults;
        } else if (onDisk != bytes) {
            std::printf("differs: %s\n", name.c_str());
            ++faults;
        }
    }
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' && !expected.count(e->d_name)) {
                std::printf("not generated: %s\n", e->d_name);
                ++faults;
            }
        }
        closedir(d);
    }
    std::printf("%zu seeds checked against %s: %d differences\n", seeds.size(), dir.c_str(), faults);
    return faults ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && argv[1][0] != '-') return Write(argv[1], Seeds());
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return Check(argv[2], Seeds());
    std::fprintf(stderr, "usage: %s DIR | --check DIR\n", argv[0]);
    return 2;
}
