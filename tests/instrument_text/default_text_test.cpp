// The built-in default instrument text against the modules it describes: every block
// must be one the module would write itself (type, version, names in order) and every
// value must survive a read and a write, so that nothing in it is misspelt, clamped or
// ignored.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analog/pm_polyvkey.h"
#include "analog/pm_sync_chorus.h"
#include "analog/sync_ping_pong_delay.h"
#include "engine/modular.h"
#include "engine/text_stream.h"
#include "instrument/mellora_default_text.h"
#include "modal/fork.h"
#include "modules/eq_3band.h"
#include "modules/fx_wrapper.h"
#include "modules/level.h"
#include "modules/lin_gain.h"
#include "modules/mallet.h"
#include "modules/mo_topology.h"
#include "modules/noise_damper.h"
#include "modules/pick_up.h"
#include "modules/reverberator.h"
#include "modules/stereo_audio_out.h"
#include "modules/transport.h"
#include "modules/tremolo.h"
#include "modules/volume.h"

// Module types that are still being written elsewhere: their blocks are checked once
// their creation function is part of the tree.
#if __has_include("modules/wah.h")
#include "modules/wah.h"
#define MELLORA_HAS_WAH 1
#endif
#if __has_include("modules/auto_wah.h")
#include "modules/auto_wah.h"
#define MELLORA_HAS_AUTO_WAH 1
#endif
#if __has_include("modules/distortion.h")
#include "modules/distortion.h"
#define MELLORA_HAS_DISTORTION 1
#endif
#if __has_include("modules/phaser.h")
#include "modules/phaser.h"
#define MELLORA_HAS_PHASER 1
#endif
#if __has_include("modules/recorder.h")
#include "modules/recorder.h"
#define MELLORA_HAS_RECORDER 1
#endif

namespace {

using Create = t_module* (*)(std::string_view);

#ifdef MELLORA_HAS_WAH
constexpr Create kWah = wah_create;
#else
constexpr Create kWah = nullptr;
#endif
#ifdef MELLORA_HAS_AUTO_WAH
constexpr Create kAutoWah = auto_wah_create;
#else
constexpr Create kAutoWah = nullptr;
#endif
#ifdef MELLORA_HAS_DISTORTION
constexpr Create kDistortion = distortion_create;
#else
constexpr Create kDistortion = nullptr;
#endif
#ifdef MELLORA_HAS_PHASER
constexpr Create kPhaser = phaser_create;
#else
constexpr Create kPhaser = nullptr;
#endif
#ifdef MELLORA_HAS_RECORDER
constexpr Create kRecorder = recorder_create;
#else
constexpr Create kRecorder = nullptr;
#endif

struct NetlistModule {
    std::string name;  // the creation line's last field
    Create create;
    std::string line;
};

// The persistent modules of the instrument graph with their creation lines, in the
// order the graph creates them (at 44.1 kHz, four voices, a two-semitone wheel).
const std::vector<NetlistModule>& persistent_modules() {
    static const std::vector<NetlistModule> table = [] {
        std::vector<NetlistModule> t;
        auto add = [&t](Create create, const std::string& line) {
            t.push_back({line.substr(line.rfind(' ') + 1), create, line});
        };
        add(transport_create, "44100 1024 Clock");
        add(pm_polyvkey_create, "44100 512 0.166667 0 4 Keyboard");
        add(lin_gain_create, "44100 512 -0.5 0.9 key_follow0");
        add(lin_gain_create, "44100 512 0. 3.5 vel_follow0");
        add(mallet_create, "44100 512 100. 1 mallet0");
        add(noise_damper_create, "44100 512 100. 0 noise_damper0");
        add(fork_create, "44100 512 fork0");
        add(pick_up_create, "44100 512 1. 1. 0. 0. pick_up0");
        add(eq_3band_create, "44100 512 Eq");
        add(tremolo_create, "44100 1024 Tremolo");
        add(mo_topology_create, "44100 512 Topology");
        for (const std::string x : {"A", "B"}) {
            add(fx_wrapper_create, "44100 512 12 12 13 Effect_" + x);
            add(kWah, "44100 512 Wah_Wah_Left_" + x);
            add(kWah, "44100 512 Wah_Wah_Right_" + x);
            add(kAutoWah, "44100 512 Auto_Wah_Left_" + x);
            add(kAutoWah, "44100 512 Auto_Wah_Right_" + x);
            add(kDistortion, "44100 1024 Distortion_Left_" + x);
            add(kDistortion, "44100 1024 Distortion_Right_" + x);
            add(pm_sync_chorus_create, "44100 1024 Chorus_" + x);
            add(sync_ping_pong_delay_create, "44100 1024 Delay_" + x);
            add(kPhaser, "44100 512 550. 0.5 0. 0. Phaser_Left_" + x);
            add(kPhaser, "44100 512 550. 0.5 0. 0. Phaser_Right_" + x);
        }
        add(fx_wrapper_create, "44100 512 2 2 9 Reverb");
        add(reverberator_create, "44100 512 Reverb_Module");
        add(volume_create, "44100 512 0.5 Volume");
        add(kRecorder, "44100 1024 Recorder");
        add(level_create, "44100 1024 level_left");
        add(level_create, "44100 1024 level_right");
        add(stereo_audio_out_create, "44100 512 stereo");
        return t;
    }();
    return table;
}

struct Block {
    std::string type, name;
    int version = 0;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string text;  // the block's own text, header to closing brace
};

// Reads "type name version v { name value ... }"; false with a reason otherwise.
bool parse_leaf_block(KelTextReader& in, Block& b, std::string& error) {
    const std::size_t start = in.tell();
    b.type = in.next_token();
    b.name = in.next_token();
    if (in.next_token() != "version" || !parse_int(in.next_token(), b.version) || in.next_token() != "{") {
        error = "bad block header near \"" + b.type + " " + b.name + "\"";
        return false;
    }
    for (;;) {
        const std::string_view key = in.next_token();
        if (key == "}") break;
        const std::string_view value = in.next_token();
        if (key.empty() || value.empty() || key == "{" || value == "{" || value == "}") {
            error = "block " + b.name + " is not a list of name and value pairs closed by \"}\"";
            return false;
        }
        b.pairs.emplace_back(key, value);
    }
    b.text = std::string(in.text().substr(start, in.tell() - start)) + "\n";
    return true;
}

struct InstrumentText {
    Block root;  // header only
    std::vector<Block> blocks;
};

bool parse_instrument_text(std::string_view text, InstrumentText& out, std::string& error) {
    KelTextReader in(text);
    out.root.type = in.next_token();
    out.root.name = in.next_token();
    if (in.next_token() != "version" || !parse_int(in.next_token(), out.root.version) || in.next_token() != "{") {
        error = "bad root header";
        return false;
    }
    for (;;) {
        if (in.at_end()) {
            error = "the root block is not closed";
            return false;
        }
        if (in.peek_char() == '}') {
            in.get_char();
            break;
        }
        Block b;
        if (!parse_leaf_block(in, b, error)) return false;
        out.blocks.push_back(std::move(b));
    }
    if (!in.at_end()) {
        error = "text after the root block";
        return false;
    }
    return true;
}

const InstrumentText& default_text() {
    static const InstrumentText parsed = [] {
        InstrumentText t;
        std::string error;
        EXPECT_TRUE(parse_instrument_text(kMelloraDefaultInstrumentText, t, error)) << error;
        return t;
    }();
    return parsed;
}

// Equal as numbers to six significant digits (what a module prints), else as text.
bool same_value(std::string_view a, std::string_view b) {
    float x = 0, y = 0;
    std::size_t used_x = 0, used_y = 0;
    if (parse_float(a, x, &used_x) && used_x == a.size() && parse_float(b, y, &used_y) && used_y == b.size())
        return std::fabs(x - y) <= 1e-5f * std::fmax(std::fabs(x), std::fabs(y)) + 1e-30f;
    return a == b;
}

// Compares a block as the module wrote it with the block of the default text.
void expect_same_block(const Block& written, const Block& expected) {
    EXPECT_EQ(written.type, expected.type) << expected.name;
    EXPECT_EQ(written.name, expected.name);
    EXPECT_EQ(written.version, expected.version) << expected.name;
    std::vector<std::string> written_names, expected_names;
    for (const auto& [k, v] : written.pairs) written_names.push_back(k);
    for (const auto& [k, v] : expected.pairs) expected_names.push_back(k);
    ASSERT_EQ(written_names, expected_names) << expected.name << ": names or their order differ from what the module writes";
    for (std::size_t i = 0; i < expected.pairs.size(); ++i)
        EXPECT_TRUE(same_value(written.pairs[i].second, expected.pairs[i].second))
            << expected.name << " " << expected.pairs[i].first << ": the text gives " << expected.pairs[i].second
            << ", the module keeps " << written.pairs[i].second;
}

t_module* create_persistent(const NetlistModule& nm) {
    t_module* m = nm.create(nm.line);
    if (!m) return nullptr;
    module_set_persistence(m, 1);
    module_set_protection(m, 0);  // Keyboard and Recorder are protected modules
    return m;
}

TEST(DefaultInstrumentText, IsTheRootBlockWithOneBalancedBlockPerPersistentModuleInGraphOrder) {
    InstrumentText t;
    std::string error;
    ASSERT_TRUE(parse_instrument_text(kMelloraDefaultInstrumentText, t, error)) << error;
    EXPECT_EQ(t.root.type, "main_synth");
    EXPECT_EQ(t.root.name, "mo");
    EXPECT_EQ(t.root.version, 2);
    std::vector<std::string> names, expected;
    for (const Block& b : t.blocks) names.push_back(b.name);
    for (const NetlistModule& nm : persistent_modules()) expected.push_back(nm.name);
    EXPECT_EQ(names, expected);

    // The checker itself rejects unbalanced or trailing text.
    const std::string good = kMelloraDefaultInstrumentText;
    const std::string broken[] = {good.substr(0, good.rfind('}')), good + "}\n",
                                  good.substr(0, good.find("     tempo")) + "{\n" + good.substr(good.find("     tempo"))};
    for (const std::string& text : broken) {
        InstrumentText bad;
        EXPECT_FALSE(parse_instrument_text(text, bad, error));
    }
}

class DefaultBlock : public testing::TestWithParam<std::size_t> {};

TEST_P(DefaultBlock, ReadsIntoItsModuleAndWritesBackUnchanged) {
    const NetlistModule& nm = persistent_modules()[GetParam()];
    const Block* block = nullptr;
    for (const Block& b : default_text().blocks)
        if (b.name == nm.name) block = &b;
    ASSERT_NE(block, nullptr) << "no block for " << nm.name;
    if (!nm.create) GTEST_SKIP() << "no creation function for " << block->type << " in this tree";

    t_module* m = create_persistent(nm);
    ASSERT_NE(m, nullptr) << nm.line;
    KelTextReader in(block->text);
    EXPECT_TRUE(module_read_state(m, in)) << nm.name;
    KelTextWriter out;
    module_write_state(m, out);
    module_free(m);

    KelTextReader back(out.str());
    Block written;
    std::string error;
    ASSERT_TRUE(parse_leaf_block(back, written, error)) << error << "\n" << out.str();
    expect_same_block(written, *block);
}

INSTANTIATE_TEST_SUITE_P(EveryModule, DefaultBlock, testing::Range<std::size_t>(0, persistent_modules().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return persistent_modules()[info.param].name;
                         });

TEST(DefaultInstrumentText, ReadIntoTheRootReachesEveryModuleByName) {
    t_module* root = module_create_composite("44100 1024 0 0 main_synth mo");
    ASSERT_NE(root, nullptr);
    module_set_persistence(root, 1);
    module_set_version(root, 2);
    std::vector<std::string> present;
    for (const NetlistModule& nm : persistent_modules()) {
        if (!nm.create) continue;
        t_module* m = create_persistent(nm);
        ASSERT_NE(m, nullptr) << nm.line;
        module_add_child(root, m);
        present.push_back(nm.name);
    }
    KelTextReader in(kMelloraDefaultInstrumentText);
    EXPECT_TRUE(module_read_state(root, in));
    KelTextWriter out;
    module_write_state(root, out);
    module_free(root);

    InstrumentText written;
    std::string error;
    ASSERT_TRUE(parse_instrument_text(out.str(), written, error)) << error;
    EXPECT_EQ(written.root.type, "main_synth");
    EXPECT_EQ(written.root.version, 2);
    ASSERT_EQ(written.blocks.size(), present.size());
    std::size_t i = 0;
    for (const Block& expected : default_text().blocks) {
        if (i < present.size() && expected.name == present[i]) expect_same_block(written.blocks[i++], expected);
    }
    EXPECT_EQ(i, present.size());
}

} // namespace
