// Several store instances (as several plug-in instances or programs would) write the
// same file at once: every write lands whole, the last writer of a name wins, and no
// reader ever meets a half-written file.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "framework/settings_store.h"
#include "tests/framework/platform_test_support.h"

TEST(SettingsStoreConcurrency, ConcurrentInstancesNeverTearTheFile) {
    mellora::test::TempFolder temp;
    const std::string folder = temp / "Kestrune/Mellora/3.0";
    {
        KelFileSettingsStore first(folder, "");
        ASSERT_EQ(first.create_key(kKelSettingsUser), KelSettingsKey::Created);
    }
    mellora::test::LogCapture log;
    constexpr int kWriters = 4, kRounds = 40;
    std::atomic<bool> writing{true};
    std::atomic<int> failed_writes{0}, failed_reads{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            KelFileSettingsStore store(folder, "");
            for (int r = 0; r < kRounds; ++r) {
                // A long value makes a torn file likely if a write were not atomic.
                const KelSettingsValues values = {{"Shared", std::to_string(w) + ":" + std::to_string(r)},
                                                  {"Own" + std::to_string(w), std::string(2000, char('a' + w))},
                                                  {"Round" + std::to_string(w), std::to_string(r)}};
                if (!store.write(kKelSettingsUser, values)) failed_writes.fetch_add(1);
            }
        });
    std::thread reader([&] {
        KelFileSettingsStore store(folder, "");
        while (writing.load()) {
            std::string out;
            if (store.read(kKelSettingsUser, "Shared", out) && out.find(':') == std::string::npos)
                failed_reads.fetch_add(1);
        }
    });
    for (auto& t : writers) t.join();
    writing.store(false);
    reader.join();

    EXPECT_EQ(failed_writes.load(), 0);
    EXPECT_EQ(failed_reads.load(), 0);
    EXPECT_EQ(log.count_containing("settings file"), 0);  // never damaged, never unreadable
    KelFileSettingsStore store(folder, "");
    std::string out;
    for (int w = 0; w < kWriters; ++w) {
        // No instance lost another's names: each one's last round is there.
        ASSERT_TRUE(store.read(kKelSettingsUser, "Round" + std::to_string(w), out));
        EXPECT_EQ(out, std::to_string(kRounds - 1));
        ASSERT_TRUE(store.read(kKelSettingsUser, "Own" + std::to_string(w), out));
        EXPECT_EQ(out, std::string(2000, char('a' + w)));
    }
    ASSERT_TRUE(store.read(kKelSettingsUser, "Shared", out));
    EXPECT_EQ(out.substr(out.find(':')), ":" + std::to_string(kRounds - 1));  // some writer's last round
    for (const auto& e : std::filesystem::directory_iterator(folder))  // no temporary files left
        EXPECT_TRUE(e.path().filename() == "settings.conf" || e.path().filename() == "settings.conf.lock")
            << e.path();
}
