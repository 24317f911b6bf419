// The colour settings and the fixed-point matrix they publish.
#include <gtest/gtest.h>

#include <cmath>

#include "imaging/sine_cosine.h"
#include "tests/imaging/imaging_support.h"

namespace {

using imaging_test::Camera;
using Matrix = std::vector<LONG>;

Matrix Rows(std::initializer_list<LONG> values) {
    return Matrix(values);
}

TEST(ColorModel, WorkedMatricesThroughTheSetters) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    {
        Camera camera(rig, true);
        EXPECT_EQ(camera.Fixed(),
                  Rows({87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}));
        SetBrightness(camera.get(), 0);
        EXPECT_EQ(camera.Fixed(), Rows({87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, -16320,
                                        -16320, -16320, 64}));
    }
    {
        // A fresh processor without any push starts at the same matrix.
        FrameProcessor* processor = CreateFrameProcessor();
        ASSERT_NE(processor, nullptr);
        LONG fixed[16];
        SnapshotFixedMatrix(processor, fixed);
        EXPECT_EQ(Matrix(fixed, fixed + 16),
                  Rows({87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}));
        FreeFrameProcessor(processor);
    }
    struct Case {
        LONG brightness, contrast, saturation, hue;
        Matrix expected;
    };
    const Case cases[] = {
        {255, 10, 10, 0, Rows({64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64})},
        {510, 10, 10, 0, Rows({64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 16320, 16320, 16320, 64})},
        {0, 10, 10, 0, Rows({64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, -16320, -16320, -16320, 64})},
        {255, 20, 10, 0, Rows({128, 0, 0, 0, 0, 128, 0, 0, 0, 0, 128, 0, -8192, -8192, -8192, 64})},
        {255, 0, 10, 0, Rows({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8192, 8192, 8192, 64})},
        {255, 10, 0, 0, Rows({20, 20, 20, 0, 39, 39, 39, 0, 5, 5, 5, 0, 0, 0, 0, 64})},
        {300, 15, 10, 0, Rows({96, 0, 0, 0, 0, 96, 0, 0, 0, 0, 96, 0, 224, 224, 224, 64})},
        {255, 10, 10, 90, Rows({0, 37, -37, 0, 10, 47, 84, 0, 53, -21, 16, 0, 0, 0, 0, 64})},
    };
    for (const Case& c : cases) {
        Camera camera(rig, true);
        SetColorCorrection(camera.get(), 0);
        SetBrightness(camera.get(), c.brightness);
        SetContrast(camera.get(), c.contrast);
        SetSaturation(camera.get(), c.saturation);
        SetHue(camera.get(), c.hue);
        EXPECT_EQ(camera.Fixed(), c.expected)
            << "brightness " << c.brightness << " contrast " << c.contrast << " saturation "
            << c.saturation << " hue " << c.hue;
    }
}

TEST(ColorModel, SettersClampAndGettersReport) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    for (bool with_processor : {false, true}) {
        Camera camera(rig, with_processor);
        CameraContext* c = camera.get();
        SetBrightness(c, -5);
        EXPECT_EQ(GetBrightness(c), 0);
        if (with_processor)
            EXPECT_EQ(camera.Fixed()[12], -16320);
        SetBrightness(c, 600);
        EXPECT_EQ(GetBrightness(c), 510);
        SetRedGain(c, 0);
        EXPECT_EQ(GetRedGain(c), 1);
        SetGreenGain(c, 1000);
        EXPECT_EQ(GetGreenGain(c), 512);
        SetBlueGain(c, -7);
        EXPECT_EQ(GetBlueGain(c), 1);
        SetHue(c, 360);
        EXPECT_EQ(GetHue(c), 359);
        SetHue(c, -1);
        EXPECT_EQ(GetHue(c), 0);
        SetContrast(c, 21);
        EXPECT_EQ(GetContrast(c), 20);
        SetSaturation(c, -3);
        EXPECT_EQ(GetSaturation(c), 0);
        SetColorCorrection(c, 7);
        EXPECT_EQ(GetColorCorrection(c), 7);
        SetColorEnable(c, -2);
        EXPECT_EQ(GetColorEnable(c), -2);
        if (with_processor) {
            FrameProcessor* p = camera.processor();
            EXPECT_EQ(p->brightness, 510);
            EXPECT_EQ(p->red_gain, 1);
            EXPECT_EQ(p->green_gain, 512);
            EXPECT_EQ(p->hue, 0);
            EXPECT_EQ(p->contrast, 20);
            EXPECT_EQ(p->color_enable, -2);
        }
    }
}

TEST(ColorModel, RepeatedToneValueDoesNotRebuild) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    Camera camera(rig, true);
    FrameProcessor* p = camera.processor();
    const LONG start = p->rebuild_count;
    SetContrast(camera.get(), 10);  // the value already in force
    EXPECT_EQ(p->rebuild_count, start);
    SetContrast(camera.get(), 12);
    EXPECT_EQ(p->rebuild_count, start + 1);
    SetContrast(camera.get(), 12);
    SetContrast(camera.get(), 25);  // clamps to 20: a change
    SetContrast(camera.get(), 30);  // clamps to 20 again: none
    EXPECT_EQ(p->rebuild_count, start + 2);
    SetColorCorrection(camera.get(), 1);
    SetHue(camera.get(), 0);
    EXPECT_EQ(p->rebuild_count, start + 2);
}

TEST(ColorModel, PushRebuildsOnlyWhatDiffersFromTheStartValues) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    Camera camera(rig, false);
    CameraContext* c = camera.get();
    c->bayer_phase = 2;
    c->white_balance_auto = 1;
    c->red_gain = 200;
    c->saturation = 0;
    camera.Attach();
    FrameProcessor* p = camera.processor();
    EXPECT_EQ(p->rebuild_count, 2);  // the creation's own, and saturation
    EXPECT_EQ(p->conversion.bayer_phase, 2);
    EXPECT_EQ(p->white_balance_auto, 1);
    EXPECT_EQ(p->red_gain, 200);
    EXPECT_EQ(p->saturation, 0);
}

TEST(ColorModel, WhiteBalanceOffAdoptsTheMeasuredGains) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    Camera camera(rig, true);
    CameraContext* c = camera.get();
    SetWhiteBalanceAuto(c, 1);
    // What a frame's measurement leaves behind, outside the manual range.
    InterlockedExchange(&camera.processor()->red_gain, 900);
    InterlockedExchange(&camera.processor()->blue_gain, 70);
    EXPECT_EQ(c->red_gain, 128);
    EXPECT_EQ(GetRedGain(c), 900);  // the getter refreshes
    InterlockedExchange(&camera.processor()->red_gain, 950);
    SetWhiteBalanceAuto(c, 0);
    EXPECT_EQ(c->red_gain, 950);
    EXPECT_EQ(c->green_gain, 128);
    EXPECT_EQ(c->blue_gain, 70);
    camera.Detach();
    // Without a processor the camera's own values stand, and switching changes no gain.
    SetWhiteBalanceAuto(c, 1);
    SetWhiteBalanceAuto(c, 0);
    EXPECT_EQ(GetRedGain(c), 950);
    EXPECT_EQ(GetWhiteBalanceAuto(c), 0);
}

TEST(ColorModel, MatrixProductOrderAndTransform) {
    // Brightness before contrast: (x + 45) * 1.5 - 64 for x = 100 is 153.5.
    double brightness[16];
    double contrast[16];
    BuildBrightnessMatrix(brightness, 300);
    BuildContrastMatrix(contrast, 15);
    double composite[16];
    MultiplyColorMatrix(composite, contrast, brightness);
    double r;
    double g;
    double b;
    TransformColorPoint(composite, 100, 0, 255, &r, &g, &b);
    EXPECT_DOUBLE_EQ(r, 153.5);
    EXPECT_DOUBLE_EQ(g, 3.5);
    EXPECT_DOUBLE_EQ(b, 386.0);
    // The product may land on an operand.
    MultiplyColorMatrix(brightness, contrast, brightness);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(brightness[k], composite[k]);
}

TEST(ColorModel, HueKeepsGreyAndSaturationZeroGivesGrey) {
    double hue[16];
    for (LONG degrees : {0, 45, 90, 180, 359}) {
        BuildHueMatrix(hue, degrees);
        double r;
        double g;
        double b;
        TransformColorPoint(hue, 100, 100, 100, &r, &g, &b);
        EXPECT_NEAR(r, 100, 1e-3) << degrees;
        EXPECT_NEAR(g, 100, 1e-3) << degrees;
        EXPECT_NEAR(b, 100, 1e-3) << degrees;
    }
    double saturation[16];
    BuildSaturationMatrix(saturation, 0);
    double r;
    double g;
    double b;
    TransformColorPoint(saturation, 10, 200, 90, &r, &g, &b);
    EXPECT_DOUBLE_EQ(r, g);
    EXPECT_DOUBLE_EQ(g, b);
}

// The driver's own sine and cosine give the float nearest to the library's double-precision value
// for every angle a hue setting gives, and for the same angles turned backwards.
TEST(ColorModel, HueSineAndCosineAreTheNearestFloats) {
    for (LONG degrees = -359; degrees <= 359; ++degrees) {
        const float angle = (float)degrees * 3.1415927f / 180.0f;
        float sine;
        float cosine;
        SineCosine(angle, &sine, &cosine);
        EXPECT_EQ(sine, (float)std::sin((double)angle)) << degrees;
        EXPECT_EQ(cosine, (float)std::cos((double)angle)) << degrees;
    }
}

}  // namespace
