// Writes the sample TIM files into the folder given, normally samples/:
//   cmake --build build/native --target samples
#include "SampleTims.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: make_samples FOLDER\n");
        return 2;
    }
    for (const auto& sample : samples::AllSamples()) {
        const std::string path = std::string(argv[1]) + "/" + sample.name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(sample.bytes.data()), std::streamsize(sample.bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "make_samples: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s: %zu bytes, %s\n", path.c_str(), sample.bytes.size(), sample.summary.c_str());
    }
    return 0;
}
