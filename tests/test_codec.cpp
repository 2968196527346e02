// Sample codec: exact round trips, the worked byte figures, wrap-around outside the
// width, the complements left in the arrays, and not one byte written too many.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/audio.h"

using Bytes = std::vector<uint8_t>;

TEST(Codec, Every16BitValueRoundTripsOnThe24BitScale)
{
    for (int v = -32768; v <= 32767; v++) {
        uint8_t in[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(~v), uint8_t(~v >> 8)};
        int32_t left, right, mono;
        CHAR_TO_NUM32_STEREO(in, &left, &right, 2, 1);
        CHAR_TO_NUM32(in, &mono, 2, 1);
        ASSERT_TRUE(left == v * 256 && mono == v * 256 && right == ~v * 256) << v;
        uint8_t out[4];
        left /= 256, right /= 256;
        NUM16STER_TO_CHAR(&left, &right, out, 1);
        ASSERT_EQ(0, memcmp(in, out, 4)) << v;
    }
    for (int64_t v = -8388608; v <= 8388607; v += 977) {
        uint8_t in[3] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)}, out[3];
        int32_t s;
        CHAR_TO_NUM32(in, &s, 3, 1);
        ASSERT_EQ(s, v);
        NUM24MONO_TO_CHAR(&s, out, 1);
        ASSERT_EQ(0, memcmp(in, out, 3)) << v;
    }
}

TEST(Codec, WorkedFiguresWrapAroundAndComplements)
{
    struct Decode { Bytes bytes; int32_t value; };
    for (const Decode& d : std::vector<Decode>{
             {{0x34, 0x12}, 1192960}, {{0xCC, 0xED}, -1192960}, {{0xFF, 0x7F}, 8388352}, {{0x00, 0x80}, -8388608},
             {{0xFF, 0xFF}, -256}, {{0x80, 0x00}, 32768}, {{0x56, 0x34, 0x12}, 1193046},
             {{0xAA, 0xCB, 0xED}, -1193046}, {{0x00, 0x00, 0x80}, -8388608}, {{0x80, 0xFF, 0x00}, 65408}}) {
        int32_t s = 12345;
        CHAR_TO_NUM32(d.bytes.data(), &s, (int32_t)d.bytes.size(), 1);
        EXPECT_EQ(s, d.value);
    }
    // Value to encode, bytes written, what the array holds afterwards.
    struct Encode { int32_t value; Bytes bytes; int32_t left; };
    for (const Encode& e : std::vector<Encode>{
             {-4660, {0xCC, 0xED}, 4659}, {-1, {0xFF, 0xFF}, 0}, {-32768, {0x00, 0x80}, 32767},
             {32768, {0x00, 0x80}, 32768}, {70000, {0x70, 0x11}, 70000}, {-40000, {0xC0, 0x63}, 39999},
             {-1193046, {0xAA, 0xCB, 0xED}, 1193045}, {-8388608, {0x00, 0x00, 0x80}, 8388607},
             {9000000, {0x40, 0x54, 0x89}, 9000000}, {-1, {0xFF, 0xFF, 0xFF}, 0}}) {
        int32_t s = e.value;
        uint8_t out[4] = {0xAB, 0xAB, 0xAB, 0xAB};
        e.bytes.size() == 2 ? NUM16MONO_TO_CHAR(&s, out, 1) : NUM24MONO_TO_CHAR(&s, out, 1);
        EXPECT_EQ(Bytes(out, out + e.bytes.size() + 1), [&] { Bytes b = e.bytes; b.push_back(0xAB); return b; }())
            << e.value;
        EXPECT_EQ(s, e.left);
    }
}

TEST(Codec, StereoFramesInterleaveAndNothingElseIsTouched)
{
    int32_t left[2] = {1193046, 0}, right[2] = {-1193046, 0};
    uint8_t out[13];
    memset(out, 0xAB, sizeof out);
    NUM24STER_TO_CHAR(left, right, out, 2);
    EXPECT_EQ(Bytes(out, out + 13), (Bytes{0x56, 0x34, 0x12, 0xAA, 0xCB, 0xED, 0, 0, 0, 0, 0, 0, 0xAB}));
    // Counts of zero or less, and widths other than 2 and 3 bytes, touch nothing.
    int32_t a = -9, b = -9;
    NUM24STER_TO_CHAR(&a, &b, out, -5);
    CHAR_TO_NUM32_STEREO(out, &a, &b, 3, 0);
    CHAR_TO_NUM32_STEREO(out, &a, &b, 4, 1);
    CHAR_TO_NUM32(out, &a, 1, 1);
    EXPECT_EQ(a + b, -18);
    EXPECT_EQ(out[0], 0x56);
}
