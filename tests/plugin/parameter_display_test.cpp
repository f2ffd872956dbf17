#include <gtest/gtest.h>

#include <cmath>

#include "plugin/mpv_parameter_set.h"
#include "plugin/parameter_display.h"

TEST(ParameterDisplay, TextByDisplayType) {
    struct Case {
        int type;
        float v;
        int k;
        const char* text;
    };
    const Case cases[] = {
        {0, 3.7f, 42, "42"},
        {1, 0.456f, 0, "0.46"},     {1, 5.55f, 0, "5.6"},      {22, -12.4f, 0, "-12"},
        {2, 0.0f, 64, "50%"},       {2, 0.0f, 127, "100%"},    {2, 0.0f, 32, "25.2%"},
        {3, 5.0f, 0, "5.00 Hz"},    {3, 440.0f, 0, "440.0 Hz"}, {3, 12000.0f, 0, "12000 Hz"},
        {4, -3.25f, 0, "-3.2 dB"},  {4, 12.0f, 0, "12 dB"},
        {5, 6.0f, 0, "-inf dB"},    {5, 6.0f, 10, "6.0 dB"},
        {6, 0.505f, 0, "50%"},      {7, 0.5f, 0, "0%"},        {7, 0.5f, 3, "50%"},
        {8, 90.0f, 0, "90.0 BPM"},  {8, 120.0f, 0, "120 BPM"},
        {9, 0, 1, "On"},            {9, 1, 0, "Off"},
        {10, 0.0f, 5, "-inf dB"},   {10, 0.5f, 5, "-6.0 dB"},  {10, 0.01f, 5, "-40 dB"},
        {11, 0.5f, 0, "-inf dB"},   {11, 1.0f, 7, "0.0 dB"},
        {12, 2.0f, 0, "120 BPM"},   {12, 1.0f, 0, "60.0 BPM"},
        {13, 60.0f, 0, "1.0 Hz"},
        {14, 0.25f, 0, "250 ms"},   {14, 2.5f, 0, "2.5 s"},    {14, 150.0f, 0, "150 s"},
        {15, 0.5f, 0, "0 s"},       {15, 0.5f, 3, "500 ms"},   {15, 3.0f, 9, "3.0 s"},
        {16, 0.0125f, 0, "12.50 ms"},
        {17, 0, 1, "Stereo"},       {17, 0, 0, "Mono"},
        {18, 0, 1, "Rhodes"},       {18, 0, 0, "Triangular"},
        {19, 0, 1, "External"},     {19, 0, 0, "Internal"},
        {20, 4.0f, 0, "250 ms"},    {20, 0.5f, 0, "2.0 s"},    {20, 0.0f, 0, ""},
        {21, 0, 1, "Poly"},         {21, 0, 0, "Mono"},
        {23, 1, 1, ""},             {-1, 1, 1, ""},
        {1, NAN, 0, "nan"},         {6, INFINITY, 0, "0%"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parameter_display_text(c.type, c.v, c.k), c.text) << "type " << c.type << " v " << c.v;
}

TEST(ParameterDisplay, NameVariantThatFits) {
    const char* text = "Mallet Noise Keyboard Scaling\nNoise Keyboard Scaling\nNoiseKbd\nNzKb\nNzK";
    EXPECT_EQ(choose_name_variant(text, 24), "Noise Keyboard Scaling");
    EXPECT_EQ(choose_name_variant(text, 255), "Mallet Noise Keyboard Scaling");
    EXPECT_EQ(choose_name_variant(text, 4), "NzKb");
    EXPECT_EQ(choose_name_variant(text, 2), "Nz");
    EXPECT_EQ(choose_name_variant("Reverb Decay\nRvbDecay\nRvDe\nRvD\n", 3), "RvD");
    EXPECT_EQ(choose_name_variant("Reverb Preset\nRvbPrest\n\nRvPr\nRvP", 4), "RvPr");
    EXPECT_EQ(choose_name_variant("", 8), "");
}

TEST(ParameterMapping, NormaliseAndDenormaliseByKind) {
    MpvParameterDescription continuous;
    MpvParameterDescription list;
    list.kind = kDescriptionList;
    list.maximum = list.range = 24;
    MpvParameterDescription toggle;
    toggle.kind = kDescriptionSwitch;
    toggle.maximum = toggle.range = 1;

    EXPECT_EQ(mpv_denormalise(continuous, 1.0f), 127);
    EXPECT_EQ(mpv_denormalise(continuous, 0.5f), 63);
    EXPECT_EQ(mpv_denormalise(continuous, 126.99995f / 127), 127);
    EXPECT_EQ(mpv_denormalise(continuous, NAN), 0);
    EXPECT_EQ(mpv_denormalise(list, 0.5f), 12);
    EXPECT_EQ(mpv_denormalise(list, 0.52f), 12);
    EXPECT_EQ(mpv_denormalise(list, 0.53f), 13);  // 12.72 rounds up
    EXPECT_EQ(mpv_denormalise(toggle, 0.3f), 1);
    EXPECT_EQ(mpv_denormalise(toggle, 0.0f), 0);

    EXPECT_FLOAT_EQ(mpv_normalise(continuous, 63.5f), 0.5f);
    EXPECT_FLOAT_EQ(mpv_normalise(list, 11.6f), 0.5f);
    EXPECT_FLOAT_EQ(mpv_normalise(toggle, 0.2f), 1.0f);
    EXPECT_FLOAT_EQ(mpv_normalise(toggle, 0.0f), 0.0f);
}
