#pragma once
// Two images of the same size with the same pixels, or the first pixel that
// differs: what the Qt-side client tests compare against the handler where
// there is no expected picture (fuzz seeds, hostile files, larger images);
// and a sample's picture through the conformance driver.
#include "Conformance.h"

#include <QImage>

#include <gtest/gtest.h>

#include <string_view>

inline ::testing::AssertionResult SamePixels(const QImage& got, const QImage& expected) {
    if (got.size() != expected.size())
        return ::testing::AssertionFailure() << "got " << got.width() << " x " << got.height() << ", expected "
                                             << expected.width() << " x " << expected.height();
    for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x)
            if (got.pixel(x, y) != expected.pixel(x, y))
                return ::testing::AssertionFailure() << "pixel " << x << ", " << y << " is " << std::hex
                                                     << got.pixel(x, y) << ", expected " << expected.pixel(x, y);
    return ::testing::AssertionSuccess();
}

// `image` against sample `name`'s expected picture. Qt's ARGB32 formats hold
// 0xAARRGGBB words: B, G, R, A in memory on the little-endian machines these
// tests run on. Other formats are compared as Qt converts them to ARGB32;
// the tests that care check the format itself.
inline ::testing::AssertionResult MatchesSample(std::string_view name, const QImage& image) {
    using tim_conformance::PixelLayout;
    const bool premultiplied = image.format() == QImage::Format_ARGB32_Premultiplied;
    const QImage argb = premultiplied || image.format() == QImage::Format_ARGB32
                            ? image
                            : image.convertToFormat(QImage::Format_ARGB32);
    return tim_conformance::MatchesSample(
        name, {uint32_t(argb.width()), uint32_t(argb.height()), argb.constBits(),
               size_t(argb.bytesPerLine()) * size_t(argb.height()), size_t(argb.bytesPerLine()),
               tim_conformance::RowOrder::TopDown,
               premultiplied ? PixelLayout::PremultipliedBgra : PixelLayout::StraightBgra});
}
