// Text streams: tokens, rewinding, and creation lines read field by field.
#include <gtest/gtest.h>

#include <string>

#include "engine/text_stream.h"

TEST(TextStream, TokensPeekAndRewind) {
    KelTextReader in("  fork\tfork0 \n{ }");
    EXPECT_EQ(in.next_token(), "fork");
    const std::size_t mark = in.tell();
    EXPECT_EQ(in.next_token(), "fork0");
    EXPECT_EQ(in.peek_char(), '{');
    in.get_char();
    EXPECT_EQ(in.next_token(), "}");
    EXPECT_TRUE(in.at_end());
    EXPECT_EQ(in.next_token(), "");
    EXPECT_EQ(in.peek_char(), '\0');
    in.seek(mark);
    EXPECT_EQ(in.next_token(), "fork0");
    in.seek(1 << 30);  // beyond the end: clamped
    EXPECT_TRUE(in.at_end());
}

TEST(TextStream, CreationLinesReadFieldByField) {
    const std::string long_name(100, 'n');
    const struct {
        std::string line;
        bool ok;
        float rate;
        int size;
        std::string name;
    } cases[] = {
        {"44100 1024 fork3", true, 44100, 1024, "fork3"},
        {"  48000.5\t512   tremolo  ", true, 48000.5f, 512, "tremolo"},
        {"44100 1024 " + long_name, true, 44100, 1024, long_name.substr(0, 63)},
        {"44100 1024", false, 44100, 1024, ""},
        {"44100 10.5 fork3", false, 44100, 0, ""},   // an integer field with a fraction
        {"44100x 1024 fork3", false, 0, 0, ""},
        {"", false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        KelDescriptor d(c.line);
        float rate = 0;
        int size = 0;
        std::string name;
        const bool ok = d.f(rate) && d.d(size) && d.s(name);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(d.ok(), c.ok);
        EXPECT_EQ(rate, c.rate);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(name, c.name);
    }
    KelDescriptor failed("x 1 name");
    float f = 0;
    int i = 0;
    EXPECT_FALSE(failed.f(f));
    EXPECT_FALSE(failed.d(i));  // a failed scanner stays failed
}

TEST(TextStream, NumbersAreLocaleFree) {
    EXPECT_EQ(format_float(0.5f), "0.5");
    EXPECT_EQ(format_float(1234567.0f), "1.23457e+06");
    EXPECT_EQ(format_float(-3.0f), "-3");
    float v = 0;
    std::size_t used = 0;
    EXPECT_TRUE(parse_float("0,5", v, &used));  // a decimal comma is not ours
    EXPECT_EQ(v, 0);
    EXPECT_EQ(used, 1u);
    int n = 0;
    EXPECT_TRUE(parse_int("+12", n));
    EXPECT_EQ(n, 12);
    EXPECT_FALSE(parse_int("99999999999", n));
    EXPECT_FALSE(parse_int("x", n));
}
