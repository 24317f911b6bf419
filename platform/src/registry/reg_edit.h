// Changing a store file's text one key or one value at a time. Every line the change does not
// touch stays as it was (comments, order, spacing, line ends), so that a hand-kept file stays the
// hand's.
#pragma once

#include <string>
#include <vector>

#include "reg_key.h"

namespace platform::registry::internal {

struct RegEdit {
    std::string key_path;
    bool set_value = false;  // false: the key is made, nothing else
    std::string name;
    RegValue value;
};

// `text` (UTF-8, without a byte-order mark; empty for a file not there yet) with `edit` applied.
// `expected` is what the new text must read as: the old text's keys with the edit applied. When
// an edit in place would read otherwise (a file that lists the key in unusual ways), the change
// goes into a section of its own at the end, and as a last resort the whole file is written anew.
std::string EditRegText(const std::string& text, const RegEdit& edit,
                        const std::vector<RegKey>& expected);

// Whether two stores read the same: the same keys, each with the same values in the same order.
bool SameKeys(const std::vector<RegKey>& a, const std::vector<RegKey>& b);

}  // namespace platform::registry::internal
