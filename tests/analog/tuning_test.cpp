#include "analog/keyboard_tuning.h"
#include "analog/tuning.h"
#include "analog/tuning_scala.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/report.h"
#include "tests/support/alloc_counter.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMiddleCHz = 261.6255653;

double cents(double ratio) { return 1200.0 * std::log2(ratio); }
double hz(float pitch) { return kMiddleCHz * std::exp2(pitch); }

// Five-limit just intonation, the classic test scale.
const char* const kJustScale = "! just.scl\n"
                               "!\n"
                               "Five-limit just intonation\n"
                               " 12\n"
                               "!\n"
                               " 16/15\n 9/8\n 6/5\n 5/4\n 4/3\n 45/32\n 3/2\n 8/5\n 5/3\n 9/5\n 15/8\n 2/1\n";
const double kJustRatios[12] = {16. / 15, 9. / 8, 6. / 5, 5. / 4, 4. / 3, 45. / 32,
                                3. / 2,   8. / 5, 5. / 3, 9. / 5, 15. / 8, 2.};

std::vector<std::string> g_log;
void capture(const char* line) { g_log.emplace_back(line); }

// A temporary folder for scale files, and the log sink that catches the warnings.
class ScalaFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("mellora_scala_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        g_log.clear();
        kel_set_log_sink(capture);
    }
    void TearDown() override {
        kel_set_log_sink(nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    fs::path dir_;
};

TEST(Tuning, EqualTemperamentTable) {
    float t[kTuningNotes];
    CTuningEqualTemperament().fill_table(t);
    EXPECT_FLOAT_EQ(t[0], -5.0f);
    EXPECT_FLOAT_EQ(t[127], 67.0f / 12.0f);
    EXPECT_EQ(t[60], 0.0f);
    EXPECT_NEAR(hz(t[69]), 440.0, 1e-3);
    for (int i = 1; i < kTuningNotes; ++i) EXPECT_NEAR(cents(hz(t[i]) / hz(t[i - 1])), 100.0, 1e-3);
}

TEST_F(ScalaFiles, JustScaleMapsFromTheBaseNote) {
    CKeyboardTuning k;
    ASSERT_TRUE(k.load_scala_file(write("just.scl", kJustScale), 69));
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(k.type(), CKeyboardTuning::kScala);
    EXPECT_EQ(k.scala().description(), "just.scl");
    const float* t = k.table();
    EXPECT_FLOAT_EQ(t[69], 0.75f);
    EXPECT_FLOAT_EQ(t[81], 1.75f);
    EXPECT_NEAR(hz(t[69]), 440.0, 1e-3);
    // Every note, above and below the base, sits at its degree's just ratio from A.
    for (int note = 0; note < kTuningNotes; ++note) {
        const int rel = note - 69;
        const int octave = static_cast<int>(std::floor(rel / 12.0));
        const int step = rel - 12 * octave;
        const double expected = 1200.0 * octave + (step ? cents(kJustRatios[step - 1]) : 0.0);
        EXPECT_NEAR(cents(hz(t[note]) / 440.0), expected, 2e-3) << "note " << note;
    }
    // The base note follows "tuning_note_ref": from C the fifth above is a pure 3/2.
    k.set_base_note(60);
    EXPECT_FLOAT_EQ(k.table()[60], 0.0f);
    EXPECT_NEAR(cents(hz(k.table()[67]) / kMiddleCHz), cents(1.5), 1e-3);
    k.select(CKeyboardTuning::kEqualTemperament);
    EXPECT_FLOAT_EQ(k.table()[67], 7.0f / 12.0f);
}

TEST_F(ScalaFiles, AcceptedDegreeForms) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<double> cents;
    };
    const Case cases[] = {
        {"cents with and without fraction digits", "d\n3\n100.\n-50.25\n1200.000\n", {100, -50.25, 1200}},
        {"ratio without denominator, bare integer", "d\n2\n3/\n5\n", {cents(3), cents(5)}},
        {"count with a trailing blank, CRLF, tabs", "d\r\n5 \r\n\t1/1\r\n 9/8 \r\n81/64\r\n4/3\r\n2/1\r\n",
         {0, cents(9. / 8), cents(81. / 64), cents(4. / 3), 1200}},
        {"comments anywhere, last line without its end", "!x\n!\ndesc\n!\n2\n!c\n701.955\n!c\n2/1",
         {701.955, 1200}},
        {"degree lines after the count are ignored", "d\n1\n2/1\nnot a degree\n", {1200}},
        {"ratios beyond 64 bits", "d\n1\n19383245667680019896796723/19342813113834066795298816\n",
         {cents(19383245667680019896796723.0 / 19342813113834066795298816.0)}},
        {"an empty count line means no degrees", "d\n\n", {}},
        {"leading zeros in the count", "d\n00001\n3/2\n", {cents(1.5)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTuningScala s;
        ASSERT_TRUE(s.read_scl(c.file, "folder/sub\\x.scl"));
        EXPECT_EQ(s.description(), "x.scl");
        ASSERT_EQ(s.degree_count(), static_cast<int>(c.cents.size()));
        for (std::size_t i = 0; i < c.cents.size(); ++i) EXPECT_NEAR(s.degrees()[i], c.cents[i], 1e-3);
    }
}

TEST_F(ScalaFiles, MalformedFilesWarnSelectEqualTemperamentAndKeepThePreviousScale) {
    const std::string long_digits(100000, '7');
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 17) & 0xff);
    struct Case {
        const char* name;
        std::string file;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"description only: count missing", "a scale\n"},
        {"only comments", "! a\n! b\n"},
        {"count with letters", "d\n12a\n1/1\n"},
        {"negative count", "d\n-2\n1/1\n2/1\n"},
        {"count that lies (3 announced, 2 present)", "d\n3\n9/8\n2/1\n"},
        {"count beyond the degree limit", "d\n9000\n2/1\n"},
        {"count beyond any integer", "d\n99999999999999999999999999\n2/1\n"},
        {"zero ratio", "d\n1\n0/1\n"},
        {"zero as a bare integer", "d\n1\n0\n"},
        {"zero denominator", "d\n1\n3/0\n"},
        {"negative ratio", "d\n1\n-3/2\n"},
        {"negative bare integer", "d\n1\n-2\n"},
        {"empty numerator", "d\n1\n/2\n"},
        {"huge ratio", "d\n1\n" + long_digits + "/1\n"},
        {"huge cents", "d\n1\n" + long_digits + ".5\n"},
        {"cents beyond 100 octaves", "d\n1\n120000.5\n"},
        {"trailing comment after a degree", "d\n1\n100.0 ! semitone\n"},
        {"blanks inside a ratio", "d\n1\n3 / 2\n"},
        {"exponent", "d\n1\n1e3\n"},
        {"plus sign", "d\n1\n+100.0\n"},
        {"lone point", "d\n1\n.\n"},
        {"lone minus", "d\n1\n-\n"},
        {"two points", "d\n1\n1.2.3\n"},
        {"empty degree line", "d\n2\n100.0\n\n"},
        {"NUL inside a degree", std::string("d\n1\n10\0.0\n", 10)},
        {"binary junk", junk},
        {"a count line without end", "d\n" + long_digits},
        {"larger than any scale file", "d\n1\n2/1\n" + std::string(kMaxScaleFileBytes, '!')},
    };
    CKeyboardTuning k;
    const std::string good = write("good.scl", kJustScale);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(k.load_scala_file(good, 69));
        float equal[kTuningNotes];
        CTuningEqualTemperament().fill_table(equal);
        g_log.clear();

        EXPECT_FALSE(k.load_scala_file(write("bad.scl", c.file), 60));
        ASSERT_EQ(g_log.size(), 1u);
        EXPECT_NE(g_log[0].find("<warning> Error in Scala file."), std::string::npos) << g_log[0];
        EXPECT_EQ(g_log[0].substr(g_log[0].size() - 20), "Error in Scala file.");
        EXPECT_EQ(k.type(), CKeyboardTuning::kEqualTemperament);
        for (int i = 0; i < kTuningNotes; ++i) ASSERT_EQ(k.table()[i], equal[i]) << i;
        // The scale loaded before is untouched: switching back brings it again.
        EXPECT_EQ(k.scala().description(), "good.scl");
        EXPECT_EQ(k.scala().degree_count(), 12);
        EXPECT_EQ(k.scala().base_note(), 69);
        k.select(CKeyboardTuning::kScala);
        EXPECT_FLOAT_EQ(k.table()[81], 1.75f);
    }
}

TEST_F(ScalaFiles, UnreadablePathsWarnLikeMalformedFiles) {
    const std::string paths[] = {
        dir_.string(),                       // a directory
        (dir_ / "missing.scl").string(),     // no such file
        "/proc/self/mem",                    // a regular file whose read fails
        "",
    };
    CKeyboardTuning k;
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        g_log.clear();
        EXPECT_FALSE(k.load_scala_file(p, 60));
        ASSERT_EQ(g_log.size(), 1u);
        EXPECT_NE(g_log[0].find("Error in Scala file."), std::string::npos);
        EXPECT_EQ(k.type(), CKeyboardTuning::kEqualTemperament);
        EXPECT_FLOAT_EQ(k.table()[0], -5.0f);
    }
}

TEST(Tuning, ScalaWithoutDegreesPlaysEveryNoteAtTheBasePitch) {
    CKeyboardTuning k;
    k.select(CKeyboardTuning::kScala);
    for (int i = 0; i < kTuningNotes; ++i) ASSERT_EQ(k.table()[i], 0.0f);
    k.set_base_note(69);
    for (int i = 0; i < kTuningNotes; ++i) ASSERT_EQ(k.table()[i], 0.75f);
}

TEST(Tuning, ScalaTextFormat) {
    CTuningScala s;
    ASSERT_TRUE(s.read_scl("d\n2\n100.0\n2/1\n", "/home/u/a b.scl"));
    EXPECT_EQ(s.write_text(), "Version 2 \n7 a b.scl\n60\n0\n2\n100\n1200\n");
}

TEST(Tuning, ScalaScaleParameterRoundTrip) {
    CTuningScala source;
    ASSERT_TRUE(source.read_scl(kJustScale, "my just scale.scl"));
    source.set_base_note(62);
    TuningParameter out(&source);
    const std::string token = out.value_text();
    EXPECT_EQ(token.find_first_of(" \t\r\n"), std::string::npos);
    EXPECT_EQ(out.display_text(), "my just scale.scl");

    CTuningScala copy;
    TuningParameter in(&copy);
    in.set_value_text(token);
    EXPECT_EQ(copy.description(), "my just scale.scl");
    EXPECT_EQ(copy.base_note(), 62);
    EXPECT_EQ(copy.degrees(), source.degrees());
    float a[kTuningNotes], b[kTuningNotes];
    source.fill_table(a);
    copy.fill_table(b);
    for (int i = 0; i < kTuningNotes; ++i) ASSERT_EQ(a[i], b[i]) << i;
    EXPECT_EQ(in.value_text(), token);
}

TEST(Tuning, ScalaTextReadingFaultsLeaveTheTuningReset) {
    // Older texts have no version line and no description.
    CTuningScala s;
    ASSERT_TRUE(s.read_text("69\n0.75\n2\n100\n1200\n"));
    EXPECT_EQ(s.base_note(), 69);
    EXPECT_EQ(s.degree_count(), 2);
    EXPECT_EQ(s.description(), "");

    const char* const bad_texts[] = {
        "",
        "Version 2 \n",
        "Version 2 \n99 short\n60\n0\n0\n",  // description longer than the text
        "Version 2 \n-1 x\n60\n0\n0\n",
        "60\n0\n3\n100\n1200\n",            // count lies
        "200\n0\n1\n1200\n",                // base note out of range
        "60\nnan\n1\n1200\n",
        "60\n0\n1\n1e39\n",                 // a degree that is no float
        "60\n0\n1\n200000\n",               // beyond 100 octaves
        "60\n0\n99999999999\n",
        "60\n0\n2\n100\nx\n",
    };
    for (const char* text : bad_texts) {
        SCOPED_TRACE(text);
        CTuningScala t;
        ASSERT_TRUE(t.read_scl(kJustScale, "just.scl"));
        EXPECT_FALSE(t.read_text(text));
        EXPECT_EQ(t.degree_count(), 0);
        EXPECT_EQ(t.description(), "");
        EXPECT_EQ(t.base_note(), 60);
    }

    // The parameter: text that is not Base64 resets the tuning as well.
    for (const char* token : {"!!!!", "QUJD=", "Zm9v", "="}) {
        SCOPED_TRACE(token);
        CTuningScala t;
        ASSERT_TRUE(t.read_scl(kJustScale, "just.scl"));
        TuningParameter p(&t);
        p.set_value_text(token);
        EXPECT_EQ(t.degree_count(), 0);
        EXPECT_EQ(t.description(), "");
    }
}

// Rebuilding the table runs in the render when a tuning parameter changes by message.
TEST_F(ScalaFiles, TableRebuildAllocatesNothing) {
    CKeyboardTuning k;
    ASSERT_TRUE(k.load_scala_file(write("just.scl", kJustScale), 69));
    mellora::test::AllocationCounter counter;
    for (int note = 0; note < 128; ++note) k.set_base_note(note);
    k.select(CKeyboardTuning::kEqualTemperament);
    k.select(CKeyboardTuning::kScala);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(Tuning, Version1ReferenceFrequencyConversion) {
    struct Case {
        float hz_int, hz_dec;
        int semis, octave;
        float fine;
        int out_semis, out_octave;
    };
    const double semitone = 1.0 / 12.0;
    const Case cases[] = {
        {440, 0, 0, 0, 0, 0, 0},
        {442, 0, 0, 0, static_cast<float>(std::log2(442.0 / 440.0)), 0, 0},
        {466, 16, 0, 0, static_cast<float>(std::log2(466.16 / 440.0) - semitone), 1, 0},  // about A#
        {415, 30, 0, 0, static_cast<float>(std::log2(415.30 / 440.0) + semitone), -1, 0},  // about Ab
        {466, 16, 12, 0, static_cast<float>(std::log2(466.16 / 440.0) - semitone), 1, 1},  // 13 semitones
        {466, 16, 11, 0, static_cast<float>(std::log2(466.16 / 440.0) - semitone), 0, 1},  // exactly 12
        {466, 16, 11, 3, static_cast<float>(std::log2(466.16 / 440.0) - semitone), 12, 3}, // no octave left
        {415, 30, -11, 0, static_cast<float>(std::log2(415.30 / 440.0) + semitone), 0, -1},
        {415, 30, -11, -3, static_cast<float>(std::log2(415.30 / 440.0) + semitone), -12, -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.hz_int << "." << c.hz_dec << " semis " << c.semis);
        const KeyboardTuningV2 v = convert_version1_tuning({c.hz_int, c.hz_dec, c.semis, c.octave});
        EXPECT_EQ(v.tuning_type, 0);
        EXPECT_EQ(v.tuning_note_ref, 60);
        EXPECT_NEAR(v.tuning_fine, c.fine, 1e-6);
        EXPECT_EQ(v.semitone_detune, c.out_semis);
        EXPECT_EQ(v.octave_detune, c.out_octave);
    }
    EXPECT_NEAR(convert_version1_tuning({442, 0, 0, 0}).tuning_fine, 0.00654, 1e-5);

    // Over the whole old range the transposition is kept to the cent and the fine
    // tune stays within half a semitone.
    for (int f = 377; f <= 504; ++f) {
        for (int d = 0; d < 100; d += 7) {
            for (int semis : {-12, -5, 0, 7, 12}) {
                const KeyboardTuningV2 v = convert_version1_tuning({float(f), float(d), semis, 1});
                const double before = std::log2((f + d * 0.01) / 440.0) + semis / 12.0 + 1;
                const double after = v.tuning_fine + v.semitone_detune / 12.0 + v.octave_detune;
                ASSERT_NEAR(cents(std::exp2(after - before)), 0.0, 0.01) << f << "." << d << " " << semis;
                ASSERT_LE(std::fabs(v.tuning_fine), 1.0 / 24.0 + 1e-6);
                ASSERT_LE(std::abs(v.semitone_detune), 12);
            }
        }
    }
}

} // namespace
