// The built plug-in under the threads a real host uses at once: an audio thread that
// renders blocks of changing size, sends MIDI (offsets up to the block's last frame)
// and automates a parameter; a background thread that saves the state the way hosts
// autosave; the interface thread that loads states, switches programs, reads displays
// and changes the sample rate during playback; and the plug-in's own notifier thread,
// which applies the MIDI program changes. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/vst2_abi.h"

namespace {

intptr_t VST2_CALL host_callback(vst2::Effect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    switch (opcode) {
    case vst2::kHostVersion: return vst2::kVersion;
    case vst2::kHostUpdateDisplay: return 1;
    default: return 0;
    }
}

struct Plugin {
    void* library = nullptr;
    vst2::Effect* fx = nullptr;

    Plugin() {
        library = dlopen(MELLORA_PLUGIN_SO, RTLD_NOW | RTLD_LOCAL);
        auto entry = library ? reinterpret_cast<vst2::EntryProc>(dlsym(library, "VSTPluginMain")) : nullptr;
        fx = entry ? entry(&host_callback) : nullptr;
    }
    ~Plugin() {
        if (fx) call(vst2::kEffClose);
        if (library) dlclose(library);
    }
    intptr_t call(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0) {
        return fx->dispatcher(fx, opcode, index, value, ptr, opt);
    }
    std::string chunk() {
        void* data = nullptr;
        const intptr_t size = call(vst2::kEffGetChunk, 0, 0, &data);
        return size > 0 && data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                                : std::string();
    }
};

TEST(PluginHostThreads, AudioBackgroundAndInterfaceThreadsTogether) {
    Plugin p;
    ASSERT_NE(p.fx, nullptr) << dlerror();
    p.call(vst2::kEffOpen);
    p.call(vst2::kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
    p.call(vst2::kEffSetBlockSize, 0, 8192);
    p.call(vst2::kEffMainsChanged, 0, 1);
    const std::string saved = p.chunk();
    ASSERT_EQ(saved.rfind("main_synth mo", 0), 0u);

    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0}, bad_samples{0}, bad_chunks{0}, chunks{0};
    float peak = 0;

    std::thread audio([&] {
        std::vector<float> left(8192), right(8192);
        float* out[2] = {left.data(), right.data()};
        std::vector<std::max_align_t> storage(vst2::events_bytes(2) / sizeof(std::max_align_t) + 1);
        auto* list = reinterpret_cast<vst2::Events*>(storage.data());
        unsigned seed = 99;
        int key = 0;
        while (!stop.load() || blocks.load() < 200) {
            seed = seed * 1103515245u + 12345u;
            // Mostly host-sized blocks, now and then a single frame or a whole 8192.
            const int choice = int((seed >> 16) % 8);
            const int frames = choice == 0 ? 1 : choice == 1 ? 8192 : 16 << (choice % 6);
            vst2::MidiEvent on{}, off{};
            on.type = off.type = vst2::kEventMidi;
            on.byte_size = off.byte_size = sizeof on;
            on.delta_frames = frames - 1;  // the block's last frame
            on.midi_data[0] = char(0x90);
            on.midi_data[1] = char(48 + key);
            on.midi_data[2] = 100;
            off.midi_data[0] = char(0x80);
            off.midi_data[1] = char(48 + (key + 20) % 24);
            if ((seed >> 24) % 16 == 0) {  // now and then a program change, for the notifier thread
                off.midi_data[0] = char(0xC0);
                off.midi_data[1] = char(key % 3);
            }
            key = (key + 5) % 24;
            list->num_events = 2;
            vst2::event_slots(list)[0] = reinterpret_cast<vst2::Event*>(&on);
            vst2::event_slots(list)[1] = reinterpret_cast<vst2::Event*>(&off);
            p.call(vst2::kEffProcessEvents, 0, 0, list);
            p.fx->set_parameter(p.fx, 0, 0.5f + 0.5f * float((seed >> 20) & 1));  // automation from here
            if (!std::isfinite(p.fx->get_parameter(p.fx, 0))) ++bad_samples;      // and its read-back
            p.fx->process_replacing(p.fx, nullptr, out, frames);
            for (int i = 0; i < frames; ++i) {
                if (!std::isfinite(left[i]) || !std::isfinite(right[i])) ++bad_samples;
                peak = std::max(peak, std::fabs(left[i]));
            }
            ++blocks;
        }
    });
    std::thread background([&] {
        while (!stop.load() || chunks.load() < 20) {
            void* data = nullptr;
            const intptr_t size = p.call(vst2::kEffGetChunk, 0, 0, &data);
            if (size <= 0 || !data || std::strncmp(static_cast<const char*>(data), "main_synth mo", 13) != 0)
                ++bad_chunks;
            ++chunks;
            std::this_thread::yield();
        }
    });

    // The interface thread.
    char text[64];
    for (int round = 0; round < 6 || blocks.load() < 100; ++round) {
        std::string copy = saved;
        EXPECT_EQ(p.call(vst2::kEffSetChunk, 0, intptr_t(copy.size()), copy.data()), 1);
        p.call(vst2::kEffSetProgram, 0, round % 3);
        for (int i = 0; i < 59; ++i) {
            p.call(vst2::kEffGetParamDisplay, i, 0, text);
            EXPECT_TRUE(std::isfinite(p.fx->get_parameter(p.fx, i)));
        }
        if (round == 3) p.call(vst2::kEffSetSampleRate, 0, 0, nullptr, 48000.0f);  // during playback
        p.call(vst2::kEffEditIdle);
        std::this_thread::yield();
    }
    stop = true;
    audio.join();
    background.join();
    EXPECT_EQ(bad_samples.load(), 0);
    EXPECT_EQ(bad_chunks.load(), 0);
    EXPECT_GT(peak, 1e-3f);
    EXPECT_EQ(p.chunk().rfind("main_synth mo", 0), 0u);
}

} // namespace
