// File operations and the binary writer, in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "framework/files.h"
#include "tests/framework/platform_test_support.h"

using mellora::test::read_whole_file;
using mellora::test::TempFolder;
using mellora::test::write_whole_file;

namespace {

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

int entries(const std::string& folder) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

} // namespace

TEST(Files, CopyWithoutOverwriteKeepsAnExistingTarget) {
    TempFolder temp;
    write_whole_file(temp / "factory.vdb", "factory");
    write_whole_file(temp / "user.vdb", "user's work");
    EXPECT_FALSE(kel_copy_file(temp / "factory.vdb", temp / "user.vdb", true));
    EXPECT_EQ(read_whole_file(temp / "user.vdb"), "user's work");
    EXPECT_TRUE(kel_copy_file(temp / "factory.vdb", temp / "user.vdb", false));
    EXPECT_EQ(read_whole_file(temp / "user.vdb"), "factory");
    EXPECT_FALSE(kel_copy_file(temp / "missing", temp / "other", true));
    EXPECT_FALSE(kel_copy_file(temp / "factory.vdb", temp / "no/such/folder/x", true));
    EXPECT_EQ(entries(temp.path()), 2);  // no partial or temporary files left behind
}

TEST(Files, ReadOnlyFactoryFileGivesAWritableLibraryAfterReset) {
    TempFolder temp;
    std::string big(300000, '\0');  // several copy buffers' worth
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    write_whole_file(temp / "factory.vdb", big);
    ::chmod((temp / "factory.vdb").c_str(), 0444);
    ASSERT_TRUE(kel_copy_file(temp / "factory.vdb", temp / "Mellora.vdb", true));
    EXPECT_EQ(read_whole_file(temp / "Mellora.vdb"), big);
    EXPECT_EQ(mode_of(temp / "Mellora.vdb"), 0444u);  // the mark travels with the copy
    ASSERT_TRUE(kel_reset_file_attributes(temp / "Mellora.vdb"));
    EXPECT_EQ(mode_of(temp / "Mellora.vdb"), 0644u);
    EXPECT_FALSE(kel_reset_file_attributes(temp / "missing"));
}

TEST(Files, RenameRefusesAnExistingTarget) {
    TempFolder temp;
    write_whole_file(temp / "Mellora.vdb", "old library");
    write_whole_file(temp / "backup", "earlier backup");
    EXPECT_FALSE(kel_rename_file(temp / "Mellora.vdb", temp / "backup"));
    EXPECT_EQ(read_whole_file(temp / "backup"), "earlier backup");
    const std::string backup = temp / "Mellora.vdb - Wed Jan 02 02h03m55 1980";
    ASSERT_TRUE(kel_rename_file(temp / "Mellora.vdb", backup));
    EXPECT_FALSE(kel_file_exists(temp / "Mellora.vdb"));
    EXPECT_EQ(read_whole_file(backup), "old library");
    EXPECT_FALSE(kel_rename_file(temp / "Mellora.vdb", temp / "again"));
}

TEST(Files, ExistsDeleteAndFolders) {
    TempFolder temp;
    write_whole_file(temp / "f", "x");
    EXPECT_TRUE(kel_file_exists(temp / "f"));
    EXPECT_FALSE(kel_file_exists(temp.path()));  // a folder is not a file
    EXPECT_TRUE(kel_delete_file(temp / "f"));
    EXPECT_FALSE(kel_file_exists(temp / "f"));
    EXPECT_FALSE(kel_delete_file(temp / "f"));

    EXPECT_FALSE(kel_create_folder(temp / "a/b"));  // one level only
    EXPECT_TRUE(kel_create_folder_chain(temp / "a/b/Mellora 3.0"));
    EXPECT_TRUE(kel_folder_exists(temp / "a/b/Mellora 3.0"));
    EXPECT_TRUE(kel_create_folder(temp / "a/b"));  // existing is fine
    write_whole_file(temp / "a/file", "x");
    EXPECT_FALSE(kel_create_folder(temp / "a/file"));
    EXPECT_FALSE(kel_create_folder_chain(temp / "a/file/below"));
}

TEST(Files, AppendCheckCreatesButDoesNotTouchContent) {
    TempFolder temp;
    write_whole_file(temp / "take.wav", "RIFF");
    EXPECT_TRUE(kel_can_open_for_append(temp / "take.wav"));
    EXPECT_EQ(read_whole_file(temp / "take.wav"), "RIFF");
    EXPECT_TRUE(kel_can_open_for_append(temp / "new.wav"));
    EXPECT_TRUE(kel_file_exists(temp / "new.wav"));
    EXPECT_FALSE(kel_can_open_for_append(temp / "missing/folder.wav"));
    EXPECT_FALSE(kel_can_open_for_append(temp.path()));
}

TEST(BinaryFileWriter, SeeksBackToRewriteTheHeader) {
    TempFolder temp;
    const std::string path = temp / "take.wav";
    write_whole_file(path, std::string(1000, 'z'));  // an older, longer take is replaced
    KelBinaryFileWriter file;
    ASSERT_TRUE(file.create(path));
    const char header[8] = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    ASSERT_TRUE(file.write(header, sizeof header));
    const char data[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(file.write(data, sizeof data));
    EXPECT_EQ(file.position(), 14);
    ASSERT_TRUE(file.seek(4));
    const unsigned char size[4] = {6, 0, 0, 0};
    ASSERT_TRUE(file.write(size, sizeof size));
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(read_whole_file(path), std::string("RIFF\x06\0\0\0\x01\x02\x03\x04\x05\x06", 14));
    EXPECT_FALSE(file.create(temp / "missing/take.wav"));
}

TEST(BinaryFileWriter, AFailedWriteSticksAndCloseReportsIt) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    KelBinaryFileWriter file;
    ASSERT_TRUE(file.create("/dev/full"));  // every write fails: a full disk
    EXPECT_FALSE(file.write("abc", 3));
    EXPECT_TRUE(file.failed());
    EXPECT_FALSE(file.seek(0));
    EXPECT_FALSE(file.close());
}
