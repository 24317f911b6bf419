// The bordered work buffer: geometry, allocation and the per-frame load.
#include "imaging/conversion.h"
#include "imaging/pool_tags.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

VOID CopyBytes(PUCHAR destination, const UCHAR* source, ULONG count) {
    ULONG i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= count; i += 16) {
        _mm_storeu_si128((__m128i*)(destination + i),
                         _mm_loadu_si128((const __m128i*)(source + i)));
    }
#endif
    for (; i < count; ++i)
        destination[i] = source[i];
}

}  // namespace

VOID SetConversionGeometry(ConversionState* state, ULONG width, ULONG height) {
    state->conversion_width = width;
    state->conversion_height = height;
    // A whole 16-pixel block, two samples before it and three after (the odd columns' loads reach
    // one byte past the two samples) always lie inside a row.
    state->work_stride = (width & ~15u) + 27;
    state->work_size = state->work_stride * (((height + 1) & ~1u) + 4);
}

VOID FreeWorkBuffer(ConversionState* state) {
    if (state->work_buffer != nullptr) {
        ExFreePoolWithTag(state->work_buffer, kWorkBufferTag);
        state->work_buffer = nullptr;
    }
}

VOID AllocateWorkBuffer(ConversionState* state) {
    FreeWorkBuffer(state);
    // Cleared once here: a frame under 8 pixels in either direction gets no border, and its edge
    // pixels would otherwise show whatever the pool held before. Nothing else writes the border,
    // so such frames read it as black, the same on every run; larger frames overwrite it.
    state->work_buffer = (PUCHAR)ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), state->work_size, kWorkBufferTag);
    ConversionParams& params = state->params;
    params.origin = state->work_buffer == nullptr
                        ? nullptr
                        : state->work_buffer + 2 * state->work_stride + kWorkLeftMargin;
    params.stride = (LONG)state->work_stride;
    params.width = (LONG)state->conversion_width;
    params.height = (LONG)state->conversion_height;
}

VOID LoadWorkBuffer(ConversionState* state, const UCHAR* raw, ULONG offset, ULONG pitch) {
    const ULONG width = state->conversion_width;
    const ULONG height = state->conversion_height;
    const LONG stride = (LONG)state->work_stride;
    PUCHAR origin = state->work_buffer + 2 * state->work_stride + kWorkLeftMargin;
    auto row = [origin, stride](LONG y) { return origin + (LONG_PTR)y * stride; };
    for (ULONG y = 0; y < height; ++y) {
        CopyBytes(row((LONG)y), raw + offset + (ULONG_PTR)y * pitch, width);
    }
    if (width < 8 || height < 8)
        return;
    // Each border sample comes from an even number of rows and columns away, so it keeps the
    // colour the tile puts at its own position.
    const LONG h = (LONG)height;
    const LONG w = (LONG)width;
    CopyBytes(row(-2), row(2), width);
    CopyBytes(row(-1), row(1), width);
    CopyBytes(row(h), row(h - 4), width);
    CopyBytes(row(h + 1), row(h - 3), width);
    for (LONG y = -2; y < h + 2; ++y) {
        PUCHAR r = row(y);
        r[-1] = r[1];
        r[-2] = r[2];
        r[w] = r[w - 2];
        r[w + 1] = r[w - 3];
    }
}
