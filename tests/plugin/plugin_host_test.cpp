// The built shared object driven through its exported entry point and the effect
// record, the way a host drives it: nothing here calls our classes directly.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <xmmintrin.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "plugin/vst2_abi.h"

namespace {

struct FakeHost {
    intptr_t version = 2400;
    int automations = 0;
    int display_updates = 0;
};
FakeHost g_host;

intptr_t VST2_CALL host_callback(vst2::Effect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    switch (opcode) {
    case vst2::kHostVersion: return g_host.version;
    case vst2::kHostAutomate: ++g_host.automations; return 0;
    case vst2::kHostUpdateDisplay: ++g_host.display_updates; return 1;
    default: return 0;
    }
}

class PluginHost : public ::testing::Test {
protected:
    void SetUp() override {
        g_host = FakeHost{};
        library_ = dlopen(MELLORA_PLUGIN_SO, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        entry_ = reinterpret_cast<vst2::EntryProc>(dlsym(library_, "VSTPluginMain"));
        ASSERT_NE(entry_, nullptr);
    }
    void TearDown() override {
        if (fx_) call(vst2::kEffClose);
        if (library_) dlclose(library_);
    }

    intptr_t call(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0) {
        return fx_->dispatcher(fx_, opcode, index, value, ptr, opt);
    }
    void create() {
        fx_ = entry_(&host_callback);
        ASSERT_NE(fx_, nullptr);
    }
    void start(float rate = 48000, int block = 256) {
        create();
        call(vst2::kEffOpen);
        call(vst2::kEffSetSampleRate, 0, 0, nullptr, rate);
        call(vst2::kEffSetBlockSize, 0, block);
        call(vst2::kEffMainsChanged, 0, 1);
    }
    void send_midi(unsigned char status, unsigned char d1, unsigned char d2, int offset = 0) {
        vst2::MidiEvent e{};
        e.type = vst2::kEventMidi;
        e.byte_size = sizeof e;
        e.delta_frames = offset;
        e.midi_data[0] = status;
        e.midi_data[1] = d1;
        e.midi_data[2] = d2;
        vst2::Events list{};
        list.num_events = 1;
        vst2::event_slots(&list)[0] = reinterpret_cast<vst2::Event*>(&e);
        EXPECT_EQ(call(vst2::kEffProcessEvents, 0, 0, &list), 1);
    }
    // Renders one block; answers its peak (infinity when a sample is not finite).
    float block(int frames) {
        left_.assign(static_cast<std::size_t>(frames), 7.0f);
        right_.assign(static_cast<std::size_t>(frames), 7.0f);
        float* out[2] = {left_.data(), right_.data()};
        fx_->process_replacing(fx_, nullptr, out, frames);
        float peak = 0;
        for (int i = 0; i < frames; ++i) {
            if (!std::isfinite(left_[i]) || !std::isfinite(right_[i])) return INFINITY;
            peak = std::max({peak, std::fabs(left_[i]), std::fabs(right_[i])});
        }
        return peak;
    }
    std::string text_of(int32_t opcode, int32_t index) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        buffer[0] = 0;
        call(opcode, index, 0, buffer);
        return std::string(buffer, strnlen(buffer, sizeof buffer));
    }
    std::string chunk() {
        void* data = nullptr;
        const intptr_t size = call(vst2::kEffGetChunk, 0, 0, &data);
        return size > 0 && data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                                : std::string();
    }

    void* library_ = nullptr;
    vst2::EntryProc entry_ = nullptr;
    vst2::Effect* fx_ = nullptr;
    std::vector<float> left_, right_;
};

TEST_F(PluginHost, HostVersionZeroGetsNoEffectAndLegacyNameIsTheSameEntry) {
    g_host.version = 0;
    EXPECT_EQ(entry_(&host_callback), nullptr);
    EXPECT_EQ(entry_(nullptr), nullptr);
    g_host.version = 2400;
    auto legacy = reinterpret_cast<vst2::EntryProc>(dlsym(library_, "main"));
    ASSERT_NE(legacy, nullptr);
    fx_ = legacy(&host_callback);
    ASSERT_NE(fx_, nullptr);
    EXPECT_EQ(fx_->magic, vst2::kMagic);
}

TEST_F(PluginHost, IdentityPinsAndCapabilities) {
    create();
    EXPECT_EQ(text_of(vst2::kEffGetProgramName, 0), "Default");  // before open
    EXPECT_EQ(fx_->unique_id, vst2::four_cc('M', 'O', 'z', '3'));
    EXPECT_EQ(fx_->num_programs, 128);
    EXPECT_EQ(fx_->num_params, 59);
    EXPECT_EQ(fx_->num_inputs, 0);
    EXPECT_EQ(fx_->num_outputs, 2);
    EXPECT_EQ(fx_->initial_delay, 0);
    EXPECT_TRUE(fx_->flags & vst2::kEffectFlagIsSynth);
    EXPECT_TRUE(fx_->flags & vst2::kEffectFlagCanReplacing);
    EXPECT_TRUE(fx_->flags & vst2::kEffectFlagProgramChunks);
    EXPECT_FALSE(fx_->flags & vst2::kEffectFlagCanDoubleReplacing);
    EXPECT_EQ(call(vst2::kEffGetPlugCategory), vst2::kCategorySynth);
    EXPECT_EQ(call(vst2::kEffGetVendorVersion), 3);
    EXPECT_EQ(text_of(vst2::kEffGetVendorString, 0), "Kestrune");
    EXPECT_EQ(text_of(vst2::kEffGetProductString, 0), "Mellora 3.1");
    EXPECT_EQ(text_of(vst2::kEffGetEffectName, 0), "Mellora 3.1");

    EXPECT_EQ(call(vst2::kEffCanDo, 0, 0, const_cast<char*>("RECEIVEVSTEVENTS")), 1);
    EXPECT_EQ(call(vst2::kEffCanDo, 0, 0, const_cast<char*>("receiveVstMidiEvent")), 1);
    EXPECT_EQ(call(vst2::kEffCanDo, 0, 0, const_cast<char*>("sendVstEvents")), -1);
    EXPECT_EQ(call(vst2::kEffCanDo, 0, 0, nullptr), 0);

    vst2::PinProperties pin{};
    ASSERT_EQ(call(vst2::kEffGetOutputProperties, 0, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Mellora 3.1 1");
    EXPECT_EQ(pin.flags, 3);
    EXPECT_EQ(call(vst2::kEffGetOutputProperties, 2, 0, &pin), 0);
    EXPECT_EQ(call(vst2::kEffGetInputProperties, 0, 0, &pin), 0);
    EXPECT_EQ(call(vst2::kEffGetOutputProperties, 0, 0, nullptr), 0);
}

TEST_F(PluginHost, SilentBeforeANoteSoundsAfterItWithAnyBlockSize) {
    start();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(block(256), 0.0f);
    send_midi(0x90, 60, 100, 17);
    float peak = 0;
    for (int frames : {256, 1, 64, 8192, 333, 1024}) {
        const float p = block(frames);
        ASSERT_TRUE(std::isfinite(p)) << frames;
        peak = std::max(peak, p);
    }
    EXPECT_GT(peak, 1e-3f);
    EXPECT_LT(peak, 4.0f);
    send_midi(0x80, 60, 0);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(std::isfinite(block(512)));

    // Bad buffers are not touched and do not crash.
    float* none[2] = {nullptr, nullptr};
    fx_->process_replacing(fx_, nullptr, none, 64);
    fx_->process_replacing(fx_, nullptr, nullptr, 64);
    float* out[2] = {left_.data(), right_.data()};
    fx_->process_replacing(fx_, nullptr, out, 0);
    fx_->process_replacing(fx_, nullptr, out, -5);
}

TEST_F(PluginHost, HostFloatingPointStateComesBackUnchanged) {
    start();
    const unsigned host_state = 0x1F80 | 0x6000;  // masked, rounding toward zero, no flush
    const unsigned before = _mm_getcsr();
    _mm_setcsr(host_state);
    send_midi(0x90, 64, 90);
    block(256);
    const float x = fx_->get_parameter(fx_, 0);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(before);
    EXPECT_EQ(after & ~0x3Fu, host_state);
    EXPECT_TRUE(std::isfinite(x));
}

TEST_F(PluginHost, ParameterNamesMappingAndDisplays) {
    start();
    struct NameCase {
        int index;
        const char* name;
    };
    for (const NameCase& c : {NameCase{0, "Volume"}, {1, "Clock Source"}, {2, "Multi-Effect Topology"},
                              {16, "Reverb Preset"}, {20, "Mal Stiff S/H"}, {29, "Noise Keyboard Scaling"},
                              {33, "Tine Kdb Scal"}, {52, "Equalizer On/Off"}, {58, "Equalizer High Freq"}})
        EXPECT_EQ(text_of(vst2::kEffGetParamName, c.index), c.name) << c.index;

    std::set<int> switches;
    for (int i = 0; i < 59; ++i) {
        EXPECT_EQ(call(vst2::kEffCanBeAutomated, i), 1) << i;
        vst2::ParameterProperties p{};
        p.flags = 0x40;
        if (call(vst2::kEffGetParameterProperties, i, 0, &p)) {
            switches.insert(i);
            EXPECT_EQ(p.flags, vst2::kParamIsSwitch);
        } else {
            EXPECT_EQ(p.flags, 0x40) << "a refused call leaves the record alone";
        }
        EXPECT_LE(text_of(vst2::kEffGetParamName, i).size(), 24u);
        const std::string display = text_of(vst2::kEffGetParamDisplay, i);
        EXPECT_LE(display.size(), 23u) << i;
        const float x = fx_->get_parameter(fx_, i);
        EXPECT_TRUE(x >= 0 && x <= 1) << i;
    }
    // Every list of two labels and every switch; Clock Source ("Int", "Ext") is one of them.
    EXPECT_EQ(switches, (std::set<int>{1, 3, 9, 15, 39, 46, 47, 48, 52}));
    EXPECT_EQ(call(vst2::kEffCanBeAutomated, 59), 0);
    EXPECT_EQ(call(vst2::kEffCanBeAutomated, -1), 0);
    EXPECT_EQ(text_of(vst2::kEffGetParamName, 59), "");
    EXPECT_EQ(text_of(vst2::kEffGetParamDisplay, -3), "");
    EXPECT_EQ(fx_->get_parameter(fx_, 59), 0.0f);

    struct SetCase {
        int index;
        float host;
        float expected;  // normalised read-back after a block
    };
    for (const SetCase& c : {SetCase{0, 1.0f, 1.0f}, {0, 0.5f, 63.0f / 127}, {0, 126.99995f / 127, 1.0f},
                             {52, 0.3f, 1.0f}, {52, 0.0f, 0.0f}, {5, 0.5f, 0.5f}, {2, 1.0f, 1.0f},
                             {16, 0.34f, 3.0f / 9}, {31, 40.0f / 127, 40.0f / 127}}) {
        fx_->set_parameter(fx_, c.index, c.host);
        block(64);
        EXPECT_NEAR(fx_->get_parameter(fx_, c.index), c.expected, 1e-5f) << c.index << " " << c.host;
    }
    // Topology and Reverb Preset carry parameter objects: their own text wins over the labels.
    EXPECT_EQ(text_of(vst2::kEffGetParamDisplay, 2), "2.0");

    // Nonsense from the host is ignored or clamped; the sound stays finite.
    fx_->set_parameter(fx_, 0, NAN);
    fx_->set_parameter(fx_, 400, 0.5f);
    fx_->set_parameter(fx_, -1, 0.5f);
    fx_->set_parameter(fx_, 31, 1e30f);
    send_midi(0x90, 60, 100);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isfinite(block(256)));
}

TEST_F(PluginHost, ChunkRoundTripAndGarbageIsRefused) {
    start();
    const std::string original = chunk();
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(original.rfind("main_synth mo", 0), 0u);

    fx_->set_parameter(fx_, 0, 0.25f);
    block(64);
    const std::string changed = chunk();
    EXPECT_NE(changed, original);

    std::string copy = original;
    EXPECT_EQ(call(vst2::kEffSetChunk, 0, static_cast<intptr_t>(copy.size()), copy.data()), 1);
    EXPECT_EQ(chunk(), original);

    std::vector<unsigned char> garbage(4000);
    unsigned seed = 12345;
    for (auto& b : garbage) b = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 16);
    EXPECT_EQ(call(vst2::kEffSetChunk, 0, static_cast<intptr_t>(garbage.size()), garbage.data()), 0);
    std::string foreign = "some_synth xy version 1 { }";
    EXPECT_EQ(call(vst2::kEffSetChunk, 0, static_cast<intptr_t>(foreign.size()), foreign.data()), 0);
    EXPECT_EQ(call(vst2::kEffSetChunk, 0, 10, nullptr), 0);
    EXPECT_EQ(call(vst2::kEffSetChunk, 0, 0, copy.data()), 0);
    EXPECT_EQ(chunk(), original);
    EXPECT_EQ(call(vst2::kEffGetChunk, 0, 0, nullptr), 0);
}

TEST_F(PluginHost, ChunkLoadFadesIn) {
    start(44100, 512);
    send_midi(0x90, 60, 127);
    for (int i = 0; i < 3; ++i) block(512);
    std::string text = chunk();
    ASSERT_EQ(call(vst2::kEffSetChunk, 0, static_cast<intptr_t>(text.size()), text.data()), 1);
    send_midi(0x90, 62, 127);
    block(512);
    // The fade starts from silence: the first samples are far below the block's peak.
    float first = 0, peak = 0;
    for (int i = 0; i < 512; ++i) {
        if (i < 16) first = std::max(first, std::fabs(left_[i]));
        peak = std::max(peak, std::fabs(left_[static_cast<std::size_t>(i)]));
    }
    EXPECT_GT(peak, 0.0f);
    EXPECT_LT(first, 0.1f * peak + 1e-9f);
}

// The program change reaches the sound without any host call (hosts without an open
// editor may make none for a long time); the display refresh waits for the host's thread.
TEST_F(PluginHost, MidiProgramChangeIsAppliedPromptlyAndRefreshesTheHost) {
    start();
    block(64);
    const std::string default_sound = chunk();
    fx_->set_parameter(fx_, 0, 0.1f);  // program 0 now differs from the default sound
    block(64);
    const int updates = g_host.display_updates;
    send_midi(0xC0, 5, 0);
    send_midi(0xF8, 0, 0);  // a clock byte: no effect in the plug-in
    block(64);
    // Watched through getParameter, which is no dispatcher call: the volume comes back
    // from 0.1 to the default sound's when program 5 (empty) sounds.
    const float moved = fx_->get_parameter(fx_, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fx_->get_parameter(fx_, 0) == moved && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_NE(fx_->get_parameter(fx_, 0), moved);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    call(vst2::kEffEditIdle);  // a host call from its interface thread delivers the refresh
    EXPECT_EQ(call(vst2::kEffGetProgram), 5);
    EXPECT_GT(g_host.display_updates, updates);
    EXPECT_EQ(chunk(), default_sound);  // program 5 is empty: the default sound

    call(vst2::kEffSetProgram, 0, 7);
    EXPECT_EQ(call(vst2::kEffGetProgram), 7);
    char name[32] = "Bright Keys";
    call(vst2::kEffSetProgramName, 0, 0, name);
    EXPECT_EQ(text_of(vst2::kEffGetProgramName, 0), "Bright Keys");
    char indexed[64] = {};
    EXPECT_EQ(call(vst2::kEffGetProgramNameIndexed, 7, 0, indexed), 1);
    EXPECT_STREQ(indexed, "Bright Keys");
    EXPECT_EQ(call(vst2::kEffGetProgramNameIndexed, 3, 0, indexed), 1);
    EXPECT_STREQ(indexed, "Empty");
    EXPECT_EQ(call(vst2::kEffGetProgramNameIndexed, 128, 0, indexed), 0);
}

TEST_F(PluginHost, CallsBeforeOpenOpenTheEffectAndSameRateIsHarmless) {
    create();
    fx_->set_parameter(fx_, 0, 1.0f);  // opens the effect itself
    EXPECT_EQ(text_of(vst2::kEffGetParamName, 0), "Volume");
    call(vst2::kEffSetSampleRate, 0, 0, nullptr, 0.0f);
    call(vst2::kEffSetSampleRate, 0, 0, nullptr, NAN);
    call(vst2::kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
    call(vst2::kEffMainsChanged, 0, 1);
    send_midi(0x90, 60, 100);
    float peak = 0;
    for (int i = 0; i < 4; ++i) peak = std::max(peak, block(256));
    EXPECT_TRUE(std::isfinite(peak));
    EXPECT_GT(peak, 0.0f);
    call(vst2::kEffSetSampleRate, 0, 0, nullptr, 96000.0f);  // during playback
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isfinite(block(256)));
    call(vst2::kEffMainsChanged, 0, 0);
    call(vst2::kEffMainsChanged, 0, 1);
}


TEST_F(PluginHost, RenderBeforeOpenOrResumeIsSilenceNotGarbage) {
    create();
    EXPECT_EQ(block(64), 0.0f);  // the buffers held 7s: replacing means overwritten
    call(vst2::kEffOpen);
    EXPECT_EQ(block(64), 0.0f);
    send_midi(0x90, 60, 100);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isfinite(block(128)));
    call(vst2::kEffMainsChanged, 0, 1);
    float peak = 0;
    for (int i = 0; i < 4; ++i) peak = std::max(peak, block(256));
    EXPECT_GT(peak, 0.0f);
}

// Every opcode with nonsense arguments and no pointer: each call answers or is ignored,
// and the state and the sound are what they were.
TEST_F(PluginHost, NonsenseFromTheHostChangesNothing) {
    start();
    fx_->set_parameter(fx_, 0, 0.8f);
    block(64);
    const std::string before = chunk();
    EXPECT_EQ(fx_->dispatcher(nullptr, vst2::kEffGetVendorString, 0, 0, nullptr, 0), 0);
    fx_->process_replacing(nullptr, nullptr, nullptr, 64);

    struct Args {
        int32_t index;
        intptr_t value;
    };
    for (int32_t opcode = 0; opcode <= 80; ++opcode) {
        if (opcode == vst2::kEffClose) continue;
        for (const Args& a : {Args{-1, -1}, Args{1 << 20, intptr_t(1) << 40}, Args{0, 0}})
            call(opcode, a.index, a.value, nullptr, NAN);
    }
    call(vst2::kEffMainsChanged, 0, 1);
    EXPECT_EQ(chunk(), before);

    // Event lists that make no sense, and offsets outside the block.
    vst2::MidiEvent odd[4]{};
    for (auto& e : odd) {
        e.type = vst2::kEventMidi;
        e.byte_size = sizeof e;
        e.midi_data[0] = char(0x90);
        e.midi_data[1] = 64;
        e.midi_data[2] = 100;
    }
    odd[0].delta_frames = -50;
    odd[1].delta_frames = 1 << 30;
    odd[2].type = vst2::kEventSysex;
    odd[3].midi_data[0] = 0x40;  // a data byte where the status belongs
    std::vector<std::max_align_t> storage(vst2::events_bytes(8) / sizeof(std::max_align_t) + 1);
    auto* list = reinterpret_cast<vst2::Events*>(storage.data());
    list->num_events = -3;
    call(vst2::kEffProcessEvents, 0, 0, list);
    list->num_events = 6;
    vst2::Event** slots = vst2::event_slots(list);
    for (int i = 0; i < 4; ++i) slots[i] = reinterpret_cast<vst2::Event*>(&odd[i]);
    slots[4] = slots[5] = nullptr;
    call(vst2::kEffProcessEvents, 0, 0, list);

    call(vst2::kEffSetBlockSize, 0, 0);
    float peak = 0;
    for (int frames : {256, 8192, 1, 512}) {
        const float p = block(frames);
        ASSERT_TRUE(std::isfinite(p)) << frames;
        peak = std::max(peak, p);
    }
    EXPECT_GT(peak, 1e-3f);  // the note at offset -50 plays at the block's start
    EXPECT_EQ(chunk(), before);
}

}  // namespace
