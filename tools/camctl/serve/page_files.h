// The preview page's files, built into camctl from tools/camctl/serve/page/.
#pragma once

#include <string_view>
#include <vector>

namespace camctl::serve {

struct PageFile {
    std::string_view name;  // page.html, page.css, page.js
    std::string_view bytes;
};

const std::vector<PageFile>& PageFiles();

}  // namespace camctl::serve
