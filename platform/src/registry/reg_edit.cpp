#include "reg_edit.h"

#include "reg_parser.h"
#include "reg_syntax.h"
#include "reg_writer.h"

namespace platform::registry::internal {
namespace {

// What an edit in place needs to know of the old text: where the value's line is and where the
// key's last section ends.
struct Layout {
    std::string eol = "\r\n";
    bool has_header = false;
    size_t value_begin = std::string::npos;  // the value's last setting, first line
    size_t value_end = 0;                    // its last line, before the line end
    size_t section_end = std::string::npos;  // after the line end of the key's last listed line
};

std::string LineEnd(const std::string& text) {
    const size_t newline = text.find('\n');
    return newline != std::string::npos && newline > 0 && text[newline - 1] == '\r' ? "\r\n" : "\n";
}

Layout Scan(const std::string& text, const RegEdit& edit) {
    Layout layout;
    if (text.find('\n') != std::string::npos)
        layout.eol = LineEnd(text);
    bool in_key = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        size_t line_end = newline == std::string::npos ? text.size() : newline;
        size_t next = newline == std::string::npos ? text.size() : newline + 1;
        const size_t content_end =
            line_end > start && text[line_end - 1] == '\r' ? line_end - 1 : line_end;
        const std::string line = Trim(text.substr(start, content_end - start));
        const size_t first = start;
        start = next;
        if (line.empty())
            continue;
        if (!layout.has_header) {
            layout.has_header = true;
            continue;
        }
        if (line[0] == ';')
            continue;
        if (line[0] == '[') {
            const bool remove = line.size() > 1 && line[1] == '-';
            const std::string path = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
            in_key = !remove && SameName(path, edit.key_path);
            if (remove && IsAtOrBelow(edit.key_path, path)) {
                layout.value_begin = std::string::npos;
                layout.section_end = std::string::npos;
            }
            if (in_key)
                layout.section_end = next;
            continue;
        }
        // A value's data may go on over the next lines, each but the last ending in '\'.
        size_t last_content_end = content_end;
        std::string piece = line;
        while (!piece.empty() && piece.back() == '\\' && start < text.size()) {
            newline = text.find('\n', start);
            line_end = newline == std::string::npos ? text.size() : newline;
            next = newline == std::string::npos ? text.size() : newline + 1;
            last_content_end =
                line_end > start && text[line_end - 1] == '\r' ? line_end - 1 : line_end;
            piece = Trim(text.substr(start, last_content_end - start));
            start = next;
        }
        if (!in_key)
            continue;
        layout.section_end = next;
        std::string name, data, why;
        if (!SplitValueLine(line, &name, &data, &why) || !SameName(name, edit.name))
            continue;
        layout.value_begin = data == "-" ? std::string::npos : first;
        layout.value_end = last_content_end;
    }
    return layout;
}

std::string ValueText(const RegEdit& edit, const std::string& eol) {
    std::string line = FormatValueLine(edit.name, edit.value);
    for (size_t at = line.find("\r\n"); at != std::string::npos; at = line.find("\r\n", at))
        line.replace(at, 2, eol), at += eol.size();
    return line;
}

std::string InPlace(const std::string& text, const RegEdit& edit, const Layout& layout) {
    if (edit.set_value && layout.value_begin != std::string::npos) {
        return text.substr(0, layout.value_begin) + ValueText(edit, layout.eol) +
               text.substr(layout.value_end);
    }
    if (layout.section_end == std::string::npos)
        return "";
    if (!edit.set_value)
        return text;
    std::string before = text.substr(0, layout.section_end);
    if (!before.empty() && before.back() != '\n')
        before += layout.eol;
    return before + ValueText(edit, layout.eol) + layout.eol + text.substr(layout.section_end);
}

std::string AtTheEnd(const std::string& text, const RegEdit& edit, const Layout& layout) {
    std::string out = layout.has_header ? text : std::string(kExportHeader) + layout.eol;
    if (!out.empty() && out.back() != '\n')
        out += layout.eol;
    out += layout.eol + "[" + edit.key_path + "]" + layout.eol;
    if (edit.set_value)
        out += ValueText(edit, layout.eol) + layout.eol;
    return out;
}

bool ReadsAs(const std::string& text, const std::vector<RegKey>& expected) {
    std::vector<RegKey> keys;
    std::string error;
    return !text.empty() && ParseRegFile(text, "", &keys, &error) && SameKeys(keys, expected);
}

}  // namespace

bool SameKeys(const std::vector<RegKey>& a, const std::vector<RegKey>& b) {
    if (a.size() != b.size())
        return false;
    std::vector<RegKey> others = b;
    for (const RegKey& key : a) {
        const RegKey* found = FindKey(others, key.path);
        if (found == nullptr || found->values.size() != key.values.size())
            return false;
        for (size_t i = 0; i < key.values.size(); ++i) {
            if (!SameName(found->values[i].first, key.values[i].first) ||
                !(found->values[i].second == key.values[i].second)) {
                return false;
            }
        }
    }
    return true;
}

std::string EditRegText(const std::string& text, const RegEdit& edit,
                        const std::vector<RegKey>& expected) {
    const Layout layout = Scan(text, edit);
    if (layout.has_header) {
        const std::string edited = InPlace(text, edit, layout);
        if (ReadsAs(edited, expected))
            return edited;
    }
    const std::string appended = AtTheEnd(text, edit, layout);
    if (ReadsAs(appended, expected))
        return appended;
    return FormatRegFile(expected);
}

}  // namespace platform::registry::internal
