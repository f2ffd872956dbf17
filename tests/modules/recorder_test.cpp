// The recorder and its sound sink: limiter values in the written samples, WAV and AIFF
// headers after a long take (checked byte by byte and by an independent reader, soxi),
// the state text, and the file choice through the headless save dialog.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/modular.h"
#include "framework/dialogs.h"
#include "framework/files.h"
#include "framework/platform_thread.h"
#include "modules/kel_generic_sound_sink.h"
#include "modules/recorder.h"
#include "tests/framework/platform_test_support.h"
#include "tests/support/alloc_counter.h"

using mellora::test::read_whole_file;
using mellora::test::TempFolder;

namespace {

uint32_t le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}
uint32_t be32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}
int16_t le16s(const std::string& b, size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}
int16_t be16s(const std::string& b, size_t at) {
    return static_cast<int16_t>((static_cast<uint8_t>(b[at]) << 8) | static_cast<uint8_t>(b[at + 1]));
}

// One line of soxi's answer about a file; empty when soxi could not read it.
std::string soxi(const char* option, const std::string& path) {
    const std::string cmd = std::string("soxi ") + option + " '" + path + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return {};
    char line[256] = {};
    std::string out = std::fgets(line, sizeof line, p) ? line : "";
    const int status = ::pclose(p);
    if (status != 0) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

bool soxi_available() { return std::system("soxi >/dev/null 2>&1; command -v soxi >/dev/null 2>&1") == 0; }

// Writes `frames` frames of a counting pattern (left k, right -k in 16-bit steps) into a
// sink, waiting whenever the ring is full, as an audio thread with a slow disk would.
void write_pattern(KelGenericSoundSink& sink, int frames, int block = 512) {
    std::vector<float> l(block), r(block);
    int done = 0;
    while (done < frames) {
        const int n = std::min(block, frames - done);
        for (int i = 0; i < n; ++i) {
            const int k = (done + i) % 32000;
            l[i] = (k + 0.5f) / 32767.0f;
            r[i] = -(k + 0.5f) / 32767.0f;
        }
        const float* ch[2] = {l.data(), r.data()};
        while (sink.write(2, n, ch) == 0) kel_sleep_ms(1);
        done += n;
    }
}

// Waits (at most 5 s) until the sink's writer has finished `n` files.
bool wait_for_takes(const KelGenericSoundSink& sink, int n) {
    for (int i = 0; i < 1000 && sink.takes_finished() < n; ++i) kel_sleep_ms(5);
    return sink.takes_finished() >= n;
}

// Records observer traffic.
struct Seen : ModuleObserver {
    std::vector<int> told_ids;
    std::vector<std::string> strings;
    void told(t_module*, int id) override { told_ids.push_back(id); }
    void received_string(t_module*, int, const std::string& v) override { strings.push_back(v); }
    bool was_told(int id) const { return std::find(told_ids.begin(), told_ids.end(), id) != told_ids.end(); }
};

struct RecorderRig {
    TempFolder folder;
    t_module* m = recorder_create("44100 1024 Recorder");
    std::vector<float> left = std::vector<float>(1024), right = std::vector<float>(1024);
    Seen seen;

    RecorderRig() {
        m->id = 620;
        module_set_persistence(m, 1);
        m->observer = &seen;
        m->io = {t_io_entry{left.data(), nullptr}, t_io_entry{right.data(), nullptr}};
        kel_headless_file_dialog().clear();
    }
    ~RecorderRig() {
        if (m) module_free(m);
        kel_headless_file_dialog().clear();
    }
    void send(int id, int value = 0) {
        t_message msg = make_int_message(m->id, id, value);
        m->receive_message(m, &msg);
    }
    int param(int id) {
        t_message out;
        return m->get_message(m, id, &out) == 0 ? out.value.i : -1;
    }
    bool choose(const std::string& path, int type = 0) {
        kel_headless_file_dialog().script(path, type);
        return recorder_choose_file(m);
    }
    void block(const std::vector<float>& l, const std::vector<float>& r) {
        std::copy(l.begin(), l.end(), left.begin());
        std::copy(r.begin(), r.end(), right.begin());
        m->process(m, static_cast<int>(l.size()));
    }
    // Destroying the module ends the take, finishes the file and joins the writer.
    void finish() {
        module_free(m);
        m = nullptr;
    }
};

} // namespace

TEST(RecorderLimiter, CurvesMeetTheLineAndApproachFullScale) {
    EXPECT_FLOAT_EQ(recorder_hard_limit(1.2f), 1.0f);
    EXPECT_FLOAT_EQ(recorder_hard_limit(-3.0f), -1.0f);
    EXPECT_NEAR(recorder_soft_limit(1.2f), 1.0f - 0.3f / (1.5555556f * 1.5555556f * 1.5555556f), 1e-6f);
    EXPECT_NEAR(recorder_soft_limit(-1.2f), -recorder_soft_limit(1.2f), 1e-6f);
    EXPECT_FLOAT_EQ(recorder_soft_limit(0.5f), 0.5f);
    // Continuous with slope 1 at the knee, below 1 everywhere above it.
    EXPECT_NEAR(recorder_soft_limit(0.7001f) - recorder_soft_limit(0.7f), 0.0001f, 2e-6f);
    for (float x : {0.71f, 1.0f, 2.0f, 10.0f, 1e30f, INFINITY}) {
        EXPECT_LE(recorder_soft_limit(x), 1.0f) << x;
        EXPECT_GT(recorder_soft_limit(x), 0.7f) << x;
    }
}

TEST(Recorder, WritesLimitedSixteenBitSamplesAndReportsClipping) {
    RecorderRig rig;
    const std::string path = rig.folder / "limits.wav";
    ASSERT_TRUE(rig.choose(path));
    rig.send(kRecorderLimiter, 0);  // hard
    rig.send(kRecorderStart);
    ASSERT_EQ(rig.param(kRecorderParamRecording), 1);
    EXPECT_EQ(rig.param(kRecorderParamClipped), 0);
    const std::vector<float> values = {1.2f, 0.5f, -1.2f, -0.5f, 0.0f, 1.0f};
    std::vector<float> negated;
    for (float v : values) negated.push_back(-v);
    rig.seen.told_ids.clear();
    rig.block(values, negated);
    EXPECT_EQ(rig.param(kRecorderParamClipped), 1);
    EXPECT_TRUE(rig.seen.was_told(kRecorderParamClipped));
    rig.send(kRecorderLimiter, 1);  // soft
    EXPECT_EQ(rig.param(kRecorderParamSoft), 1);
    rig.block(values, negated);
    rig.finish();

    const std::string b = read_whole_file(path);
    ASSERT_EQ(b.size(), 44u + 12 * 4);
    const int16_t expected[12] = {32767, 16383, -32767, -16383, 0, 32767,  // hard
                                  30155, 16383, -30155, -16383, 0, 28619}; // soft: 1 - 0.3 / (4/3)^3 at 1.0
    for (int f = 0; f < 12; ++f) {
        EXPECT_EQ(le16s(b, 44 + 4 * f), expected[f]) << "frame " << f;
        EXPECT_EQ(le16s(b, 46 + 4 * f), -expected[f]) << "frame " << f;
    }
}

TEST(Recorder, CleanTakeIsNotClippedAndNaNBecomesSilence) {
    RecorderRig rig;
    const std::string path = rig.folder / "clean.aiff";
    ASSERT_TRUE(rig.choose(path, 1));
    rig.send(kRecorderStart);
    rig.block({0.5f, NAN, -0.25f}, {1.0f, -1.0f, 0.0f});
    EXPECT_EQ(rig.param(kRecorderParamClipped), 0);
    rig.finish();
    const std::string b = read_whole_file(path);
    ASSERT_EQ(b.size(), 54u + 3 * 4);
    EXPECT_EQ(b.substr(0, 4), "FORM");
    const int16_t expected[6] = {16383, 28619, 0, -28619, -8191, 0};  // the soft limiter is the default
    for (int i = 0; i < 6; ++i) EXPECT_EQ(be16s(b, 54 + 2 * i), expected[i]) << i;  // big-endian
}

TEST(Recorder, NothingHappensWithoutAFileAndTheRenderDoesNotAllocate) {
    RecorderRig rig;
    rig.send(kRecorderStart);
    EXPECT_EQ(rig.param(kRecorderParamRecording), 0);
    EXPECT_EQ(rig.param(kRecorderParamStereo), 0);
    rig.block({0.1f}, {0.1f});

    ASSERT_TRUE(rig.choose(rig.folder / "a.wav"));
    EXPECT_EQ(rig.param(kRecorderParamStereo), 1);
    EXPECT_EQ(rig.param(kRecorderParam16Bit), 1);
    EXPECT_EQ(rig.param(kRecorderParamMono), 0);
    EXPECT_EQ(rig.param(kRecorderParam8Bit), 0);
    rig.m->observer = nullptr;  // the document's observer only queues; keep it out of the count
    std::fill(rig.left.begin(), rig.left.end(), 1.5f);
    mellora::test::AllocationCounter count;
    rig.send(kRecorderStart);
    for (int i = 0; i < 20; ++i) rig.m->process(rig.m, 1024);
    rig.send(kRecorderStop);
    rig.send(kRecorderStart);
    rig.m->process(rig.m, 1024);
    EXPECT_EQ(count.count(), 0u);
}

TEST(Recorder, SecondTakeOverwritesTheSameFile) {
    RecorderRig rig;
    const std::string path = rig.folder / "take.wav";
    ASSERT_TRUE(rig.choose(path));
    auto* sink = dynamic_cast<KelGenericSoundSink*>(recorder_sink(rig.m));
    ASSERT_NE(sink, nullptr);
    rig.send(kRecorderStart);
    rig.block(std::vector<float>(100, 0.25f), std::vector<float>(100, 0.25f));
    rig.send(kRecorderStop);
    ASSERT_TRUE(wait_for_takes(*sink, 1));
    EXPECT_EQ(read_whole_file(path).size(), 44u + 400);

    rig.send(kRecorderStart);
    // Until the writer has rewound the ring after the first take, blocks are refused.
    int accepted_blocks = 0;
    for (int tries = 0; accepted_blocks == 0 && tries < 500; ++tries) {
        const float l[10] = {}, r[10] = {};
        const float* ch[2] = {l, r};
        accepted_blocks = sink->write(2, 10, ch) == 10 ? 1 : 0;
        if (!accepted_blocks) kel_sleep_ms(2);
    }
    ASSERT_EQ(accepted_blocks, 1);
    rig.send(kRecorderStop);
    ASSERT_TRUE(wait_for_takes(*sink, 2));
    const std::string b = read_whole_file(path);
    EXPECT_EQ(b.size(), 44u + 40);
    EXPECT_EQ(le32(b, 40), 40u);
}

// ---- headers after a long take ----

struct HeaderCase {
    KelSoundFileType type;
    int rate;
    const char* name;
    uint8_t rate_bytes[10];  // AIFF only
};

class SoundFileHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(SoundFileHeaders, TenSecondStereoTakeHasExactSizesAndAnotherProgramReadsIt) {
    const HeaderCase c = GetParam();
    TempFolder folder;
    const std::string path = folder / c.name;
    const int frames = 10 * c.rate;
    {
        KelGenericSoundSink sink(c.rate, 2, c.type, path);
        ASSERT_TRUE(sink.start());
        write_pattern(sink, frames);
        sink.stop();
    }  // joins the writer after the header is fixed
    const std::string b = read_whole_file(path);
    const uint32_t data = static_cast<uint32_t>(frames) * 4;
    if (c.type == KelSoundFileType::Wav) {
        ASSERT_EQ(b.size(), 44u + data);
        EXPECT_EQ(b.substr(0, 4), "RIFF");
        EXPECT_EQ(le32(b, 4), data + 36);
        EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(le32(b, 16), 16u);
        EXPECT_EQ(le32(b, 24), static_cast<uint32_t>(c.rate));
        EXPECT_EQ(le32(b, 28), static_cast<uint32_t>(c.rate) * 4);
        EXPECT_EQ(b.substr(36, 4), "data");
        EXPECT_EQ(le32(b, 40), data);
        EXPECT_EQ(le16s(b, 44 + 4 * 1234), 1234);
        EXPECT_EQ(le16s(b, 46 + 4 * 1234), -1234);
    } else {
        ASSERT_EQ(b.size(), 54u + data);
        EXPECT_EQ(b.substr(0, 4), "FORM");
        EXPECT_EQ(be32(b, 4), data + 46);
        EXPECT_EQ(b.substr(8, 8), "AIFFCOMM");
        EXPECT_EQ(be32(b, 16), 18u);
        EXPECT_EQ(be32(b, 22), static_cast<uint32_t>(frames));
        EXPECT_EQ(std::memcmp(b.data() + 28, c.rate_bytes, 10), 0);
        EXPECT_EQ(b.substr(38, 4), "SSND");
        EXPECT_EQ(be32(b, 42), data + 8);
        EXPECT_EQ(be16s(b, 54 + 4 * 1234), 1234);
    }
    ASSERT_TRUE(soxi_available()) << "soxi (Debian package sox) is needed to check the written files";
    EXPECT_EQ(soxi("-r", path), std::to_string(c.rate));
    EXPECT_EQ(soxi("-c", path), "2");
    EXPECT_EQ(soxi("-b", path), "16");
    EXPECT_EQ(soxi("-s", path), std::to_string(frames));
}

INSTANTIATE_TEST_SUITE_P(
    Recorder, SoundFileHeaders,
    ::testing::Values(HeaderCase{KelSoundFileType::Wav, 44100, "ten.wav", {}},
                      HeaderCase{KelSoundFileType::Aiff, 44100, "ten.aiff",
                                 {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
                      HeaderCase{KelSoundFileType::Aiff, 48000, "ten48.aiff",
                                 {0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}}));

TEST(SoundFileHeaders, ExtendedRateBytes) {
    struct Case {
        double rate;
        uint8_t bytes[10];
    } cases[] = {
        {44100, {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {22050, {0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {96000, {0x40, 0x0F, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {192000, {0x40, 0x10, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {8000, {0x40, 0x0B, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}},
        {1, {0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        uint8_t out[10];
        kel_ieee_extended(c.rate, out);
        EXPECT_EQ(std::memcmp(out, c.bytes, 10), 0) << c.rate;
    }
}

TEST(SoundFileHeaders, EmptyTakeWritesNoFileAndASingleFrameStillReads) {
    // A start and stop with nothing in between writes no file at all; one frame gives the
    // smallest file, which must still be readable.
    TempFolder folder;
    const std::string path = folder / "one.wav";
    {
        KelGenericSoundSink sink(44100, 2, KelSoundFileType::Wav, path);
        sink.start();
        sink.stop();
    }
    EXPECT_FALSE(kel_file_exists(path));
    {
        KelGenericSoundSink sink(44100, 2, KelSoundFileType::Wav, path);
        sink.start();
        write_pattern(sink, 1);
        sink.stop();
    }
    ASSERT_TRUE(soxi_available());
    EXPECT_EQ(soxi("-s", path), "1");
}

// ---- file choice ----

TEST(RecorderFileChoice, AsksForAWavOrAiffFileAndReportsTheChoice) {
    RecorderRig rig;
    rig.seen.told_ids.clear();
    ASSERT_TRUE(rig.choose(rig.folder / "song.aiff", 1));
    const auto requests = kel_headless_file_dialog().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Save Audio File");
    EXPECT_EQ(requests[0].default_name, "untitled");
    ASSERT_EQ(requests[0].types.size(), 2u);
    EXPECT_EQ(requests[0].types[0].label, "WAV Audio File (16 bits)");
    EXPECT_EQ(requests[0].types[0].extension, ".wav");
    EXPECT_EQ(requests[0].types[1].label, "AIFF Audio File (16 bits)");
    EXPECT_EQ(requests[0].types[1].extension, ".aiff");
    EXPECT_EQ(rig.seen.told_ids, (std::vector<int>{6, 7, 4, 5}));
    EXPECT_EQ(rig.seen.strings, (std::vector<std::string>{"song.aiff"}));
    EXPECT_EQ(recorder_file_name(rig.m), "song.aiff");
    EXPECT_EQ(recorder_path(rig.m), rig.folder / "song.aiff");
    auto* sink = dynamic_cast<KelGenericSoundSink*>(recorder_sink(rig.m));
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->file_type(), KelSoundFileType::Aiff);
    EXPECT_EQ(sink->poll_period_ms(), 100);
}

TEST(RecorderFileChoice, CancelOrAnUnusablePathLeavesTheRecorderUnchanged) {
    RecorderRig rig;
    kel_headless_file_dialog().script_cancel();
    EXPECT_FALSE(recorder_choose_file(rig.m));
    EXPECT_FALSE(rig.choose(rig.folder / "missing-folder/x.wav"));
    // A path longer than the recorder keeps is refused, not cut to another file's name.
    std::string deep = rig.folder.path();
    while (deep.size() < 2100) deep += "/" + std::string(200, 'd');
    ASSERT_TRUE(kel_create_folder_chain(deep));
    EXPECT_FALSE(rig.choose(deep + "/long.wav"));
    EXPECT_EQ(recorder_sink(rig.m), nullptr);
    EXPECT_EQ(recorder_path(rig.m), "empty");
    KelTextWriter out;
    module_write_state(rig.m, out);
    EXPECT_NE(out.str().find(" filename empty\n"), std::string::npos);
    EXPECT_NE(out.str().find(" format   0\n"), std::string::npos);
}

namespace {

// A dialog during which the audio thread asks to start recording.
class StartingDialog : public KelFileDialogService {
public:
    explicit StartingDialog(RecorderRig& rig) : rig_(rig) {}
    KelFileDialogAnswer open_file(const KelFileDialogRequest&) override { return {}; }
    KelFileDialogAnswer save_file(const KelFileDialogRequest&) override {
        rig_.send(kRecorderStart);
        recording_during = rig_.param(kRecorderParamRecording);
        nested = recorder_choose_file(rig_.m);  // a second dialog is refused
        return {true, rig_.folder / "second.wav", 0};
    }
    int recording_during = -1;
    bool nested = true;

private:
    RecorderRig& rig_;
};

} // namespace

TEST(RecorderFileChoice, StartDuringTheDialogIsIgnoredAndChoosingStopsARecording) {
    RecorderRig rig;
    ASSERT_TRUE(rig.choose(rig.folder / "first.wav"));
    rig.send(kRecorderStart);
    ASSERT_EQ(rig.param(kRecorderParamRecording), 1);
    rig.send(kRecorderChooseFile);  // the panel's file button
    EXPECT_EQ(rig.param(kRecorderParamRecording), 0);
    EXPECT_TRUE(rig.seen.was_told(kRecorderChooseFile));
    EXPECT_TRUE(recorder_take_dialog_request(rig.m));
    EXPECT_FALSE(recorder_take_dialog_request(rig.m));

    StartingDialog dialog(rig);
    kel_set_file_dialog_service(&dialog);
    EXPECT_TRUE(recorder_choose_file(rig.m));
    kel_set_file_dialog_service(nullptr);
    EXPECT_EQ(dialog.recording_during, 0);
    EXPECT_FALSE(dialog.nested);
    EXPECT_EQ(recorder_file_name(rig.m), "second.wav");
    rig.send(kRecorderStart);
    EXPECT_EQ(rig.param(kRecorderParamRecording), 1);
}

// ---- state text ----

TEST(RecorderState, WritesTheEscapedPathFormatAndFlags) {
    RecorderRig rig;
    const std::string path = rig.folder / "my take 100%\xC3\xA9.wav";
    ASSERT_TRUE(rig.choose(path));
    rig.send(kRecorderTriggerMode, 2);
    KelTextWriter out;
    module_write_state(rig.m, out);
    const std::string expected_path = recorder_escape_path(path);
    EXPECT_NE(expected_path.find("my%20take%20100%25%C3%A9.wav"), std::string::npos);
    EXPECT_EQ(out.str(), "recorder Recorder version 1\n{\n   filename " + expected_path +
                             "\n   format   10\n   flags    " + std::to_string(0x20 | 0x10) + "\n}\n");
    EXPECT_EQ(recorder_escape_path(std::string("a\x01\x7f\xff", 4)), "a%01\x7f%FF");
}

TEST(RecorderState, LoadingSetsOnlyFlagsNeverStartsAndPresetsLeaveItAlone) {
    RecorderRig rig;
    ASSERT_TRUE(rig.choose(rig.folder / "keep.wav"));
    const std::string text = "recorder Recorder version 1\n{\n filename /elsewhere.wav\n format 0\n flags 65\n}\n";
    {
        KelTextReader in(text);  // an ordinary preset load: the recorder is protected
        module_read_state(rig.m, in);
        EXPECT_EQ(rig.param(kRecorderParamSoft), 1);
    }
    module_set_protection(rig.m, 0);  // a whole-state restore reaches it
    rig.seen.told_ids.clear();
    KelTextReader in(text);
    module_read_state(rig.m, in);
    EXPECT_EQ(rig.param(kRecorderParamRecording), 0);  // 65 = recording | hard limiter
    EXPECT_EQ(rig.param(kRecorderParamSoft), 0);
    EXPECT_EQ(recorder_path(rig.m), rig.folder / "keep.wav");
    EXPECT_TRUE(rig.seen.was_told(kRecorderParamRecording));
    EXPECT_TRUE(rig.seen.was_told(kRecorderParamClipped));
}

TEST(RecorderState, MalformedDescriptorsAreRefused) {
    EXPECT_EQ(recorder_create(""), nullptr);
    EXPECT_EQ(recorder_create("44100"), nullptr);
    EXPECT_EQ(recorder_create("x 1024 Recorder"), nullptr);
    t_module* m = recorder_create("48000 1024 Recorder");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->type_name, "recorder");
    EXPECT_NE(m->protected_module, 0);
    EXPECT_EQ(m->input_count, 2);
    EXPECT_EQ(m->output_count, 0);
    module_free(m);
}

TEST(SoundFileHeaders, UncreatableFileIsReportedOncePerTakeAndNothingBreaks) {
    TempFolder folder;
    const std::string path = folder / "gone/x.wav";  // the folder vanished after the choice
    mellora::test::LogCapture log;
    {
        KelGenericSoundSink sink(44100, 2, KelSoundFileType::Wav, path);
        ASSERT_TRUE(sink.start());
        write_pattern(sink, 100000);  // several chunks
        sink.stop();
    }
    EXPECT_FALSE(kel_file_exists(path));
    int warnings = 0;
    for (const std::string& line : log.lines())
        if (line.find("<warning> cannot create the recording") != std::string::npos) ++warnings;
    EXPECT_EQ(warnings, 1);
}
