#include "imageheader.hpp"

#ifdef ZEMKAR_SSE2
#include <emmintrin.h>
#endif

std::uint16_t sumImage(const std::uint8_t* image, std::uint32_t imageLength)
{
    // Unsigned wrap-around keeps the low 16 bits exact, so they are taken once, at the end.
    std::uint32_t sum = 0;
    std::uint32_t i = 0;
#ifdef ZEMKAR_SSE2
    // Each sum of absolute differences from zero adds up eight bytes at once;
    // four independent sums keep the adds from waiting on one another.
    const auto sumAt = [&](std::uint32_t at) {
        return _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(image + at)), _mm_setzero_si128());
    };
    __m128i sums[4] = {};
    for (; i + 64 <= imageLength; i += 64)
        for (std::uint32_t lane = 0; lane < 4; ++lane)
            sums[lane] = _mm_add_epi64(sums[lane], sumAt(i + 16 * lane));
    for (; i + 16 <= imageLength; i += 16)
        sums[0] = _mm_add_epi64(sums[0], sumAt(i));
    const __m128i total = _mm_add_epi64(_mm_add_epi64(sums[0], sums[1]), _mm_add_epi64(sums[2], sums[3]));
    sum = static_cast<std::uint32_t>(_mm_cvtsi128_si32(total) + _mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
#endif
    for (; i < imageLength; ++i)
        sum += image[i];
    return static_cast<std::uint16_t>(sum);
}

void buildHeader(std::uint8_t* buffer, std::uint32_t imageLength)
{
    const std::uint16_t checksum = sumImage(buffer + headerSize, imageLength);
    buffer[0] = 0x00;
    buffer[1] = 0x00;
    buffer[2] = static_cast<std::uint8_t>(checksum);
    buffer[3] = static_cast<std::uint8_t>(checksum >> 8);
    buffer[4] = 0x55;
    buffer[5] = 0xAA;
    for (int i = 0; i < 4; ++i)
        buffer[6 + i] = static_cast<std::uint8_t>(imageLength >> (8 * i));
}
