#include "reg_parser.h"

#include <algorithm>

#include "reg_syntax.h"
#include "reg_text.h"

namespace platform::registry::internal {
namespace {

// The lines of a text, one at a time, without their line ends.
class LineReader {
  public:
    explicit LineReader(const std::string& text) : text_(text) {}

    // False past the last line. A text ending in a line end has an empty last line.
    bool Next(std::string* line) {
        if (done_)
            return false;
        ++number_;
        const size_t end = text_.find('\n', start_);
        done_ = end == std::string::npos;
        *line = text_.substr(start_, done_ ? std::string::npos : end - start_);
        if (!line->empty() && line->back() == '\r')
            line->pop_back();
        start_ = done_ ? text_.size() : end + 1;
        return true;
    }
    // Counted from 0: the line that Next returned last.
    size_t number() const { return number_ - 1; }

  private:
    const std::string& text_;
    size_t start_ = 0;
    size_t number_ = 0;
    bool done_ = false;
};

class Parser {
  public:
    explicit Parser(const std::string& text) : lines_(text) {}

    // False with error_line and why set.
    bool Run();

    std::vector<RegKey> keys;
    std::vector<ValueSource> value_lines;
    size_t error_line = 0;
    std::string why;

  private:
    bool Fail(size_t line, const std::string& reason) {
        error_line = line;
        why = reason;
        return false;
    }
    bool Header(const std::string& line, size_t n);
    bool KeyLine(const std::string& line, size_t n);
    bool ValueLine(const std::string& line, size_t first);
    bool JoinContinuedLines(std::string* logical, size_t first);
    bool RestIsBlank();
    bool SetValue(const std::string& name, const std::string& data, size_t first);

    LineReader lines_;
    bool have_header_ = false;
    RegKey* current_ = nullptr;  // the key that value lines go to
};

bool Parser::Run() {
    std::string raw;
    while (lines_.Next(&raw)) {
        const std::string line = Trim(raw);
        if (line.empty() || (have_header_ && line[0] == ';'))
            continue;
        const size_t n = lines_.number();
        const bool ok = !have_header_    ? Header(line, n)
                        : line[0] == '[' ? KeyLine(line, n)
                                         : ValueLine(line, n);
        if (!ok)
            return false;
    }
    if (!have_header_) {
        return Fail(0, std::string("the file is empty: a registry export starts with \"") +
                           kExportHeader + "\"");
    }
    return true;
}

bool Parser::Header(const std::string& line, size_t n) {
    if (line != kExportHeader && line != kExportHeaderVersion4) {
        return Fail(n, std::string("not a registry export: the first line must be \"") +
                           kExportHeader + "\" or \"" + kExportHeaderVersion4 + "\"");
    }
    have_header_ = true;
    return true;
}

// "[path]" opens a key, made when it is new; "[-path]" deletes it and everything below.
bool Parser::KeyLine(const std::string& line, size_t n) {
    if (line.back() != ']')
        return Fail(n, "a key line must end with ']'");
    const bool remove = line.size() > 1 && line[1] == '-';
    std::string reason;
    const std::string path =
        CheckPath(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &reason);
    if (path.empty())
        return Fail(n, reason);
    current_ = nullptr;
    if (remove) {
        std::erase_if(keys, [&](const RegKey& key) { return IsAtOrBelow(key.path, path); });
        return true;
    }
    current_ = FindKey(keys, path);
    if (current_ == nullptr) {
        keys.push_back(RegKey{path, {}, false});
        current_ = &keys.back();
    }
    return true;
}

bool Parser::ValueLine(const std::string& line, size_t first) {
    if (line[0] != '"' && line[0] != '@')
        return Fail(first, "unexpected text '" + line + "'");
    if (current_ == nullptr)
        return Fail(first, "a value outside any key");
    std::string logical = line;
    if (!JoinContinuedLines(&logical, first))
        return false;
    std::string name;
    std::string data;
    std::string reason;
    if (!SplitValueLine(logical, &name, &data, &reason))
        return Fail(first, reason);
    return SetValue(name, data, first);
}

// A value's data may go on over the next lines, each line but the last ending in '\'.
bool Parser::JoinContinuedLines(std::string* logical, size_t first) {
    std::string next;
    while (!logical->empty() && logical->back() == '\\') {
        logical->pop_back();
        if (!lines_.Next(&next))
            return Fail(first, "the value goes on past the end of the file");
        const std::string piece = Trim(next);
        if (piece.empty()) {
            const size_t blank = lines_.number();
            return RestIsBlank() ? Fail(first, "the value goes on past the end of the file")
                                 : Fail(blank, "an empty line where the value should go on");
        }
        *logical += piece;
    }
    return true;
}

bool Parser::RestIsBlank() {
    std::string line;
    while (lines_.Next(&line)) {
        if (!Trim(line).empty())
            return false;
    }
    return true;
}

// Data "-" deletes the value.
bool Parser::SetValue(const std::string& name, const std::string& data, size_t first) {
    auto& values = current_->values;
    auto existing = std::find_if(values.begin(), values.end(),
                                 [&](const auto& value) { return SameName(value.first, name); });
    if (data == "-") {
        if (existing != values.end())
            values.erase(existing);
        return true;
    }
    RegValue value;
    std::string reason;
    if (!ParseValueData(data, &value, &reason))
        return Fail(first, reason);
    if (existing != values.end())
        existing->second = value;
    else
        values.emplace_back(name, value);
    value_lines.push_back(ValueSource{current_->path, name, first + 1});
    return true;
}

}  // namespace

bool DecodeRegText(const std::string& bytes, std::string* text, TextEncoding* encoding) {
    if (bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE) {
        *encoding = TextEncoding::kUtf16;
        return Utf16LeToUtf8(bytes, 2, text);
    }
    const bool mark = bytes.size() >= 3 && (uint8_t)bytes[0] == 0xEF && (uint8_t)bytes[1] == 0xBB &&
                      (uint8_t)bytes[2] == 0xBF;
    *encoding = mark ? TextEncoding::kUtf8Mark : TextEncoding::kPlain;
    *text = bytes.substr(mark ? 3 : 0);
    return true;
}

std::string EncodeRegText(const std::string& text, TextEncoding encoding) {
    if (encoding == TextEncoding::kUtf8Mark)
        return "\xEF\xBB\xBF" + text;
    if (encoding == TextEncoding::kPlain)
        return text;
    const std::vector<uint8_t> units = StringData(text);  // ends in a NUL the file does not hold
    return "\xFF\xFE" + std::string(units.begin(), units.end() - 2);
}

bool ParseRegFile(const std::string& bytes, const std::string& file_name, std::vector<RegKey>* keys,
                  std::string* error, std::vector<ValueSource>* value_lines) {
    std::string text;
    TextEncoding encoding;
    if (!DecodeRegText(bytes, &text, &encoding)) {
        *error = file_name + ":1: the UTF-16 text ends in the middle of a character";
        return false;
    }
    Parser parser(text);
    if (!parser.Run()) {
        *error = file_name + ":" + std::to_string(parser.error_line + 1) + ": " + parser.why;
        return false;
    }
    *keys = std::move(parser.keys);
    if (value_lines != nullptr)
        *value_lines = std::move(parser.value_lines);
    return true;
}

}  // namespace platform::registry::internal
