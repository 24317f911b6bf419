#include "reg_key.h"

namespace platform::registry::internal {
namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
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

RegKey* FindKey(std::vector<RegKey>& keys, const std::string& path) {
    for (RegKey& key : keys) {
        if (SameName(key.path, path))
            return &key;
    }
    return nullptr;
}

bool IsBelow(const std::string& path, const std::string& key) {
    return path.size() > key.size() && path[key.size()] == '\\' &&
           SameName(path.substr(0, key.size()), key);
}

bool IsAtOrBelow(const std::string& path, const std::string& key) {
    return SameName(path, key) || IsBelow(path, key);
}

}  // namespace platform::registry::internal
