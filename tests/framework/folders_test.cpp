// Standard folders from a home folder and XDG variables pointed into a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "framework/files.h"
#include "framework/folders.h"
#include "tests/framework/platform_test_support.h"

using mellora::test::ScopedEnv;
using mellora::test::TempFolder;

namespace {

std::string folder(KelFolder which) {
    std::string out = "unset";
    EXPECT_TRUE(kel_folder_path(which, out));
    return out;
}

} // namespace

TEST(Folders, DefaultsBelowTheHomeFolder) {
    TempFolder temp;
    ScopedEnv home("HOME", temp.path() + "/");
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv data("XDG_DATA_HOME", std::string("not/absolute"));  // ignored, as XDG asks
    ScopedEnv dirs("XDG_DATA_DIRS", std::nullopt);
    EXPECT_EQ(folder(KelFolder::UserAppData), temp / ".local/share");
    EXPECT_EQ(folder(KelFolder::UserConfig), temp / ".config");
    EXPECT_EQ(folder(KelFolder::Documents), temp.path());
    EXPECT_EQ(folder(KelFolder::Desktop), temp / "Desktop");
    EXPECT_EQ(folder(KelFolder::CommonAppData), "/usr/local/share");
    EXPECT_EQ(folder(KelFolder::ProgramFiles), "/opt");
    ScopedEnv root_home("HOME", std::string("/"));  // a service account
    EXPECT_EQ(folder(KelFolder::UserConfig), "/.config");
    EXPECT_EQ(folder(KelFolder::Documents), "/");
}

TEST(Folders, FollowTheXdgVariablesAndTheUserDirsFile) {
    TempFolder temp;
    ScopedEnv home("HOME", temp.path());
    ScopedEnv config("XDG_CONFIG_HOME", temp / "cfg");
    ScopedEnv data("XDG_DATA_HOME", temp / "data/");
    ScopedEnv dirs("XDG_DATA_DIRS", std::string("relative:/srv/share:/usr/share"));
    std::filesystem::create_directories(temp / "cfg");
    mellora::test::write_whole_file(temp / "cfg/user-dirs.dirs",
                                    "# written by the desktop\n"
                                    "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"
                                    "XDG_DOCUMENTS_DIR=\"/srv/docs/My \\\"Files\\\"\"\n");
    EXPECT_EQ(folder(KelFolder::UserAppData), temp / "data");
    EXPECT_EQ(folder(KelFolder::UserConfig), temp / "cfg");
    EXPECT_EQ(folder(KelFolder::Desktop), temp / "Bureau");
    EXPECT_EQ(folder(KelFolder::Documents), "/srv/docs/My \"Files\"");
    EXPECT_EQ(folder(KelFolder::CommonAppData), "/srv/share");
}

TEST(Folders, CreateMakesTheWholeChain) {
    TempFolder temp;
    ScopedEnv data("XDG_DATA_HOME", temp / "a/b/c");
    std::string out;
    ASSERT_TRUE(kel_folder_path(KelFolder::UserAppData, out, true));
    EXPECT_TRUE(kel_folder_exists(out));
    mellora::test::write_whole_file(temp / "file", "x");
    ScopedEnv blocked("XDG_DATA_HOME", temp / "file/below");
    out = "unchanged";
    EXPECT_FALSE(kel_folder_path(KelFolder::UserAppData, out, true));  // a file is in the way
    EXPECT_EQ(out, "unchanged");
}

TEST(Folders, ModulePathNamesAnExistingFile) {
    std::string path;
    ASSERT_TRUE(kel_module_path(path));
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(kel_file_exists(path));
}
