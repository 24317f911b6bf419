// Every shared record of the stand-in against the same record of the platform's public headers
// (size, alignment, each member's offset and size), and the constants the driver hands the system.
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
#include "shared_records.def"
#undef RECORD
#undef PREFIX
#undef MEMBER
#undef CONSTANT
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
