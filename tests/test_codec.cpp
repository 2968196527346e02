// Sample codec: every 16-bit value and 24-bit values across the range round trip
// exactly, and stereo frames interleave.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/audio.h"

TEST(Codec, EveryValueRoundTripsOnThe24BitScale)
{
    for (int v = -32768; v <= 32767; v++) {
        uint8_t in[2] = {uint8_t(v), uint8_t(v >> 8)}, out[2];
        int32_t s;
        CHAR_TO_NUM32(in, &s, 2, 1);
        ASSERT_EQ(s, v * 256);
        s /= 256;
        NUM16MONO_TO_CHAR(&s, out, 1);
        ASSERT_EQ(0, memcmp(in, out, 2)) << v;
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

TEST(Codec, StereoFramesInterleave)
{
    for (int32_t bytes : {2, 3}) {
        int32_t scale = bytes == 2 ? 256 : 1;  // 16-bit encoders take the 16-bit scale
        int32_t left[2] = {4660, -2}, right[2] = {-4660, 77}, l[2], r[2];
        uint8_t out[12];
        bytes == 2 ? NUM16STER_TO_CHAR(left, right, out, 2) : NUM24STER_TO_CHAR(left, right, out, 2);
        CHAR_TO_NUM32_STEREO(out, l, r, bytes, 2);
        EXPECT_EQ(std::vector<int32_t>({l[0], r[0], l[1], r[1]}),
                  std::vector<int32_t>({4660 * scale, -4660 * scale, -2 * scale, 77 * scale})) << bytes;
    }
}
