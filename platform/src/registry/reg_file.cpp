// Reading and writing the registry export format.
#include "reg_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/registry.h"

namespace platform::registry::internal {

namespace {

constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kHeader4[] = "REGEDIT4";
const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                              "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
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

// Code points of UTF-8 text; a malformed sequence becomes U+FFFD.
std::vector<uint32_t> DecodeUtf8(const std::string& text) {
    std::vector<uint32_t> codes;
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = (uint8_t)text[i];
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
        bool ok = extra >= 0 && i + (size_t)extra < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const uint8_t next = (uint8_t)text[i + k];
            ok = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        if (!ok || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            codes.push_back(0xFFFD);
            ++i;
            continue;
        }
        codes.push_back(code);
        i += (size_t)extra + 1;
    }
    return codes;
}

// UTF-16LE text (after its byte-order mark) as UTF-8; false when the bytes are not UTF-16.
bool Utf16ToUtf8(const std::string& bytes, size_t from, std::string* out) {
    if ((bytes.size() - from) % 2 != 0)
        return false;
    for (size_t i = from; i < bytes.size(); i += 2) {
        uint32_t unit = (uint8_t)bytes[i] | (uint32_t)(uint8_t)bytes[i + 1] << 8;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = (uint8_t)bytes[i + 2] | (uint32_t)(uint8_t)bytes[i + 3] << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(unit, out);
    }
    return true;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Reads a quoted string starting at text[*at] == '"', undoing \\ and \"; *at ends after the
// closing quote. False when there is none.
bool ReadQuoted(const std::string& text, size_t* at, std::string* out) {
    out->clear();
    for (size_t i = *at + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out->push_back(text[++i]);
        } else if (text[i] == '"') {
            *at = i + 1;
            return true;
        } else {
            out->push_back(text[i]);
        }
    }
    return false;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// The key path, or an empty string with *why set.
std::string CheckPath(const std::string& path, std::string* why) {
    if (path.empty()) {
        *why = "a key line names no key";
        return "";
    }
    const std::string root = path.substr(0, path.find('\\'));
    bool known = false;
    for (const char* name : kRoots)
        known = known || SameName(root, name);
    if (!known) {
        *why = "unknown root key '" + root + "'";
        return "";
    }
    if (path.back() == '\\' || path.find("\\\\") != std::string::npos) {
        *why = "the key path '" + path + "' has an empty part";
        return "";
    }
    return path;
}

// Parses the data after '=' into *value; false with *why set.
bool ParseData(const std::string& text, RegValue* value, std::string* why) {
    if (!text.empty() && text[0] == '"') {
        size_t at = 0;
        std::string string;
        if (!ReadQuoted(text, &at, &string)) {
            *why = "the string has no closing quote";
            return false;
        }
        if (!Trim(text.substr(at)).empty()) {
            *why = "unexpected text after the string: '" + Trim(text.substr(at)) + "'";
            return false;
        }
        value->type = REG_SZ;
        value->data = StringData(string);
        return true;
    }
    if (StartsWith(text, "dword:")) {
        const std::string digits = Trim(text.substr(6));
        uint32_t number = 0;
        bool ok = digits.size() == 8;
        for (size_t i = 0; ok && i < digits.size(); ++i) {
            const int digit = HexDigit(digits[i]);
            ok = digit >= 0;
            number = number << 4 | (uint32_t)(digit & 0xF);
        }
        if (!ok) {
            *why = "dword: wants 8 hex digits (as in dword:000001f4), not '" + digits + "'";
            return false;
        }
        value->type = REG_DWORD;
        value->data = {(uint8_t)number, (uint8_t)(number >> 8), (uint8_t)(number >> 16),
                       (uint8_t)(number >> 24)};
        return true;
    }
    size_t list_at = 0;
    if (StartsWith(text, "hex:")) {
        value->type = REG_BINARY;
        list_at = 4;
    } else if (StartsWith(text, "hex(")) {
        const size_t close = text.find("):");
        const std::string digits = close == std::string::npos ? "" : text.substr(4, close - 4);
        uint32_t type = 0;
        bool ok = !digits.empty() && digits.size() <= 8;
        for (size_t i = 0; ok && i < digits.size(); ++i) {
            const int digit = HexDigit(digits[i]);
            ok = digit >= 0;
            type = type << 4 | (uint32_t)(digit & 0xF);
        }
        if (!ok) {
            *why = "hex(N): wants the value type N in hex digits";
            return false;
        }
        value->type = type;
        list_at = close + 2;
    } else {
        *why = "unknown value data '" + text + "' (expected \"text\", dword:, hex: or hex(N):)";
        return false;
    }
    value->data.clear();
    const std::string list = text.substr(list_at);
    size_t start = 0;
    while (start <= list.size() && !Trim(list).empty()) {
        size_t comma = list.find(',', start);
        const std::string byte = Trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (byte.size() != 2 || HexDigit(byte[0]) < 0 || HexDigit(byte[1]) < 0) {
            *why = "'" + byte + "' is not a hex byte";
            return false;
        }
        value->data.push_back((uint8_t)(HexDigit(byte[0]) << 4 | HexDigit(byte[1])));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

RegKey* FindKey(std::vector<RegKey>& keys, const std::string& path) {
    for (RegKey& key : keys) {
        if (SameName(key.path, path))
            return &key;
    }
    return nullptr;
}

bool IsAtOrBelow(const std::string& path, const std::string& key) {
    return SameName(path, key) || (path.size() > key.size() && path[key.size()] == '\\' &&
                                   SameName(path.substr(0, key.size()), key));
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        c = Lower(c);
    return folded;
}

std::string CodePointsToUtf8(const WCHAR* text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t code = (uint32_t)text[i];
        AppendUtf8(code > 0x10FFFF ? 0xFFFD : code, &out);
    }
    return out;
}

std::vector<uint8_t> StringData(const std::string& utf8) {
    std::vector<uint8_t> data;
    auto unit = [&](uint32_t u) {
        data.push_back((uint8_t)u);
        data.push_back((uint8_t)(u >> 8));
    };
    for (uint32_t code : DecodeUtf8(utf8)) {
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
        uint32_t unit = data[i] | (uint32_t)data[i + 1] << 8;
        if (unit == 0)
            return false;
        if (unit >= 0xDC00 && unit < 0xE000)
            return false;
        if (unit >= 0xD800 && unit < 0xDC00) {
            if (i + 4 >= data.size())
                return false;
            const uint32_t low = data[i + 2] | (uint32_t)data[i + 3] << 8;
            if (low < 0xDC00 || low >= 0xE000)
                return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        AppendUtf8(unit, &out);
    }
    *utf8 = out;
    return true;
}

bool ParseRegFile(const std::string& bytes, const std::string& file_name, std::vector<RegKey>* keys,
                  std::string* error) {
    std::string text;
    if (bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE) {
        if (!Utf16ToUtf8(bytes, 2, &text)) {
            *error = file_name + ":1: the UTF-16 text ends in the middle of a character";
            return false;
        }
    } else if (bytes.size() >= 3 && (uint8_t)bytes[0] == 0xEF && (uint8_t)bytes[1] == 0xBB &&
               (uint8_t)bytes[2] == 0xBF) {
        text = bytes.substr(3);
    } else {
        text = bytes;
    }

    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }

    std::vector<RegKey> parsed;
    bool have_header = false;
    RegKey* current = nullptr;
    auto fail = [&](size_t line, const std::string& why) {
        *error = file_name + ":" + std::to_string(line + 1) + ": " + why;
        return false;
    };
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string line = Trim(lines[n]);
        if (line.empty())
            continue;
        if (!have_header) {
            if (line != kHeader5 && line != kHeader4) {
                return fail(n, std::string("not a registry export: the first line must be \"") +
                                   kHeader5 + "\" or \"" + kHeader4 + "\"");
            }
            have_header = true;
            continue;
        }
        if (line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail(n, "a key line must end with ']'");
            const bool remove = line.size() > 1 && line[1] == '-';
            std::string why;
            const std::string path =
                CheckPath(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &why);
            if (path.empty())
                return fail(n, why);
            current = nullptr;
            if (remove) {
                std::erase_if(parsed,
                              [&](const RegKey& key) { return IsAtOrBelow(key.path, path); });
                continue;
            }
            current = FindKey(parsed, path);
            if (current == nullptr) {
                parsed.push_back(RegKey{path, {}, false});
                current = &parsed.back();
            }
            continue;
        }
        if (line[0] != '"' && line[0] != '@')
            return fail(n, "unexpected text '" + line + "'");
        if (current == nullptr)
            return fail(n, "a value outside any key");
        // A value's data may go on over the next lines, each line but the last ending in '\'.
        const size_t first = n;
        std::string logical = line;
        while (!logical.empty() && logical.back() == '\\') {
            logical.pop_back();
            ++n;
            bool rest_blank = true;
            for (size_t k = n; k < lines.size(); ++k)
                rest_blank = rest_blank && Trim(lines[k]).empty();
            if (rest_blank)
                return fail(first, "the value goes on past the end of the file");
            if (Trim(lines[n]).empty())
                return fail(n, "an empty line where the value should go on");
            logical += Trim(lines[n]);
        }
        std::string name;  // '@' names the key's default value, whose name is empty
        size_t at = 1;
        if (logical[0] == '"') {
            at = 0;
            if (!ReadQuoted(logical, &at, &name))
                return fail(first, "the value name has no closing quote");
        }
        while (at < logical.size() && (logical[at] == ' ' || logical[at] == '\t'))
            ++at;
        if (at >= logical.size() || logical[at] != '=')
            return fail(first, "expected '=' after the value name");
        const std::string data = Trim(logical.substr(at + 1));
        auto& values = current->values;
        auto existing = std::find_if(values.begin(), values.end(), [&](const auto& value) {
            return SameName(value.first, name);
        });
        if (data == "-") {
            if (existing != values.end())
                values.erase(existing);
            continue;
        }
        RegValue value;
        std::string why;
        if (!ParseData(data, &value, &why))
            return fail(first, why);
        if (existing != values.end())
            existing->second = value;
        else
            values.emplace_back(name, value);
    }
    if (!have_header)
        return fail(0, "the file is empty: a registry export starts with \"" +
                           std::string(kHeader5) + "\"");
    *keys = std::move(parsed);
    return true;
}

std::string FormatRegFile(const std::vector<RegKey>& unsorted) {
    // By path, part by part, so that every key comes right before the keys below it.
    std::vector<const RegKey*> keys;
    for (const RegKey& key : unsorted)
        keys.push_back(&key);
    auto sort_key = [](const RegKey* key) {
        std::string folded = FoldCase(key->path);
        std::replace(folded.begin(), folded.end(), '\\', '\x01');
        return folded;
    };
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const RegKey* a, const RegKey* b) { return sort_key(a) < sort_key(b); });
    std::string out = std::string(kHeader5) + "\r\n";
    for (const RegKey* key_pointer : keys) {
        const RegKey& key = *key_pointer;
        if (key.is_volatile)
            continue;
        out += "\r\n[" + key.path + "]\r\n";
        for (const auto& [name, value] : key.values) {
            std::string line = name.empty() ? "@=" : Quoted(name) + "=";
            std::string string;
            if (value.type == REG_SZ && DataString(value.data, &string)) {
                line += Quoted(string);
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                char digits[16];
                std::snprintf(digits, sizeof(digits), "dword:%08x",
                              (unsigned)(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                         (uint32_t)value.data[3] << 24));
                line += digits;
            } else {
                char prefix[24];
                if (value.type == REG_BINARY)
                    std::snprintf(prefix, sizeof(prefix), "hex:");
                else
                    std::snprintf(prefix, sizeof(prefix), "hex(%x):", (unsigned)value.type);
                line += prefix;
                // Long lists go on over several lines, as the export writes them.
                for (size_t i = 0; i < value.data.size(); ++i) {
                    char byte[4];
                    std::snprintf(byte, sizeof(byte), "%02x", value.data[i]);
                    line += byte;
                    if (i + 1 < value.data.size()) {
                        line += ",";
                        const size_t newline = line.rfind('\n');
                        const size_t row_start = newline == std::string::npos ? 0 : newline + 1;
                        if (line.size() - row_start > 76)
                            line += "\\\r\n  ";
                    }
                }
            }
            out += line + "\r\n";
        }
    }
    return out + "\r\n";
}

}  // namespace platform::registry::internal
