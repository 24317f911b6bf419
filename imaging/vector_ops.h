// The vector operations the conversions use, for 128-bit and 256-bit registers. A 256-bit
// register holds two neighbouring 16-pixel blocks, one per 128-bit half, so every operation the
// conversions use stays within its half and the two widths compute the same bits.
#pragma once

#include "platform/ddk.h"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace {

struct Sse2 {
    using T = __m128i;
    static constexpr LONG kPixels = 16;
    static T Load(const UCHAR* p) { return _mm_loadu_si128((const __m128i*)p); }
    static T Zero() { return _mm_setzero_si128(); }
    static T Set8(char v) { return _mm_set1_epi8(v); }
    static T Set16(short v) { return _mm_set1_epi16(v); }
    static T Set32(int v) { return _mm_set1_epi32(v); }
    static T And(T a, T b) { return _mm_and_si128(a, b); }
    static T Or(T a, T b) { return _mm_or_si128(a, b); }
    static T AndNot(T a, T b) { return _mm_andnot_si128(a, b); }
    static T Add16(T a, T b) { return _mm_add_epi16(a, b); }
    static T Sub16(T a, T b) { return _mm_sub_epi16(a, b); }
    static T SubSatU16(T a, T b) { return _mm_subs_epu16(a, b); }
    template <int kShift>
    static T Left16(T a) {
        return _mm_slli_epi16(a, kShift);
    }
    template <int kShift>
    static T Right16(T a) {
        return _mm_srli_epi16(a, kShift);
    }
    static T Max16(T a, T b) { return _mm_max_epi16(a, b); }
    static T Min16(T a, T b) { return _mm_min_epi16(a, b); }
    static T Equal16(T a, T b) { return _mm_cmpeq_epi16(a, b); }
    static T MulLow16(T a, T b) { return _mm_mullo_epi16(a, b); }
    static T MulHighU16(T a, T b) { return _mm_mulhi_epu16(a, b); }
    static T MulAdd16(T a, T b) { return _mm_madd_epi16(a, b); }
    static T Add32(T a, T b) { return _mm_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm_sub_epi32(a, b); }
    template <int kShift>
    static T Right32(T a) {
        return _mm_srli_epi32(a, kShift);
    }
    static T PackSat32(T a, T b) { return _mm_packs_epi32(a, b); }
    static T UnpackLow8(T a, T b) { return _mm_unpacklo_epi8(a, b); }
    static T UnpackHigh8(T a, T b) { return _mm_unpackhi_epi8(a, b); }
    static T UnpackLow16(T a, T b) { return _mm_unpacklo_epi16(a, b); }
    static T UnpackHigh16(T a, T b) { return _mm_unpackhi_epi16(a, b); }
    static T Add64(T a, T b) { return _mm_add_epi64(a, b); }
    static T SumBytes(T a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
    static ULONG64 Total64(T a) {
        return (ULONG64)_mm_cvtsi128_si64(a) + (ULONG64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a));
    }
    // Bytes 0..count-1 set.
    static T FirstBytes(LONG count) {
        const T lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        return _mm_cmplt_epi8(lane, _mm_set1_epi8((char)count));
    }
    // The four vectors of 4 pixels that the byte unpacks produce, in pixel order.
    static VOID StoreQuads(ULONG* out, T q0, T q1, T q2, T q3) {
        _mm_storeu_si128((__m128i*)out, q0);
        _mm_storeu_si128((__m128i*)(out + 4), q1);
        _mm_storeu_si128((__m128i*)(out + 8), q2);
        _mm_storeu_si128((__m128i*)(out + 12), q3);
    }
};

}  // namespace
#endif

#if defined(__AVX2__)
#include <immintrin.h>

namespace {

struct Avx2 {
    using T = __m256i;
    static constexpr LONG kPixels = 32;
    static T Load(const UCHAR* p) { return _mm256_loadu_si256((const __m256i*)p); }
    static T Zero() { return _mm256_setzero_si256(); }
    static T Set8(char v) { return _mm256_set1_epi8(v); }
    static T Set16(short v) { return _mm256_set1_epi16(v); }
    static T Set32(int v) { return _mm256_set1_epi32(v); }
    static T And(T a, T b) { return _mm256_and_si256(a, b); }
    static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    static T AndNot(T a, T b) { return _mm256_andnot_si256(a, b); }
    static T Add16(T a, T b) { return _mm256_add_epi16(a, b); }
    static T Sub16(T a, T b) { return _mm256_sub_epi16(a, b); }
    static T SubSatU16(T a, T b) { return _mm256_subs_epu16(a, b); }
    template <int kShift>
    static T Left16(T a) {
        return _mm256_slli_epi16(a, kShift);
    }
    template <int kShift>
    static T Right16(T a) {
        return _mm256_srli_epi16(a, kShift);
    }
    static T Max16(T a, T b) { return _mm256_max_epi16(a, b); }
    static T Min16(T a, T b) { return _mm256_min_epi16(a, b); }
    static T Equal16(T a, T b) { return _mm256_cmpeq_epi16(a, b); }
    static T MulLow16(T a, T b) { return _mm256_mullo_epi16(a, b); }
    static T MulHighU16(T a, T b) { return _mm256_mulhi_epu16(a, b); }
    static T MulAdd16(T a, T b) { return _mm256_madd_epi16(a, b); }
    static T Add32(T a, T b) { return _mm256_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm256_sub_epi32(a, b); }
    template <int kShift>
    static T Right32(T a) {
        return _mm256_srli_epi32(a, kShift);
    }
    static T PackSat32(T a, T b) { return _mm256_packs_epi32(a, b); }
    static T UnpackLow8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
    static T UnpackHigh8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
    static T UnpackLow16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
    static T UnpackHigh16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
    static T Add64(T a, T b) { return _mm256_add_epi64(a, b); }
    static T SumBytes(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
    static ULONG64 Total64(T a) {
        const __m128i both =
            _mm_add_epi64(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        return (ULONG64)_mm_cvtsi128_si64(both) +
               (ULONG64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(both, both));
    }
    // Each half holds the quads of its own block: regroup them into the two blocks' pixels.
    static VOID StoreQuads(ULONG* out, T q0, T q1, T q2, T q3) {
        _mm256_storeu_si256((__m256i*)out, _mm256_permute2x128_si256(q0, q1, 0x20));
        _mm256_storeu_si256((__m256i*)(out + 8), _mm256_permute2x128_si256(q2, q3, 0x20));
        _mm256_storeu_si256((__m256i*)(out + 16), _mm256_permute2x128_si256(q0, q1, 0x31));
        _mm256_storeu_si256((__m256i*)(out + 24), _mm256_permute2x128_si256(q2, q3, 0x31));
    }
};

}  // namespace
#endif
