#pragma once
// Two images of the same size with the same pixels, or the first pixel that
// differs: what every Qt-side client test compares against the handler.
#include <QImage>

#include <gtest/gtest.h>

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
