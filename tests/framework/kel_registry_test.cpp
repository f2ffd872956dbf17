// The settings object: typed round trips through the memory and the file store, the
// named accessors' defaults and ranges against stored texts, the machine scope and the
// installation folder, the cache and flush failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "framework/kel_registry.h"
#include "prepatched_common/prepatched_registry.h"
#include "tests/framework/platform_test_support.h"

using mellora::test::ScopedEnv;
using mellora::test::TempFolder;

namespace {

// Lets a test keep the store that the settings object owns, to look into it and to
// build a second settings object over the same values.
class SharedStore : public KelSettingsStore {
public:
    explicit SharedStore(KelSettingsStore& s) : s_(s) {}
    KelSettingsKey create_key(int scope) override { return s_.create_key(scope); }
    bool key_exists(int scope) override { return s_.key_exists(scope); }
    bool read(int scope, std::string_view name, std::string& out) override { return s_.read(scope, name, out); }
    bool write(int scope, const KelSettingsValues& values) override { return s_.write(scope, values); }

private:
    KelSettingsStore& s_;
};

std::unique_ptr<PrepatchedVstRegistry> make_registry(KelSettingsStore& store, std::string module = {}) {
    return std::make_unique<PrepatchedVstRegistry>(std::make_unique<SharedStore>(store), std::move(module));
}

std::string stored(KelSettingsStore& store, const char* name, int scope = kKelSettingsUser) {
    std::string v = "<missing>";
    store.read(scope, name, v);
    return v;
}

} // namespace

TEST(KelRegistry, EveryKindRoundTripsThroughTheMemoryStoreInItsTextForm) {
    KelMemorySettingsStore store;
    {
        auto r = make_registry(store);
        ASSERT_EQ(KelRegistry::instance(), r.get());
        EXPECT_TRUE(r->writeText(0, "Audio_Default", "  spaced = text # 1 "));
        EXPECT_TRUE(r->writePath(0, "Some_Path", "/opt/Kestrune/Mellora"));
        EXPECT_TRUE(r->writeInt(0, "Midi_Channel", -7));
        EXPECT_TRUE(r->writeBool(0, "Omni_Mode", false));
        EXPECT_TRUE(r->writeFloat(0, "Gain", 0.25));
        EXPECT_TRUE(r->writeInt(1, "Machine_Only", 3));  // machine scope is never flushed
        EXPECT_FALSE(r->writeInt(2, "Bad_Scope", 1));
        EXPECT_TRUE(r->flush());
    }
    EXPECT_EQ(KelRegistry::instance(), nullptr);
    EXPECT_EQ(stored(store, "Midi_Channel"), "-7");
    EXPECT_EQ(stored(store, "Omni_Mode"), "false");
    EXPECT_EQ(stored(store, "Gain"), "0.250000");
    EXPECT_EQ(stored(store, "Machine_Only", 1), "<missing>");
    // The fresh key's first values.
    EXPECT_EQ(stored(store, "Default_Instrument"), "1");
    EXPECT_EQ(stored(store, "Export_Sub_Items"), "true");

    auto r = make_registry(store);
    std::string text, path;
    int i = 0;
    bool b = true;
    double f = 0;
    EXPECT_TRUE(r->readText(0, "Audio_Default", text));
    EXPECT_TRUE(r->readPath(0, "Some_Path", path));
    EXPECT_TRUE(r->readInt(0, "Midi_Channel", i));
    EXPECT_TRUE(r->readBool(0, "Omni_Mode", b));
    EXPECT_TRUE(r->readFloat(0, "Gain", f));
    EXPECT_EQ(text, "  spaced = text # 1 ");
    EXPECT_EQ(path, "/opt/Kestrune/Mellora");
    EXPECT_EQ(i, -7);
    EXPECT_FALSE(b);
    EXPECT_EQ(f, 0.25);
    // A missing value answers false and leaves the output alone.
    i = 42;
    EXPECT_FALSE(r->readInt(0, "Nothing_Here", i));
    EXPECT_EQ(i, 42);
}

TEST(KelRegistry, NamedAccessorsRoundTripThroughTheFileStoreInTheXdgFolder) {
    TempFolder temp;
    ScopedEnv config("XDG_CONFIG_HOME", temp.path());
    const auto p = PrepatchedVstRegistry::product();
    EXPECT_EQ(p.display_name, "Mellora");
    EXPECT_EQ(p.version, "3.0");
    EXPECT_EQ(p.extension, ".mx3");
    EXPECT_EQ(p.type_name, "mellora-3-exchange-file");
    auto file_store = [&] { return KelFileSettingsStore::for_product(p.key_name, p.version); };
    {
        KelFileSettingsStore store = file_store();
        auto r = make_registry(store);
        AudioPortMgrRegistry::setMidiChannel(5);
        AudioPortMgrRegistry::setOmniMode(false);
        MpvRegistry::setResponsiveness(3);
        MpvRegistry::setVSplitter(-300);
        MpvRegistry::setWindowX(12);
        PrepatchedRegistry::setPitchBendRange(7);
        EXPECT_TRUE(MpvRegistry::flushSettings());
    }
    const std::string file = temp.path() + "/Kestrune/Mellora/3.0/settings.conf";
    const std::string text = mellora::test::read_whole_file(file);
    EXPECT_NE(text.find("Midi_Channel=5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Omni_Mode=false\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Default_Instrument=1\n"), std::string::npos) << text;

    KelFileSettingsStore store = file_store();
    auto r = make_registry(store);
    EXPECT_EQ(AudioPortMgrRegistry::getMidiChannel(), 5);
    EXPECT_FALSE(AudioPortMgrRegistry::getOmniMode());
    EXPECT_EQ(MpvRegistry::getResponsiveness(), 3);
    EXPECT_EQ(MpvRegistry::getVSplitter(), -300);
    int x = -1, y = -1;
    EXPECT_TRUE(MpvRegistry::getWindowX(x));
    EXPECT_FALSE(MpvRegistry::getWindowY(y));  // never stored: no default
    EXPECT_EQ(x, 12);
    EXPECT_EQ(PrepatchedRegistry::getPitchBendRange(), 7);
    EXPECT_EQ(MpvRegistry::getDefaultInstrument(), 1);
    EXPECT_TRUE(MpvRegistry::getExportSubItems());
}

TEST(KelRegistry, StoredTextsReadThroughTheAccessorsWithDefaultsAndRanges) {
    struct Case {
        const char* name;
        const char* text;  // nullptr: missing
        int (*read)();
        int expected;
    };
    auto midi = [] { return AudioPortMgrRegistry::getMidiChannel(); };
    auto resp = [] { return MpvRegistry::getResponsiveness(); };
    auto poly = [] { return MpvRegistry::getPolyphony(); };
    auto split = [] { return MpvRegistry::getVSplitter(); };
    auto instr = [] { return MpvRegistry::getDefaultInstrument(); };
    auto bend = [] { return PrepatchedRegistry::getPitchBendRange(); };
    auto omni = [] { return int(AudioPortMgrRegistry::getOmniMode()); };
    auto tips = [] { return int(MpvRegistry::getEnableTooltips()); };
    auto restore = [] { return int(MpvRegistry::getRestoreFactory()); };
    auto window_x = [] {
        int v = -1;
        return MpvRegistry::getWindowX(v) ? v : -1;
    };
    auto window_h = [] {
        int v = -1;
        return MpvRegistry::getWindowHeight(v) ? v : -1;
    };
    const Case cases[] = {
        {"Midi_Channel", nullptr, midi, 1},      {"Midi_Channel", "16", midi, 16},
        {"Midi_Channel", "17", midi, 1},         {"Midi_Channel", "0", midi, 1},
        {"Midi_Channel", "abc", midi, 1},        {"Midi_Channel", "7 ", midi, 7},
        {"Midi_Channel", "+3x", midi, 3},        {"Midi_Channel", "99999999999999", midi, 1},
        {"Responsiveness", "0", resp, 8},        {"Responsiveness", "10", resp, 10},
        {"Responsiveness", "11", resp, 8},       {"Polyphony", "33", poly, 8},
        {"Polyphony", "32", poly, 32},           {"Polyphony", nullptr, poly, 8},
        {"VSplitter", nullptr, split, 240},      {"VSplitter", "-50", split, -80},
        {"VSplitter", "50", split, 80},          {"VSplitter", "700", split, 600},
        {"VSplitter", "-701", split, -600},      {"VSplitter", "junk", split, 80},
        {"VSplitter", "-99999999999", split, -600}, {"Default_Instrument", "-3", instr, 0},
        {"Default_Instrument", "12", instr, 12}, {"Pitch_Bend_Range", "24", bend, 24},
        {"Omni_Mode", "YES", omni, 1},           {"Omni_Mode", "No", omni, 0},
        {"Omni_Mode", "0", omni, 0},             {"Omni_Mode", "maybe", omni, 1},
        {"EnableTooltips", "", tips, 1},         {"EnableTooltips", "FALSE", tips, 0},
        {"RestoreFactory", "TrUe", restore, 1},  {"RestoreFactory", "2", restore, 0},
        {"WindowX", "-5", window_x, 0},          {"WindowX", "601", window_x, 600},
        {"WindowX", nullptr, window_x, -1},      {"WindowHeight", "10", window_h, 64},
    };
    for (const Case& c : cases) {
        KelMemorySettingsStore store;
        store.create_key(kKelSettingsUser);  // an existing key: no first-run values
        if (c.text) store.write(kKelSettingsUser, c.name, c.text);
        auto r = make_registry(store);
        EXPECT_EQ(c.read(), c.expected) << c.name << " stored as \"" << (c.text ? c.text : "<missing>") << "\"";
    }
}

TEST(KelRegistry, WritesApplyTheRangeBeforeTheyAreStored) {
    KelMemorySettingsStore store;
    auto r = make_registry(store);
    struct Case {
        void (*write)(int);
        int value;
        const char* name;
        const char* stored;
    };
    const Case cases[] = {
        {MpvRegistry::setResponsiveness, 12, "Responsiveness", "10"},
        {MpvRegistry::setResponsiveness, -4, "Responsiveness", "1"},
        {MpvRegistry::setVSplitter, -50, "VSplitter", "-80"},
        {MpvRegistry::setVSplitter, 50, "VSplitter", "80"},
        {MpvRegistry::setVSplitter, 700, "VSplitter", "600"},
        {AudioPortMgrRegistry::setMidiChannel, 17, "Midi_Channel", "1"},
        {MpvRegistry::setPolyphony, 0, "Polyphony", "8"},
        {MpvRegistry::setDefaultInstrument, -1, "Default_Instrument", "0"},
        {MpvRegistry::setWindowY, 451, "WindowY", "450"},
        {MpvRegistry::setWindowWidth, 5000, "WindowWidth", "2000"},
        {MpvRegistry::setWindowHeight, 0, "WindowHeight", "64"},
    };
    for (const Case& c : cases) {
        c.write(c.value);
        ASSERT_TRUE(r->flush());
        EXPECT_EQ(stored(store, c.name), c.stored) << c.name << " written as " << c.value;
    }
}

TEST(KelRegistry, MachineScopeGivesTheInstallationFolderWithItsFallbacks) {
    TempFolder temp;
    std::filesystem::create_directories(temp / "lib/vst/Mellora");
    const std::string module = temp / "lib/vst/Mellora.so";
    {
        KelMemorySettingsStore store;
        store.create_key(kKelSettingsMachine);
        store.write(kKelSettingsMachine, "installation_path", "/opt/old");
        auto r = make_registry(store, module);
        std::string folder, tunings, manual;
        ASSERT_TRUE(MpvRegistry::installationFolder(folder));
        EXPECT_EQ(folder, "/opt/old");
        store.write(kKelSettingsMachine, "InstallationPath", "/opt/new");  // preferred, read fresh
        ASSERT_TRUE(MpvRegistry::installationFolder(folder));
        EXPECT_EQ(folder, "/opt/new");
        ASSERT_TRUE(MpvRegistry::tuningFolder(tunings));
        ASSERT_TRUE(MpvRegistry::manualPath(manual));
        EXPECT_EQ(tunings, "/opt/new/Scala");
        EXPECT_EQ(manual, "/opt/new/Manual.pdf");
        // The user scope does not stand in for the machine.
        std::string user;
        EXPECT_FALSE(r->readPath(kKelSettingsUser, "InstallationPath", user));
    }
    {
        KelMemorySettingsStore store;
        auto r = make_registry(store, module);
        std::string folder;
        ASSERT_TRUE(MpvRegistry::installationFolder(folder));
        EXPECT_EQ(folder, temp / "lib/vst/Mellora");
    }
    {
        KelMemorySettingsStore store;
        auto r = make_registry(store, temp / "elsewhere/Mellora.so");
        std::string folder = "unchanged", tunings = "unchanged", manual = "unchanged";
        EXPECT_FALSE(MpvRegistry::installationFolder(folder));
        EXPECT_FALSE(MpvRegistry::tuningFolder(tunings));
        EXPECT_FALSE(MpvRegistry::manualPath(manual));
        EXPECT_EQ(folder + tunings + manual, "unchangedunchangedunchanged");
    }
}

TEST(KelRegistry, AValueReadOnceIsAnsweredFromTheCache) {
    KelMemorySettingsStore store;
    store.create_key(kKelSettingsUser);
    store.write(kKelSettingsUser, "Polyphony", "12");
    auto r = make_registry(store);
    EXPECT_EQ(MpvRegistry::getPolyphony(), 12);
    store.write(kKelSettingsUser, "Polyphony", "20");  // another process, after our read
    EXPECT_EQ(MpvRegistry::getPolyphony(), 12);
    // ... and the flush writes the cached value back.
    ASSERT_TRUE(r->flush());
    EXPECT_EQ(stored(store, "Polyphony"), "12");
    // A value that failed to convert is not cached: a later write is read normally.
    store.write(kKelSettingsUser, "Load_Dirty", "perhaps");
    EXPECT_TRUE(MpvRegistry::getLoadDirty());
    MpvRegistry::setLoadDirty(false);
    EXPECT_FALSE(MpvRegistry::getLoadDirty());
    // An over-long text is not read.
    store.write(kKelSettingsUser, "Audio_Default", std::string(KelRegistry::kMaxTextBytes + 1, 'a'));
    std::string text = "kept";
    EXPECT_FALSE(AudioPortMgrRegistry::getAudioDefault(text));
    EXPECT_EQ(text, "kept");
}

TEST(KelRegistry, WithoutAnObjectOrAKeyReadsAnswerDefaultsAndFlushFails) {
    ASSERT_EQ(KelRegistry::instance(), nullptr);
    AudioPortMgrRegistry::setMidiChannel(9);  // goes nowhere
    EXPECT_EQ(AudioPortMgrRegistry::getMidiChannel(), 1);
    EXPECT_EQ(MpvRegistry::getVSplitter(), 240);
    EXPECT_EQ(MpvRegistry::getResponsiveness(), 8);
    EXPECT_FALSE(MpvRegistry::flushSettings());
    std::string folder;
    EXPECT_FALSE(MpvRegistry::installationFolder(folder));

    KelMemorySettingsStore store;
    store.set_fail_create(true);
    auto r = make_registry(store);
    EXPECT_EQ(MpvRegistry::getDefaultInstrument(), 0);  // no first-run values without a key
    MpvRegistry::setPolyphony(4);
    EXPECT_EQ(MpvRegistry::getPolyphony(), 4);  // the cache still answers
    EXPECT_FALSE(r->flush());

    KelMemorySettingsStore failing;
    auto second = make_registry(failing);  // not registered: the first one still is
    EXPECT_EQ(KelRegistry::instance(), r.get());
    failing.set_fail_writes(true);
    EXPECT_FALSE(second->flush());
    failing.set_fail_writes(false);
    EXPECT_TRUE(second->flush());
    EXPECT_EQ(stored(failing, "Default_Instrument"), "1");
}

TEST(KelRegistry, TextFormsAndTheRefreshPeriods) {
    EXPECT_EQ(KelRegistry::formatFloat(-1.5), "-1.500000");
    EXPECT_EQ(KelRegistry::formatInt(-12), "-12");
    double f = 7;
    EXPECT_TRUE(KelRegistry::parseFloat("+2.5", f));
    EXPECT_EQ(f, 2.5);
    EXPECT_FALSE(KelRegistry::parseFloat("2,5", f));
    EXPECT_FALSE(KelRegistry::parseFloat("nan", f));
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(KelRegistry::parseInt("-"), 0);
    EXPECT_EQ(KelRegistry::parseInt("-2147483648"), -2147483647 - 1);
    const int periods[] = {500, 333, 250, 200, 125, 91, 67, 50, 40, 33};
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(MpvRegistry::refreshPeriodMs(i), periods[i - 1]);
    EXPECT_EQ(MpvRegistry::refreshPeriodMs(0), 500);
    EXPECT_EQ(MpvRegistry::refreshPeriodMs(99), 33);

    TempFolder temp;
    ScopedEnv data("XDG_DATA_HOME", temp.path());
    KelMemorySettingsStore store;
    auto r = make_registry(store);
    std::string folder;
    ASSERT_TRUE(r->applicationDataFolder(folder));
    EXPECT_EQ(folder, temp.path() + "/Kestrune/Mellora 3.0");
}
