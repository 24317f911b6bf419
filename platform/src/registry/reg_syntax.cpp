#include "reg_syntax.h"

#include <cstdio>
#include <iterator>

#include "platform/registry.h"
#include "reg_text.h"

namespace platform::registry::internal {
namespace {

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                              "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
constexpr size_t kHexRowWidth = 76;  // the export breaks a hex list after a row this long

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// One to eight hex digits.
bool HexNumber(const std::string& digits, uint32_t* number) {
    *number = 0;
    if (digits.empty() || digits.size() > 8)
        return false;
    for (char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        *number = *number << 4 | (uint32_t)digit;
    }
    return true;
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

bool ParseString(const std::string& text, RegValue* value, std::string* why) {
    size_t at = 0;
    std::string string;
    if (!ReadQuoted(text, &at, &string)) {
        *why = "the string has no closing quote";
        return false;
    }
    const std::string rest = Trim(text.substr(at));
    if (!rest.empty()) {
        *why = "unexpected text after the string: '" + rest + "'";
        return false;
    }
    value->type = REG_SZ;
    value->data = StringData(string);
    return true;
}

bool ParseDword(const std::string& digits, RegValue* value, std::string* why) {
    uint32_t number = 0;
    if (digits.size() != 8 || !HexNumber(digits, &number)) {
        *why = "dword: wants 8 hex digits (as in dword:000001f4), not '" + digits + "'";
        return false;
    }
    value->type = REG_DWORD;
    value->data = {(uint8_t)number, (uint8_t)(number >> 8), (uint8_t)(number >> 16),
                   (uint8_t)(number >> 24)};
    return true;
}

// Comma-separated bytes of two hex digits each; nothing at all is no bytes.
bool ParseHexList(const std::string& list, std::vector<uint8_t>* data, std::string* why) {
    data->clear();
    if (Trim(list).empty())
        return true;
    for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::string byte = Trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (byte.size() != 2 || HexDigit(byte[0]) < 0 || HexDigit(byte[1]) < 0) {
            *why = "'" + byte + "' is not a hex byte";
            return false;
        }
        data->push_back((uint8_t)(HexDigit(byte[0]) << 4 | HexDigit(byte[1])));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

std::string FormatHexList(std::string line, const std::vector<uint8_t>& data) {
    const size_t newline = line.rfind('\n');
    size_t row_start = newline == std::string::npos ? 0 : newline + 1;
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), "%02x", data[i]);
        line += byte;
        if (i + 1 == data.size())
            break;
        line += ",";
        if (line.size() - row_start > kHexRowWidth) {
            line += "\\\r\n  ";
            row_start = line.size() - 2;
        }
    }
    return line;
}

}  // namespace

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

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

bool SplitValueLine(const std::string& line, std::string* name, std::string* data,
                    std::string* why) {
    name->clear();
    size_t at = 1;
    if (line[0] == '"') {
        at = 0;
        if (!ReadQuoted(line, &at, name)) {
            *why = "the value name has no closing quote";
            return false;
        }
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    if (at >= line.size() || line[at] != '=') {
        *why = "expected '=' after the value name";
        return false;
    }
    *data = Trim(line.substr(at + 1));
    return true;
}

bool ParseValueData(const std::string& text, RegValue* value, std::string* why) {
    if (!text.empty() && text[0] == '"')
        return ParseString(text, value, why);
    if (StartsWith(text, "dword:"))
        return ParseDword(Trim(text.substr(6)), value, why);
    if (StartsWith(text, "hex:")) {
        value->type = REG_BINARY;
        return ParseHexList(text.substr(4), &value->data, why);
    }
    if (StartsWith(text, "hex(")) {
        const size_t close = text.find("):");
        uint32_t type = 0;
        if (close == std::string::npos || !HexNumber(text.substr(4, close - 4), &type)) {
            *why = "hex(N): wants the value type N in hex digits";
            return false;
        }
        value->type = type;
        return ParseHexList(text.substr(close + 2), &value->data, why);
    }
    *why = "unknown value data '" + text + "' (expected \"text\", dword:, hex: or hex(N):)";
    return false;
}

std::string TypeName(ULONG type) {
    static const char* const kNames[] = {"REG_NONE",   "REG_SZ",      "REG_EXPAND_SZ",
                                         "REG_BINARY", "REG_DWORD",   "REG_DWORD_BIG_ENDIAN",
                                         "REG_LINK",   "REG_MULTI_SZ"};
    if (type < std::size(kNames))
        return kNames[type];
    return type == REG_QWORD ? "REG_QWORD" : "type " + std::to_string(type);
}

std::string FormatValueLine(const std::string& name, const RegValue& value) {
    const std::string line = name.empty() ? "@=" : Quoted(name) + "=";
    std::string string;
    // A line break cannot stand in a quoted string, so such a string goes as its bytes.
    if (value.type == REG_SZ && DataString(value.data, &string) &&
        string.find('\n') == std::string::npos) {
        return line + Quoted(string);
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char digits[16];
        std::snprintf(digits, sizeof(digits), "dword:%08x",
                      (unsigned)(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                 (uint32_t)value.data[3] << 24));
        return line + digits;
    }
    if (value.type == REG_BINARY)
        return FormatHexList(line + "hex:", value.data);
    char prefix[24];
    std::snprintf(prefix, sizeof(prefix), "hex(%x):", (unsigned)value.type);
    return FormatHexList(line + prefix, value.data);
}

}  // namespace platform::registry::internal
