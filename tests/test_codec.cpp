// Sample codec and byte routines: exact round trips, the worked byte figures, wrap
// around outside the width, and exactly the bytes of the frames written.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/audio.h"

TEST(Codec, Every16BitValueDecodesOnThe24BitScaleAndEncodesBack)
{
    for (int v = -32768; v <= 32767; v++) {
        uint8_t in[4] = {uint8_t(v & 0xFF), uint8_t((v >> 8) & 0xFF), uint8_t(~v & 0xFF), uint8_t((~v >> 8) & 0xFF)};
        int32_t left, right, mono;
        CHAR_TO_NUM32_STEREO(in, &left, &right, 2, 1);
        CHAR_TO_NUM32(in, &mono, 2, 1);
        ASSERT_EQ(left, v * 256);
        ASSERT_EQ(mono, v * 256);
        ASSERT_EQ(right, ~v * 256);
        uint8_t out[4];
        left /= 256, right /= 256;
        NUM16STER_TO_CHAR(&left, &right, out, 1);
        ASSERT_EQ(0, memcmp(in, out, 4)) << v;
    }
}

TEST(Codec, Sampled24BitValuesRoundTripMonoAndStereo)
{
    for (int64_t v = -8388608; v <= 8388607; v += 977) {
        for (int32_t x : {int32_t(v), int32_t(8388607), int32_t(-1)}) {
            uint8_t in[3] = {uint8_t(x & 0xFF), uint8_t((x >> 8) & 0xFF), uint8_t((x >> 16) & 0xFF)};
            int32_t s;
            CHAR_TO_NUM32(in, &s, 3, 1);
            ASSERT_EQ(s, x);
            uint8_t out[3];
            NUM24MONO_TO_CHAR(&s, out, 1);
            ASSERT_EQ(0, memcmp(in, out, 3)) << x;
        }
    }
}

TEST(Codec, WorkedDecodeFigures)
{
    struct Case { std::vector<uint8_t> bytes; int32_t value; };
    const Case cases[] = {
        {{0x34, 0x12}, 1192960}, {{0xCC, 0xED}, -1192960}, {{0xFF, 0x7F}, 8388352}, {{0x00, 0x80}, -8388608},
        {{0xFF, 0xFF}, -256}, {{0x00, 0x00}, 0}, {{0x80, 0x00}, 32768},
        {{0x56, 0x34, 0x12}, 1193046}, {{0xAA, 0xCB, 0xED}, -1193046}, {{0xFF, 0xFF, 0x7F}, 8388607},
        {{0x00, 0x00, 0x80}, -8388608}, {{0xFF, 0xFF, 0xFF}, -1}, {{0x80, 0xFF, 0x00}, 65408},
    };
    for (const Case& c : cases) {
        int32_t s = 12345;
        CHAR_TO_NUM32(c.bytes.data(), &s, (int32_t)c.bytes.size(), 1);
        EXPECT_EQ(s, c.value);
    }
}

TEST(Codec, EncodersWrapOutOfRangeAndLeaveComplementsInTheArray)
{
    struct Case { int32_t value; std::vector<uint8_t> bytes; int32_t left_in_array; };
    const Case c16[] = {{4660, {0x34, 0x12}, 4660}, {-4660, {0xCC, 0xED}, 4659}, {-1, {0xFF, 0xFF}, 0},
                        {-32768, {0x00, 0x80}, 32767}, {32768, {0x00, 0x80}, 32768}, {40000, {0x40, 0x9C}, 40000},
                        {70000, {0x70, 0x11}, 70000}, {-40000, {0xC0, 0x63}, 39999}};
    for (const Case& c : c16) {
        int32_t s = c.value;
        uint8_t out[3] = {0xAB, 0xAB, 0xAB};
        NUM16MONO_TO_CHAR(&s, out, 1);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 2), c.bytes) << c.value;
        EXPECT_EQ(out[2], 0xAB);
        EXPECT_EQ(s, c.left_in_array);
    }
    const Case c24[] = {{1193046, {0x56, 0x34, 0x12}, 1193046}, {-1193046, {0xAA, 0xCB, 0xED}, 1193045},
                        {-1, {0xFF, 0xFF, 0xFF}, 0}, {-8388608, {0x00, 0x00, 0x80}, 8388607},
                        {8388608, {0x00, 0x00, 0x80}, 8388608}, {9000000, {0x40, 0x54, 0x89}, 9000000}};
    for (const Case& c : c24) {
        int32_t s = c.value;
        uint8_t out[4] = {0xAB, 0xAB, 0xAB, 0xAB};
        NUM24MONO_TO_CHAR(&s, out, 1);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 3), c.bytes) << c.value;
        EXPECT_EQ(out[3], 0xAB);
        EXPECT_EQ(s, c.left_in_array);
    }
}

TEST(Codec, StereoLayoutsAndCountsThatTouchNothing)
{
    int32_t left[2] = {4660, 1193046}, right[2] = {-4660, -1193046};
    uint8_t out[13];
    memset(out, 0xAB, sizeof out);
    NUM16STER_TO_CHAR(left, right, out, 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{0x34, 0x12, 0xCC, 0xED, 0xAB}));
    int32_t l24[2] = {1193046, 0}, r24[2] = {-1193046, 0};
    NUM24STER_TO_CHAR(l24, r24, out, 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 13),
              (std::vector<uint8_t>{0x56, 0x34, 0x12, 0xAA, 0xCB, 0xED, 0, 0, 0, 0, 0, 0, 0xAB}));

    int32_t dl = 7, dr = 7;
    CHAR_TO_NUM32_STEREO(out, &dl, &dr, 3, 1);
    EXPECT_EQ(dl, 1193046);
    EXPECT_EQ(dr, -1193046);
    for (int32_t count : {0, -5}) {
        int32_t a = -9, b = -9;
        uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
        NUM24STER_TO_CHAR(&a, &b, bytes, count);
        CHAR_TO_NUM32_STEREO(bytes, &a, &b, 3, count);
        EXPECT_EQ(a, -9);
        EXPECT_EQ(bytes[0], 1);
    }
    for (int32_t width : {1, 4}) {  // widths the codec does not know touch nothing
        int32_t a = -9, b = -9;
        CHAR_TO_NUM32_STEREO(out, &a, &b, width, 1);
        CHAR_TO_NUM32(out, &a, width, 1);
        EXPECT_EQ(a, -9);
        EXPECT_EQ(b, -9);
    }
}

TEST(Codec, ByteRoutines)
{
    const uint8_t cced[2] = {0xCC, 0xED}, ffff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Assem2(cced), 60876);
    EXPECT_EQ(Assem4(ffff), -1);
    uint8_t four[4], two[2];
    Decon4(44, four);
    EXPECT_EQ(std::vector<uint8_t>(four, four + 4), (std::vector<uint8_t>{0x2C, 0, 0, 0}));
    Decon4(0x7A123456, four);
    EXPECT_EQ(std::vector<uint8_t>(four, four + 4), (std::vector<uint8_t>{0x56, 0x34, 0x12, 0x7A}));
    Decon2(74565, two);
    EXPECT_EQ(std::vector<uint8_t>(two, two + 2), (std::vector<uint8_t>{0x45, 0x23}));
    int32_t low, middle, high;
    BITS16_TO_BYTES2(&low, &high, -4660);
    EXPECT_EQ(low, -52);
    EXPECT_EQ(high, -18);
    BITS24_TO_BYTES3(&low, &middle, &high, 1193045);
    EXPECT_EQ(low * 1 + middle * 256 + high * 65536, 1193045);
    low = 255, high = 127;
    TWOS_COMP16(&low, &high, -1);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, -128);
}
