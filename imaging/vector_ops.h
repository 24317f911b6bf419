// The vector operations the conversions use, for 128-, 256- and 512-bit registers. A wider
// register holds neighbouring 16-pixel blocks, one per 128-bit lane, so every operation the
// conversions use stays within its lane and all widths compute the same bits.
#pragma once

#include "platform/ddk.h"

// Byte multiplies (unsigned by signed bytes, adjacent products added) came after the 128-bit
// baseline; builds for wider registers have them at every width.
#if defined(__SSSE3__)
#include <tmmintrin.h>
#define CAM_BYTE_MULTIPLY 1
#endif

// The per-block helpers must fold into the row loop, so that a block's values stay in registers
// instead of passing through the stack between them.
#define CAM_INLINE inline __attribute__((always_inline))

#if defined(__SSE2__)
#include <emmintrin.h>

namespace {

struct Sse2 {
    using T = __m128i;
    static constexpr LONG kPixels = 16;
    CAM_INLINE static T Load(const UCHAR* p) { return _mm_loadu_si128((const __m128i*)p); }
    CAM_INLINE static T Zero() { return _mm_setzero_si128(); }
    CAM_INLINE static T Set8(char v) { return _mm_set1_epi8(v); }
    CAM_INLINE static T Set16(short v) { return _mm_set1_epi16(v); }
    CAM_INLINE static T Set32(int v) { return _mm_set1_epi32(v); }
    CAM_INLINE static T And(T a, T b) { return _mm_and_si128(a, b); }
    CAM_INLINE static T Or(T a, T b) { return _mm_or_si128(a, b); }
    CAM_INLINE static T Add16(T a, T b) { return _mm_add_epi16(a, b); }
    CAM_INLINE static T Sub16(T a, T b) { return _mm_sub_epi16(a, b); }
    CAM_INLINE static T SubSatU16(T a, T b) { return _mm_subs_epu16(a, b); }
    template <int kShift>
    CAM_INLINE static T Left16(T a) {
        return _mm_slli_epi16(a, kShift);
    }
    template <int kShift>
    CAM_INLINE static T Right16(T a) {
        return _mm_srli_epi16(a, kShift);
    }
    template <int kShift>
    CAM_INLINE static T RightSigned16(T a) {
        return _mm_srai_epi16(a, kShift);
    }
    CAM_INLINE static T Max16(T a, T b) { return _mm_max_epi16(a, b); }
    CAM_INLINE static T Min16(T a, T b) { return _mm_min_epi16(a, b); }
    // Unsigned minimum, which the 128-bit baseline lacks: a less what it exceeds b by.
    CAM_INLINE static T MinU16(T a, T b) { return _mm_sub_epi16(a, _mm_subs_epu16(a, b)); }
    // value in the lanes where a is not zero, 0 elsewhere.
    CAM_INLINE static T WhereNonZero16(T a, T value) {
        return _mm_andnot_si128(_mm_cmpeq_epi16(a, _mm_setzero_si128()), value);
    }
    CAM_INLINE static T MulLow16(T a, T b) { return _mm_mullo_epi16(a, b); }
    CAM_INLINE static T MulHighU16(T a, T b) { return _mm_mulhi_epu16(a, b); }
    CAM_INLINE static T MulAdd16(T a, T b) { return _mm_madd_epi16(a, b); }
#if defined(CAM_BYTE_MULTIPLY)
    CAM_INLINE static T MulAddBytes(T a, T b) {
        return _mm_maddubs_epi16(a, b);
    }
#endif
    CAM_INLINE static T Add32(T a, T b) {
        return _mm_add_epi32(a, b);
    }
    CAM_INLINE static T Sub32(T a, T b) {
        return _mm_sub_epi32(a, b);
    }
    template <int kShift>
    CAM_INLINE static T Right32(T a) {
        return _mm_srli_epi32(a, kShift);
    }
    CAM_INLINE static T PackSat32(T a, T b) {
        return _mm_packs_epi32(a, b);
    }
    CAM_INLINE static T PackSatU16(T a, T b) {
        return _mm_packus_epi16(a, b);
    }
    CAM_INLINE static T UnpackLow8(T a, T b) {
        return _mm_unpacklo_epi8(a, b);
    }
    CAM_INLINE static T UnpackHigh8(T a, T b) {
        return _mm_unpackhi_epi8(a, b);
    }
    CAM_INLINE static T UnpackLow16(T a, T b) {
        return _mm_unpacklo_epi16(a, b);
    }
    CAM_INLINE static T UnpackHigh16(T a, T b) {
        return _mm_unpackhi_epi16(a, b);
    }
    CAM_INLINE static T UnpackLow32(T a, T b) {
        return _mm_unpacklo_epi32(a, b);
    }
    CAM_INLINE static T UnpackHigh32(T a, T b) {
        return _mm_unpackhi_epi32(a, b);
    }
    CAM_INLINE static T Add64(T a, T b) {
        return _mm_add_epi64(a, b);
    }
    CAM_INLINE static T SumBytes(T a) {
        return _mm_sad_epu8(a, _mm_setzero_si128());
    }
    CAM_INLINE static ULONG64 Total64(T a) {
        return (ULONG64)_mm_cvtsi128_si64(a) + (ULONG64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a));
    }
    // After PackSatU16 of a block's even and odd columns, the bytes of columns 0..count-1 set.
    CAM_INLINE static T PackedColumnsBelow(LONG count) {
        const T column = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
        return _mm_cmplt_epi8(column, _mm_set1_epi8((char)count));
    }
    // A register's pixels in reverse order: each block's four-pixel quads reversed, and the
    // blocks' order too.
    CAM_INLINE static T Mirror(T a) {
        return _mm_shuffle_epi32(a, 0x1B);
    }
    // kStream stores past the caches, to an aligned address.
    template <bool kStream>
    CAM_INLINE static VOID Put(ULONG* out, T a) {
        if constexpr (kStream) {
            _mm_stream_si128((__m128i*)out, a);
        } else {
            _mm_storeu_si128((__m128i*)out, a);
        }
    }
    // The four vectors of 4 pixels that the byte unpacks produce, in pixel order.
    template <bool kStream = false>
    CAM_INLINE static VOID StoreQuads(ULONG* out, T q0, T q1, T q2, T q3) {
        Put<kStream>(out, q0);
        Put<kStream>(out + 4, q1);
        Put<kStream>(out + 8, q2);
        Put<kStream>(out + 12, q3);
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
    CAM_INLINE static T Load(const UCHAR* p) { return _mm256_loadu_si256((const __m256i*)p); }
    CAM_INLINE static T Zero() { return _mm256_setzero_si256(); }
    CAM_INLINE static T Set8(char v) { return _mm256_set1_epi8(v); }
    CAM_INLINE static T Set16(short v) { return _mm256_set1_epi16(v); }
    CAM_INLINE static T Set32(int v) { return _mm256_set1_epi32(v); }
    CAM_INLINE static T And(T a, T b) { return _mm256_and_si256(a, b); }
    CAM_INLINE static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    CAM_INLINE static T Add16(T a, T b) { return _mm256_add_epi16(a, b); }
    CAM_INLINE static T Sub16(T a, T b) { return _mm256_sub_epi16(a, b); }
    CAM_INLINE static T SubSatU16(T a, T b) { return _mm256_subs_epu16(a, b); }
    template <int kShift>
    CAM_INLINE static T Left16(T a) {
        return _mm256_slli_epi16(a, kShift);
    }
    template <int kShift>
    CAM_INLINE static T Right16(T a) {
        return _mm256_srli_epi16(a, kShift);
    }
    template <int kShift>
    CAM_INLINE static T RightSigned16(T a) {
        return _mm256_srai_epi16(a, kShift);
    }
    CAM_INLINE static T Max16(T a, T b) { return _mm256_max_epi16(a, b); }
    CAM_INLINE static T Min16(T a, T b) { return _mm256_min_epi16(a, b); }
    CAM_INLINE static T MinU16(T a, T b) { return _mm256_min_epu16(a, b); }
    CAM_INLINE static T WhereNonZero16(T a, T value) {
        return _mm256_andnot_si256(_mm256_cmpeq_epi16(a, _mm256_setzero_si256()), value);
    }
    CAM_INLINE static T MulLow16(T a, T b) { return _mm256_mullo_epi16(a, b); }
    CAM_INLINE static T MulHighU16(T a, T b) { return _mm256_mulhi_epu16(a, b); }
    CAM_INLINE static T MulAdd16(T a, T b) { return _mm256_madd_epi16(a, b); }
    CAM_INLINE static T MulAddBytes(T a, T b) { return _mm256_maddubs_epi16(a, b); }
    CAM_INLINE static T Add32(T a, T b) { return _mm256_add_epi32(a, b); }
    CAM_INLINE static T Sub32(T a, T b) { return _mm256_sub_epi32(a, b); }
    template <int kShift>
    CAM_INLINE static T Right32(T a) {
        return _mm256_srli_epi32(a, kShift);
    }
    CAM_INLINE static T PackSat32(T a, T b) { return _mm256_packs_epi32(a, b); }
    CAM_INLINE static T PackSatU16(T a, T b) { return _mm256_packus_epi16(a, b); }
    CAM_INLINE static T UnpackLow8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
    CAM_INLINE static T UnpackHigh8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
    CAM_INLINE static T UnpackLow16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
    CAM_INLINE static T UnpackHigh16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
    CAM_INLINE static T UnpackLow32(T a, T b) { return _mm256_unpacklo_epi32(a, b); }
    CAM_INLINE static T UnpackHigh32(T a, T b) { return _mm256_unpackhi_epi32(a, b); }
    CAM_INLINE static T Add64(T a, T b) { return _mm256_add_epi64(a, b); }
    CAM_INLINE static T SumBytes(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
    CAM_INLINE static ULONG64 Total64(T a) {
        const __m128i both =
            _mm_add_epi64(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        return (ULONG64)_mm_cvtsi128_si64(both) +
               (ULONG64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(both, both));
    }
    CAM_INLINE static T Mirror(T a) {
        return _mm256_permute4x64_epi64(_mm256_shuffle_epi32(a, 0x1B), 0x4E);
    }
    template <bool kStream>
    CAM_INLINE static VOID Put(ULONG* out, T a) {
        if constexpr (kStream) {
            _mm256_stream_si256((__m256i*)out, a);
        } else {
            _mm256_storeu_si256((__m256i*)out, a);
        }
    }
    // Each lane holds the quads of its own block: regroup them into the two blocks' pixels.
    template <bool kStream = false>
    CAM_INLINE static VOID StoreQuads(ULONG* out, T q0, T q1, T q2, T q3) {
        Put<kStream>(out, _mm256_permute2x128_si256(q0, q1, 0x20));
        Put<kStream>(out + 8, _mm256_permute2x128_si256(q2, q3, 0x20));
        Put<kStream>(out + 16, _mm256_permute2x128_si256(q0, q1, 0x31));
        Put<kStream>(out + 24, _mm256_permute2x128_si256(q2, q3, 0x31));
    }
};

}  // namespace
#endif

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)

namespace {

struct Avx512 {
    using T = __m512i;
    static constexpr LONG kPixels = 64;
    CAM_INLINE static T Load(const UCHAR* p) { return _mm512_loadu_si512((const void*)p); }
    CAM_INLINE static T Zero() { return _mm512_setzero_si512(); }
    CAM_INLINE static T Set8(char v) { return _mm512_set1_epi8(v); }
    CAM_INLINE static T Set16(short v) { return _mm512_set1_epi16(v); }
    CAM_INLINE static T Set32(int v) { return _mm512_set1_epi32(v); }
    CAM_INLINE static T And(T a, T b) { return _mm512_and_si512(a, b); }
    CAM_INLINE static T Or(T a, T b) { return _mm512_or_si512(a, b); }
    CAM_INLINE static T Add16(T a, T b) { return _mm512_add_epi16(a, b); }
    CAM_INLINE static T Sub16(T a, T b) { return _mm512_sub_epi16(a, b); }
    CAM_INLINE static T SubSatU16(T a, T b) { return _mm512_subs_epu16(a, b); }
    template <int kShift>
    CAM_INLINE static T Left16(T a) {
        return _mm512_slli_epi16(a, kShift);
    }
    template <int kShift>
    CAM_INLINE static T Right16(T a) {
        return _mm512_srli_epi16(a, kShift);
    }
    template <int kShift>
    CAM_INLINE static T RightSigned16(T a) {
        return _mm512_srai_epi16(a, kShift);
    }
    CAM_INLINE static T Max16(T a, T b) { return _mm512_max_epi16(a, b); }
    CAM_INLINE static T Min16(T a, T b) { return _mm512_min_epi16(a, b); }
    CAM_INLINE static T MinU16(T a, T b) { return _mm512_min_epu16(a, b); }
    CAM_INLINE static T WhereNonZero16(T a, T value) {
        return _mm512_maskz_mov_epi16(_mm512_test_epi16_mask(a, a), value);
    }
    CAM_INLINE static T MulLow16(T a, T b) { return _mm512_mullo_epi16(a, b); }
    CAM_INLINE static T MulHighU16(T a, T b) { return _mm512_mulhi_epu16(a, b); }
    CAM_INLINE static T MulAdd16(T a, T b) { return _mm512_madd_epi16(a, b); }
    CAM_INLINE static T MulAddBytes(T a, T b) { return _mm512_maddubs_epi16(a, b); }
    CAM_INLINE static T Add32(T a, T b) { return _mm512_add_epi32(a, b); }
    CAM_INLINE static T Sub32(T a, T b) { return _mm512_sub_epi32(a, b); }
    template <int kShift>
    CAM_INLINE static T Right32(T a) {
        return _mm512_srli_epi32(a, kShift);
    }
    CAM_INLINE static T PackSat32(T a, T b) { return _mm512_packs_epi32(a, b); }
    CAM_INLINE static T PackSatU16(T a, T b) { return _mm512_packus_epi16(a, b); }
    CAM_INLINE static T UnpackLow8(T a, T b) { return _mm512_unpacklo_epi8(a, b); }
    CAM_INLINE static T UnpackHigh8(T a, T b) { return _mm512_unpackhi_epi8(a, b); }
    CAM_INLINE static T UnpackLow16(T a, T b) { return _mm512_unpacklo_epi16(a, b); }
    CAM_INLINE static T UnpackHigh16(T a, T b) { return _mm512_unpackhi_epi16(a, b); }
    CAM_INLINE static T UnpackLow32(T a, T b) { return _mm512_unpacklo_epi32(a, b); }
    CAM_INLINE static T UnpackHigh32(T a, T b) { return _mm512_unpackhi_epi32(a, b); }
    CAM_INLINE static T Add64(T a, T b) { return _mm512_add_epi64(a, b); }
    CAM_INLINE static T SumBytes(T a) { return _mm512_sad_epu8(a, _mm512_setzero_si512()); }
    CAM_INLINE static ULONG64 Total64(T a) { return (ULONG64)_mm512_reduce_add_epi64(a); }
    CAM_INLINE static T Mirror(T a) {
        const T reversed = _mm512_shuffle_epi32(a, (_MM_PERM_ENUM)0x1B);
        return _mm512_shuffle_i64x2(reversed, reversed, 0x1B);
    }
    template <bool kStream>
    CAM_INLINE static VOID Put(ULONG* out, T a) {
        if constexpr (kStream) {
            _mm512_stream_si512((__m512i*)out, a);
        } else {
            _mm512_storeu_si512((void*)out, a);
        }
    }
    // Lane k of q holds quad q of block k: a 4 x 4 transpose of the 128-bit lanes puts each
    // block's four quads together.
    template <bool kStream = false>
    CAM_INLINE static VOID StoreQuads(ULONG* out, T q0, T q1, T q2, T q3) {
        const T low01 = _mm512_shuffle_i64x2(q0, q1, 0x44);   // q0.0 q0.1 q1.0 q1.1
        const T high01 = _mm512_shuffle_i64x2(q0, q1, 0xEE);  // q0.2 q0.3 q1.2 q1.3
        const T low23 = _mm512_shuffle_i64x2(q2, q3, 0x44);
        const T high23 = _mm512_shuffle_i64x2(q2, q3, 0xEE);
        Put<kStream>(out, _mm512_shuffle_i64x2(low01, low23, 0x88));
        Put<kStream>(out + 16, _mm512_shuffle_i64x2(low01, low23, 0xDD));
        Put<kStream>(out + 32, _mm512_shuffle_i64x2(high01, high23, 0x88));
        Put<kStream>(out + 48, _mm512_shuffle_i64x2(high01, high23, 0xDD));
    }
};

}  // namespace
#endif
