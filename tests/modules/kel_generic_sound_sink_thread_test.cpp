// The recorder's ring between an audio thread and the disk writer, and the sink swap
// under the pause handshake while audio runs. (ThreadSanitizer program.)
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine/modular.h"
#include "framework/dialogs.h"
#include "framework/platform_thread.h"
#include "modules/kel_generic_sound_sink.h"
#include "modules/recorder.h"
#include "tests/framework/platform_test_support.h"

using mellora::test::read_whole_file;
using mellora::test::TempFolder;

namespace {

int16_t le16s(const std::string& b, size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}

} // namespace

TEST(SoundSinkThreads, EveryAcceptedFrameReachesTheFileInOrder) {
    TempFolder folder;
    const std::string path = folder / "ring.wav";
    constexpr int kBlock = 256;
    constexpr int kBlocks = 600;  // about 3.5 s of audio, more than the ring holds
    std::vector<int> accepted;    // frame numbers, in the order the sink took them
    int refused_blocks = 0;
    {
        KelGenericSoundSink sink(44100, 2, KelSoundFileType::Wav, path);
        ASSERT_TRUE(sink.start());
        std::thread audio([&] {
            float l[kBlock], r[kBlock];
            const float* ch[2] = {l, r};
            for (int b = 0; b < kBlocks; ++b) {
                for (int i = 0; i < kBlock; ++i) {
                    const int k = (b * kBlock + i) % 32000;
                    l[i] = (k + 0.5f) / 32767.0f;
                    r[i] = -l[i];
                }
                // The audio thread only tries; a refused block is simply gone.
                if (sink.write(2, kBlock, ch) == kBlock)
                    for (int i = 0; i < kBlock; ++i) accepted.push_back(b * kBlock + i);
                else
                    ++refused_blocks;
                if (b % 2 == 0) kel_sleep_ms(2);  // several times real time, slower than the disk
            }
            sink.stop();
        });
        audio.join();
    }
    const std::string bytes = read_whole_file(path);
    ASSERT_GE(bytes.size(), 44u);
    const size_t frames = (bytes.size() - 44) / 4;
    ASSERT_EQ(frames, accepted.size()) << refused_blocks << " blocks were refused";
    for (size_t f = 0; f < frames; ++f) {
        const int k = accepted[f] % 32000;
        ASSERT_EQ(le16s(bytes, 44 + 4 * f), k) << "frame " << f;
        ASSERT_EQ(le16s(bytes, 46 + 4 * f), -k) << "frame " << f;
    }
    // The writer kept up: the ring had room all along, so nothing was dropped.
    EXPECT_EQ(refused_blocks, 0);
}

TEST(SoundSinkThreads, FileChoiceSwapsTheSinkWhileTheAudioThreadRecords) {
    TempFolder folder;
    t_module* m = recorder_create("44100 1024 Recorder");
    ASSERT_NE(m, nullptr);
    m->id = 620;
    std::vector<float> left(1024, 0.25f), right(1024, -0.25f);
    m->io = {t_io_entry{left.data(), nullptr}, t_io_entry{right.data(), nullptr}};
    kel_headless_file_dialog().clear();
    kel_headless_file_dialog().script(folder / "take0.wav", 0);
    ASSERT_TRUE(recorder_choose_file(m));

    // Messages reach the module on the audio thread, between blocks, as the synth sends them.
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        for (int i = 0; !stop.load(); ++i) {
            t_message msg = make_int_message(620, (i % 40 == 0) ? kRecorderStop : kRecorderStart, 0);
            m->receive_message(m, &msg);
            m->process(m, 256);
            kel_sleep_ms(1);
        }
    });
    int installed = 0;
    for (int i = 1; i <= 4; ++i) {
        kel_sleep_ms(60);
        kel_headless_file_dialog().script(folder / ("take" + std::to_string(i) + ".wav"), 0);
        installed += recorder_choose_file(m) ? 1 : 0;
    }
    stop.store(true);
    audio.join();
    module_free(m);
    kel_headless_file_dialog().clear();
    EXPECT_EQ(installed, 4);
    // Every file that was written is whole: its header matches its length.
    for (int i = 0; i <= 4; ++i) {
        const std::string b = read_whole_file(folder / ("take" + std::to_string(i) + ".wav"));
        if (b.empty()) continue;
        ASSERT_GE(b.size(), 44u);
        const uint32_t data = static_cast<uint8_t>(b[40]) | (static_cast<uint8_t>(b[41]) << 8) |
                              (static_cast<uint8_t>(b[42]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(b[43])) << 24);
        EXPECT_EQ(data + 44, b.size()) << "take" << i;
    }
}
