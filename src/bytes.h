// Little-endian fields and samples, whatever the host's byte order: the one set of byte
// helpers every folder uses. Header fields are read and written a byte at a time; no
// struct is ever read or written whole.
#pragma once

#include <cstdint>

// Two bytes as an unsigned value, 0 to 65535.
inline int32_t Assem2(const uint8_t bytes[2])
{
    return bytes[0] | bytes[1] << 8;
}

// Four bytes as a signed 32-bit value (bit 7 of bytes[3] is the sign); cast the result
// to uint32_t for an unsigned field.
inline int32_t Assem4(const uint8_t bytes[4])
{
    return (int32_t)((uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24);
}

// Eight bytes as an unsigned 64-bit value.
inline uint64_t Assem8(const uint8_t bytes[8])
{
    return (uint64_t)(uint32_t)Assem4(bytes) | (uint64_t)(uint32_t)Assem4(bytes + 4) << 32;
}

// The low 16 bits of `value`, least significant byte first.
inline void Decon2(uint32_t value, uint8_t bytes[2])
{
    bytes[0] = (uint8_t)value;
    bytes[1] = (uint8_t)(value >> 8);
}

// `value`, least significant byte first.
inline void Decon4(uint32_t value, uint8_t bytes[4])
{
    for (int32_t b = 0; b < 4; b++)
        bytes[b] = (uint8_t)(value >> (8 * b));
}

inline void Decon8(uint64_t value, uint8_t bytes[8])
{
    Decon4((uint32_t)value, bytes);
    Decon4((uint32_t)(value >> 32), bytes + 4);
}

// `bytes` bytes (2, 3 or 4: an integer sample) as a signed value, sign-extended.
inline int32_t Assem_Signed(const uint8_t* at, int32_t bytes)
{
    uint32_t raw = 0;
    for (int32_t b = 0; b < bytes; b++)
        raw |= (uint32_t)at[b] << (8 * b);
    if (bytes == 4)
        return (int32_t)raw;
    uint32_t sign = 1u << (8 * bytes - 1);
    return (int32_t)(raw ^ sign) - (int32_t)sign;
}

// Four or eight bytes as an IEEE float, widened to double.
inline double Assem_Float(const uint8_t* at, int32_t bytes)
{
    if (bytes == 8) {
        uint64_t raw = Assem8(at);
        double value;
        __builtin_memcpy(&value, &raw, 8);
        return value;
    }
    uint32_t raw = (uint32_t)Assem4(at);
    float value;
    __builtin_memcpy(&value, &raw, 4);
    return value;
}
