#include "BoxFilter.h"

#include <algorithm>

PixelSize FitInBox(PixelSize image, uint32_t box) {
    if (image.width <= box && image.height <= box) return image;
    const uint64_t longer = std::max(image.width, image.height);
    const auto scaled = [&](uint32_t side) {
        const uint64_t s = (uint64_t(side) * box + longer / 2) / longer;
        return uint32_t(std::max<uint64_t>(s, 1));
    };
    return {scaled(image.width), scaled(image.height)};
}

namespace {

// Source pixel i covers [i * to, (i + 1) * to) and output pixel o covers
// [o * from, (o + 1) * from) on a line of from * to units. As to <= from, a
// source pixel meets at most two output pixels: `first` with `firstShare`
// units and first + 1 with the rest of its `to` units. `completes`: it
// reaches the end of `first`.
struct Split {
    uint32_t first;
    uint32_t firstShare;
    bool completes;
};

std::vector<Split> Splits(uint32_t from, uint32_t to) {
    std::vector<Split> splits(from);
    for (uint32_t i = 0; i < from; ++i) {
        const uint64_t start = uint64_t(i) * to;
        const uint32_t first = uint32_t(start / from);
        const uint64_t boundary = uint64_t(first + 1) * from;
        splits[i] = {first, uint32_t(std::min<uint64_t>(boundary - start, to)), start + to >= boundary};
    }
    return splits;
}

}  // namespace

std::vector<uint32_t> ShrinkPremultiplied(const uint32_t* pixels, PixelSize from, PixelSize to) {
    const std::vector<Split> columns = Splits(from.width, to.width);
    const std::vector<Split> rows = Splits(from.height, to.height);
    // Per source row, each output column's channel sums weighted by column
    // shares (at most 255 * from.width); per output row, those weighted again
    // by row shares, up to 255 * from.width * from.height: 64 bits.
    std::vector<uint32_t> rowSums(size_t(to.width) * 4);
    std::vector<uint64_t> sums(size_t(to.width) * 4);
    std::vector<uint32_t> out(size_t(to.width) * to.height);
    const uint64_t total = uint64_t(from.width) * from.height;
    uint32_t outRow = 0;

    const auto emitRow = [&] {
        uint32_t* dst = out.data() + size_t(outRow) * to.width;
        for (uint32_t o = 0; o < to.width; ++o) {
            uint32_t pixel = 0;
            for (int c = 0; c < 4; ++c) pixel |= uint32_t((sums[4 * o + c] + total / 2) / total) << (8 * c);
            dst[o] = pixel;
        }
        std::fill(sums.begin(), sums.end(), 0);
        ++outRow;
    };

    for (uint32_t y = 0; y < from.height; ++y) {
        std::fill(rowSums.begin(), rowSums.end(), 0);
        const uint32_t* src = pixels + size_t(y) * from.width;
        for (uint32_t x = 0; x < from.width; ++x) {
            const uint32_t p = src[x];
            if (p == 0) continue;
            const Split s = columns[x];
            const uint32_t rest = to.width - s.firstShare;
            for (int c = 0; c < 4; ++c) {
                const uint32_t v = (p >> (8 * c)) & 0xFF;
                rowSums[4 * s.first + c] += v * s.firstShare;
                if (rest) rowSums[4 * (s.first + 1) + c] += v * rest;
            }
        }
        const Split r = rows[y];
        for (size_t k = 0; k < rowSums.size(); ++k) sums[k] += uint64_t(rowSums[k]) * r.firstShare;
        if (!r.completes) continue;
        emitRow();  // the last source row always completes the last output row
        const uint32_t rest = to.height - r.firstShare;
        if (rest == 0) continue;
        for (size_t k = 0; k < rowSums.size(); ++k) sums[k] += uint64_t(rowSums[k]) * rest;
    }
    return out;
}
