// The settings store: round trip, key creation, missing folders, damaged files, the
// XDG locations and the atomic replacement.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "framework/settings_store.h"
#include "tests/framework/platform_test_support.h"

using mellora::test::LogCapture;
using mellora::test::ScopedEnv;
using mellora::test::TempFolder;

namespace {

struct SettingsStoreTest : ::testing::Test {
    TempFolder temp;
    KelFileSettingsStore store{temp / "user/Kestrune/Mellora/3.0", temp / "machine/Kestrune/Mellora/3.0"};

    std::vector<std::string> folder_entries(int scope) {
        std::vector<std::string> names;
        const auto folder = std::filesystem::path(store.file_path(scope)).parent_path();
        for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(SettingsStoreTest, ValuesSurviveARoundTripThroughTheFile) {
    ASSERT_EQ(store.create_key(kKelSettingsUser), KelSettingsKey::Created);
    const KelSettingsValues values = {
        {"Midi_Channel", "1"},
        {"Audio_Default", "  leading and trailing blanks  "},
        {"Empty", ""},
        {"InstallationPath", "C:\\Program Files\\odd=path #1"},
        {"Multi", "line one\nline two\r\ttab"},
        {"Unicode", "Pi\xC3\xA8" "ce \xE2\x99\xAA"},
        {"#starts=with#", "x"},
    };
    ASSERT_TRUE(store.write(kKelSettingsUser, values));
    KelFileSettingsStore other(temp / "user/Kestrune/Mellora/3.0", "");  // another instance reads it
    for (const auto& [name, value] : values) {
        std::string out = "unchanged";
        EXPECT_TRUE(other.read(kKelSettingsUser, name, out)) << name;
        EXPECT_EQ(out, value) << name;
    }
    std::string out = "unchanged";
    EXPECT_FALSE(other.read(kKelSettingsUser, "Missing", out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(folder_entries(kKelSettingsUser), (std::vector<std::string>{"settings.conf", "settings.conf.lock"}));
}

TEST_F(SettingsStoreTest, WritesReplaceByNameAndKeepTheRest) {
    store.create_key(kKelSettingsUser);
    ASSERT_TRUE(store.write(kKelSettingsUser, {{"A", "1"}, {"B", "2"}}));
    ASSERT_TRUE(store.write(kKelSettingsUser, "B", "3"));
    std::string a, b;
    EXPECT_TRUE(store.read(kKelSettingsUser, "A", a));
    EXPECT_TRUE(store.read(kKelSettingsUser, "B", b));
    EXPECT_EQ(a + b, "13");
    EXPECT_FALSE(store.write(kKelSettingsUser, {{"", "nameless"}}));
}

TEST_F(SettingsStoreTest, MissingKeyFailsUntilCreatedWithItsFolders) {
    std::string out;
    EXPECT_FALSE(store.key_exists(kKelSettingsUser));
    EXPECT_FALSE(store.read(kKelSettingsUser, "A", out));
    EXPECT_FALSE(store.write(kKelSettingsUser, "A", "1"));  // a flush needs an existing key
    EXPECT_FALSE(std::filesystem::exists(temp / "user"));  // and a failed write makes nothing
    EXPECT_EQ(store.create_key(kKelSettingsUser), KelSettingsKey::Created);
    EXPECT_EQ(store.create_key(kKelSettingsUser), KelSettingsKey::Existed);
    EXPECT_TRUE(store.write(kKelSettingsUser, "A", "1"));
    EXPECT_FALSE(store.key_exists(kKelSettingsMachine));  // the scopes are separate
    EXPECT_FALSE(store.read(kKelSettingsMachine, "A", out));
    EXPECT_EQ(store.create_key(5), KelSettingsKey::Failed);
}

TEST_F(SettingsStoreTest, DamagedOrUnreadableFileIsLoggedOnceAndReadsEmpty) {
    store.create_key(kKelSettingsUser);
    store.write(kKelSettingsUser, "A", "1");
    mellora::test::write_whole_file(store.file_path(kKelSettingsUser), "A=1\ngarbage without equals\n");
    LogCapture log;
    std::string out;
    EXPECT_FALSE(store.read(kKelSettingsUser, "A", out));
    EXPECT_FALSE(store.read(kKelSettingsUser, "A", out));
    EXPECT_EQ(log.count_containing("is damaged"), 1);
    // A write starts from the empty store and leaves a sound file behind.
    ASSERT_TRUE(store.write(kKelSettingsUser, "B", "2"));
    EXPECT_FALSE(store.read(kKelSettingsUser, "A", out));
    EXPECT_TRUE(store.read(kKelSettingsUser, "B", out));
    EXPECT_EQ(out, "2");

    // Something unreadable where the file should be (a folder: refused even to root).
    std::filesystem::create_directories(store.file_path(kKelSettingsMachine));
    EXPECT_FALSE(store.read(kKelSettingsMachine, "A", out));
    EXPECT_FALSE(store.read(kKelSettingsMachine, "A", out));
    EXPECT_EQ(log.count_containing("cannot read the settings file"), 1);
    EXPECT_FALSE(store.write(kKelSettingsMachine, "A", "1"));
}

TEST_F(SettingsStoreTest, ProgramsWritingAtOnceLoseNoNameAndLeaveNoTemporaryFile) {
    // Separate processes, as two hosts running the plug-in would be.
    ASSERT_EQ(store.create_key(kKelSettingsUser), KelSettingsKey::Created);
    const std::string folder = temp / "user/Kestrune/Mellora/3.0";
    constexpr int kPrograms = 3, kRounds = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kPrograms; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            KelFileSettingsStore own(folder, "");
            bool ok = true;
            for (int r = 0; r < kRounds; ++r)
                ok = own.write(kKelSettingsUser, {{"Shared", std::to_string(p)},
                                                  {"Program" + std::to_string(p), std::to_string(r)}}) &&
                     ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string out;
    for (int p = 0; p < kPrograms; ++p) {
        ASSERT_TRUE(store.read(kKelSettingsUser, "Program" + std::to_string(p), out));
        EXPECT_EQ(out, std::to_string(kRounds - 1));
    }
    EXPECT_TRUE(store.read(kKelSettingsUser, "Shared", out));
    EXPECT_EQ(folder_entries(kKelSettingsUser), (std::vector<std::string>{"settings.conf", "settings.conf.lock"}));
}

TEST(SettingsFileText, DamagedTextsAreRefusedWhole) {
    const char* const damaged[] = {
        "A=1\nno equals sign\n", "=value without name\n", "A=bad \\q escape\n", "A=short \\x4",
        "A=\\x4G\n",              "A=raw \x01 control\n",
    };
    for (const char* text : damaged) {
        KelSettingsValues values = {{"left", "over"}};
        EXPECT_FALSE(kel_settings_parse(text, values)) << text;
        EXPECT_TRUE(values.empty()) << text;
    }
    KelSettingsValues values;
    EXPECT_TRUE(kel_settings_parse("# comment\r\n\nA=1\r\nA=2\nB=x\\x3Dy\n", values));
    EXPECT_EQ(values, (KelSettingsValues{{"A", "2"}, {"B", "x=y"}}));
}

TEST(SettingsStoreLocation, FollowsXdgConfigHomeAndFallsBackToDotConfig) {
    TempFolder temp;
    {
        ScopedEnv config("XDG_CONFIG_HOME", temp / "cfg");
        EXPECT_EQ(KelFileSettingsStore::user_folder_for("Mellora", "3.0"), temp / "cfg/Kestrune/Mellora/3.0");
        auto store = KelFileSettingsStore::for_product("Mellora", "3.0");
        EXPECT_EQ(store.file_path(kKelSettingsUser), temp / "cfg/Kestrune/Mellora/3.0/settings.conf");
        EXPECT_EQ(store.file_path(kKelSettingsMachine), "/etc/xdg/Kestrune/Mellora/3.0/settings.conf");
    }
    for (const char* unusable : {"", "relative/path"}) {
        ScopedEnv home("HOME", temp.path());
        ScopedEnv config("XDG_CONFIG_HOME", std::string(unusable));
        EXPECT_EQ(KelFileSettingsStore::user_folder_for("Mellora", "3.0"), temp / ".config/Kestrune/Mellora/3.0")
            << unusable;
    }
}

TEST(MemorySettingsStore, BehavesLikeTheFileStore) {
    KelMemorySettingsStore store;
    std::string out;
    EXPECT_FALSE(store.write(kKelSettingsUser, "A", "1"));
    EXPECT_EQ(store.create_key(kKelSettingsUser), KelSettingsKey::Created);
    EXPECT_EQ(store.create_key(kKelSettingsUser), KelSettingsKey::Existed);
    EXPECT_TRUE(store.write(kKelSettingsUser, "A", "1"));
    EXPECT_TRUE(store.read(kKelSettingsUser, "A", out));
    EXPECT_EQ(out, "1");
    store.set_fail_writes(true);
    EXPECT_FALSE(store.write(kKelSettingsUser, "A", "2"));
    EXPECT_TRUE(store.read(kKelSettingsUser, "A", out));
    EXPECT_EQ(out, "1");
}
