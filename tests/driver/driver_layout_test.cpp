// The driver's own records have one layout in the Linux build and in the driver image, so that the
// tests and the stand-in read a device the image runs as they read one the built-in driver runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/camera_context.h"
#include "driver/capture_worker.h"
#include "imaging/frame_processor.h"

namespace {

struct Number {
    std::string what;
    uint64_t value;
};

std::vector<Number> LinuxNumbers() {
    std::vector<Number> numbers;
#define RECORD(T)                               \
    numbers.push_back({#T " size", sizeof(T)}); \
    numbers.push_back({#T " alignment", alignof(T)});
#define MEMBER(T, m)                                                    \
    numbers.push_back({#T "." #m " offset", __builtin_offsetof(T, m)}); \
    numbers.push_back({#T "." #m " size", sizeof(static_cast<T*>(nullptr)->m)});
#include "driver_records.def"
#undef RECORD
#undef MEMBER
    return numbers;
}

TEST(DriverRecordLayout, TheImageLaysOutTheDriversRecordsAsTheLinuxBuildDoes) {
#ifndef CAM_HAVE_IMAGE_LAYOUTS
    GTEST_SKIP() << "x86_64-w64-mingw32-g++ is missing (apt-get install g++-mingw-w64-x86-64): "
                    "nothing to compare against";
#else
    const uint64_t image[] = {
#include "driver_layouts.inc"
    };
    const std::vector<Number> linux_build = LinuxNumbers();
    ASSERT_EQ(linux_build.size(), std::size(image));
    for (size_t i = 0; i < linux_build.size(); ++i)
        EXPECT_EQ(linux_build[i].value, image[i]) << linux_build[i].what;
#endif
}

}  // namespace
