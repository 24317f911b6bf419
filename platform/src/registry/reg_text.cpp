#include "reg_text.h"

namespace platform::registry::internal {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit < 0xDC00;
}

bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit < 0xE000;
}

uint32_t CombineSurrogates(uint32_t high, uint32_t low) {
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

uint32_t UnitAt(const uint8_t* bytes) {
    return bytes[0] | (uint32_t)bytes[1] << 8;
}

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back((char)code);
    } else if (code < 0x800) {
        out->push_back((char)(0xC0 | (code >> 6)));
        out->push_back((char)(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back((char)(0xE0 | (code >> 12)));
        out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (code & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (code >> 18)));
        out->push_back((char)(0x80 | ((code >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (code & 0x3F)));
    }
}

// The code point that starts at text[*at], moving *at past it; a malformed sequence is one byte
// of U+FFFD.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
    const uint8_t lead = (uint8_t)text[*at];
    int extra = -1;
    uint32_t code = 0;
    if (lead < 0x80) {
        extra = 0;
        code = lead;
    } else if ((lead >> 5) == 0x6) {
        extra = 1;
        code = lead & 0x1F;
    } else if ((lead >> 4) == 0xE) {
        extra = 2;
        code = lead & 0x0F;
    } else if ((lead >> 3) == 0x1E) {
        extra = 3;
        code = lead & 0x07;
    }
    bool ok = extra >= 0 && *at + (size_t)extra < text.size();
    for (int k = 1; ok && k <= extra; ++k) {
        const uint8_t next = (uint8_t)text[*at + k];
        ok = (next & 0xC0) == 0x80;
        code = code << 6 | (next & 0x3F);
    }
    if (!ok || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        ++*at;
        return kReplacement;
    }
    *at += (size_t)extra + 1;
    return code;
}

}  // namespace

bool Utf16LeToUtf8(const std::string& bytes, size_t from, std::string* out) {
    if ((bytes.size() - from) % 2 != 0)
        return false;
    std::u16string units((bytes.size() - from) / 2, u'\0');
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data()) + from;
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = (char16_t)UnitAt(data + 2 * i);
    *out += platform::Utf16ToUtf8(units);
    return true;
}

std::vector<uint8_t> StringData(const std::string& utf8) {
    std::vector<uint8_t> data;
    auto unit = [&](uint32_t u) {
        data.push_back((uint8_t)u);
        data.push_back((uint8_t)(u >> 8));
    };
    for (size_t at = 0; at < utf8.size();) {
        const uint32_t code = NextCodePoint(utf8, &at);
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    unit(0);
    return data;
}

bool DataString(const std::vector<uint8_t>& data, std::string* utf8) {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 ||
        data[data.size() - 2] != 0)
        return false;
    std::string out;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        uint32_t unit = UnitAt(data.data() + i);
        if (unit == 0 || IsLowSurrogate(unit))
            return false;
        if (IsHighSurrogate(unit)) {
            if (i + 4 >= data.size() || !IsLowSurrogate(UnitAt(data.data() + i + 2)))
                return false;
            unit = CombineSurrogates(unit, UnitAt(data.data() + i + 2));
            i += 2;
        }
        AppendUtf8(unit, &out);
    }
    *utf8 = out;
    return true;
}

}  // namespace platform::registry::internal

namespace platform {

std::string Utf16ToUtf8(std::u16string_view units) {
    using namespace registry::internal;
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t unit = units[i];
        if (IsHighSurrogate(unit) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            unit = CombineSurrogates(unit, units[i + 1]);
            ++i;
        }
        AppendUtf8(unit, &out);
    }
    return out;
}

}  // namespace platform
