// Every shared record of the stand-in against the same record of the platform's public headers
// (size, alignment, each member's offset and size), and the constants and GUIDs the driver hands
// the system.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ddk.h"

namespace {

struct Number {
    std::string what;
    uint64_t value;
};

void AddGuid(std::vector<Number>& numbers, const std::string& name, const GUID& guid) {
    numbers.push_back({name + ".Data1", guid.Data1});
    numbers.push_back({name + ".Data2", guid.Data2});
    numbers.push_back({name + ".Data3", guid.Data3});
    for (int k = 0; k < 8; ++k)
        numbers.push_back({name + ".Data4[" + std::to_string(k) + "]", guid.Data4[k]});
}

std::vector<Number> StandInNumbers() {
    std::vector<Number> numbers;
#define RECORD(T)                               \
    numbers.push_back({#T " size", sizeof(T)}); \
    numbers.push_back({#T " alignment", alignof(T)});
#define PREFIX(T)
#define MEMBER(T, m)                                                    \
    numbers.push_back({#T "." #m " offset", __builtin_offsetof(T, m)}); \
    numbers.push_back({#T "." #m " size", sizeof(static_cast<T*>(nullptr)->m)});
#define CONSTANT(name) numbers.push_back({#name, (uint32_t)(name)});
#define GUID_VALUE(name) AddGuid(numbers, #name, name);
#include "shared_records.def"
#undef RECORD
#undef PREFIX
#undef MEMBER
#undef CONSTANT
#undef GUID_VALUE
    return numbers;
}

TEST(SharedRecordLayout, RecordsAndConstantsAgreeWithThePlatformHeaders) {
#ifndef CAM_HAVE_PLATFORM_LAYOUTS
    GTEST_SKIP() << "x86_64-w64-mingw32-gcc or the mingw-w64 headers are missing (apt-get install "
                    "g++-mingw-w64-x86-64 mingw-w64-x86-64-dev): nothing to compare against";
#else
    const uint64_t platform[] = {
#include "platform_layouts.inc"
    };
    const std::vector<Number> stand_in = StandInNumbers();
    ASSERT_EQ(stand_in.size(), std::size(platform));
    for (size_t i = 0; i < stand_in.size(); ++i)
        EXPECT_EQ(stand_in[i].value, platform[i]) << stand_in[i].what;
#endif
}

}  // namespace
