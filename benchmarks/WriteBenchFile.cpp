// Writes one of the benchmark's TIM files, for the benchmarks that time whole
// processes reading it from disk:
//   tim_bench_file MODE WIDTH HEIGHT PATH    (MODE 0 to 3: 4-, 8-, 16-, 24-bit)
#include "BenchData.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 5 || argv[1][0] < '0' || argv[1][0] > '3' || argv[1][1] != '\0') {
        std::fprintf(stderr, "Usage: tim_bench_file MODE WIDTH HEIGHT PATH\n");
        return 2;
    }
    const timbench::Case c = timbench::MakeCase(uint32_t(argv[1][0] - '0'), uint16_t(std::atoi(argv[2])),
                                                uint16_t(std::atoi(argv[3])));
    FILE* f = std::fopen(argv[4], "wb");
    const bool written = f && std::fwrite(c.file.data(), 1, c.file.size(), f) == c.file.size();
    if (!f || std::fclose(f) != 0 || !written) {
        std::fprintf(stderr, "tim_bench_file: cannot write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
