#pragma once
// File operations, with the semantics the callers rely on: copy and rename never
// replace an existing target unless asked, and a copy either appears complete or not
// at all (it is written beside the target and renamed into place).
//
// Threads: any non-audio thread (these block on the disk).
#include <cstddef>
#include <cstdint>
#include <string>

// True when something other than a folder exists at the path.
bool kel_file_exists(const std::string& path);
bool kel_folder_exists(const std::string& path);

// Copies a file with its permission bits (a read-only source gives a read-only copy;
// kel_reset_file_attributes clears that). With fail_if_exists an existing target is
// left alone and the copy fails.
bool kel_copy_file(const std::string& from, const std::string& to, bool fail_if_exists);
// Renames or moves a file or folder; fails when the target exists.
bool kel_rename_file(const std::string& from, const std::string& to);
bool kel_delete_file(const std::string& path);
// Creates one folder; true when the folder exists afterwards (also when it did before).
bool kel_create_folder(const std::string& path);
// Creates a folder and every missing parent.
bool kel_create_folder_chain(const std::string& path);
// Makes a file an ordinary one: readable and writable by its owner, readable by others.
bool kel_reset_file_attributes(const std::string& path);
// Opens the file for appending (creating it when missing) and closes it at once: the
// check the recorder makes before it accepts a chosen path.
bool kel_can_open_for_append(const std::string& path);

// Sequential binary writing with a seek back to rewrite a header (the recorder's WAV and
// AIFF files, the factory library copy). Unbuffered: each write goes to the system.
// A failed write sticks: later writes do nothing and close() answers false.
class KelBinaryFileWriter {
public:
    KelBinaryFileWriter() = default;
    ~KelBinaryFileWriter();
    KelBinaryFileWriter(const KelBinaryFileWriter&) = delete;
    KelBinaryFileWriter& operator=(const KelBinaryFileWriter&) = delete;

    // Creates the file, or truncates an existing one.
    bool create(const std::string& path);
    bool write(const void* data, std::size_t bytes);
    // Moves to a byte offset from the start of the file.
    bool seek(int64_t offset);
    int64_t position() const { return position_; }
    // Closes the file; false when any write, seek or the close itself failed.
    bool close();
    bool is_open() const { return fd_ >= 0; }
    bool failed() const { return failed_; }

private:
    int fd_ = -1;
    int64_t position_ = 0;
    bool failed_ = false;
};
