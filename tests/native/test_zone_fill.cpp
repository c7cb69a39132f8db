// The zone's fill loop against the plain rule out = image * mask on every
// channel, wrapped to 8 bits, for packed and strided windows and masks
// whose runs start and end anywhere around the eight-byte steps.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "zone_fill.h"

namespace {

struct Frame {
    // An image of rows x cols x 3 inside a larger buffer: `pitch` bytes a
    // row, `step` bytes a pixel, `chan` bytes a channel.
    std::vector<uint8_t> bytes;
    ptrdiff_t pitch, step, chan;
    uint8_t& at(ptrdiff_t r, ptrdiff_t c, int ch) { return bytes[r * pitch + c * step + ch * chan]; }
};

Frame make_image(ptrdiff_t rows, ptrdiff_t cols, bool packed, std::mt19937& rng) {
    Frame f;
    // Strided: pixels 4 bytes apart with the channels reversed (a view
    // such as image[:, :, ::-1] of a 4-channel frame).
    f.step = packed ? 3 : 4;
    f.chan = packed ? 1 : -1;
    f.pitch = cols * f.step + (packed ? 0 : 5);
    f.bytes.resize(rows * f.pitch + 8);
    for (auto& b : f.bytes) b = (uint8_t)rng();
    return f;
}

void check(ptrdiff_t rows, ptrdiff_t cols, bool packed, const std::vector<uint8_t>& mask_values,
           std::mt19937& rng) {
    Frame im = make_image(rows, cols, packed, rng);
    const ptrdiff_t ms1 = packed ? 1 : 2, ms0 = cols * ms1 + (packed ? 0 : 3);
    std::vector<uint8_t> mask(rows * ms0 + 1, 7);
    // Runs of random values and lengths 1 to 20, so that they begin and end
    // at every offset of an eight-byte step.
    for (ptrdiff_t r = 0; r < rows; ++r) {
        for (ptrdiff_t c = 0; c < cols;) {
            const uint8_t v = mask_values[rng() % mask_values.size()];
            for (ptrdiff_t n = 1 + rng() % 20; n > 0 && c < cols; --n, ++c) mask[r * ms0 + c * ms1] = v;
        }
    }
    std::vector<uint8_t> out(rows * cols * 3 + 1, 0xAB);
    // The first pixel of the strided image is its last channel byte, since
    // the channels run backwards.
    const uint8_t* first = packed ? im.bytes.data() : im.bytes.data() + 2;
    geo::FillWindow w{first, im.pitch, im.step, im.chan, mask.data(), ms0, ms1,
                      out.data(), rows, cols};
    geo::fill_masked(w);
    for (ptrdiff_t r = 0; r < rows; ++r)
        for (ptrdiff_t c = 0; c < cols; ++c)
            for (int ch = 0; ch < 3; ++ch) {
                const uint8_t px = packed ? im.at(r, c, ch) : im.bytes[r * im.pitch + c * im.step + 2 - ch];
                const uint8_t want = (uint8_t)(px * mask[r * ms0 + c * ms1]);
                ASSERT_EQ(out[(r * cols + c) * 3 + ch], want)
                    << "row " << r << " col " << c << " channel " << ch;
            }
    EXPECT_EQ(out[rows * cols * 3], 0xAB);  // nothing written past the window
}

TEST(ZoneFill, PackedWindowsOfZerosAndOnes) {
    std::mt19937 rng(1);
    for (ptrdiff_t cols : {1, 7, 8, 9, 17, 64, 131}) check(5, cols, true, {0, 1}, rng);
}

TEST(ZoneFill, OtherMaskValuesMultiplyAndWrap) {
    std::mt19937 rng(2);
    for (ptrdiff_t cols : {3, 16, 45}) check(4, cols, true, {0, 1, 2, 255}, rng);
}

TEST(ZoneFill, StridedWindowsTakeTheGeneralLoop) {
    std::mt19937 rng(3);
    for (ptrdiff_t cols : {1, 9, 40}) check(6, cols, false, {0, 1, 3}, rng);
}

TEST(ZoneFill, EmptyWindowsWriteNothing) {
    std::mt19937 rng(4);
    check(0, 10, true, {1}, rng);
    check(3, 0, true, {1}, rng);
}

}  // namespace
