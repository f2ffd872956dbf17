// File operations on POSIX. Copies go through a temporary file in the target's folder
// so that a crash or a full disk never leaves a partial target behind.
#include "framework/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

bool write_all(int fd, const char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd, data, bytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

// Renames without replacing an existing target. Filesystems without the no-replace
// rename fall back to a check and a plain rename (a narrow race, only there).
bool rename_no_replace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    struct stat st;
    if (::lstat(to, &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from, to) == 0;
}

} // namespace

bool kel_file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool kel_folder_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool kel_copy_file(const std::string& from, const std::string& to, bool fail_if_exists) {
    if (fail_if_exists && kel_file_exists(to)) return false;
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st;
    if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(in);
        return false;
    }
    std::string temp = to + ".part-XXXXXX";
    const int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!write_all(out, buffer.data(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    ok = ok && ::fchmod(out, st.st_mode & 07777) == 0 && ::fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    if (ok) ok = fail_if_exists ? rename_no_replace(temp.c_str(), to.c_str()) : ::rename(temp.c_str(), to.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool kel_rename_file(const std::string& from, const std::string& to) {
    return rename_no_replace(from.c_str(), to.c_str());
}

bool kel_delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool kel_create_folder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    return errno == EEXIST && kel_folder_exists(path);
}

bool kel_create_folder_chain(const std::string& path) {
    if (path.empty()) return false;
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        kel_create_folder(path.substr(0, slash));  // failures show up in the last step
    return kel_create_folder(path);
}

bool kel_reset_file_attributes(const std::string& path) {
    return ::chmod(path.c_str(), S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH) == 0;
}

bool kel_can_open_for_append(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

KelBinaryFileWriter::~KelBinaryFileWriter() { close(); }

bool KelBinaryFileWriter::create(const std::string& path) {
    close();
    failed_ = false;
    position_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd_ >= 0;
}

bool KelBinaryFileWriter::write(const void* data, std::size_t bytes) {
    if (fd_ < 0 || failed_) return false;
    if (!write_all(fd_, static_cast<const char*>(data), bytes)) {
        failed_ = true;
        return false;
    }
    position_ += static_cast<int64_t>(bytes);
    return true;
}

bool KelBinaryFileWriter::seek(int64_t offset) {
    if (fd_ < 0 || failed_) return false;
    if (offset < 0 || ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        failed_ = true;
        return false;
    }
    position_ = offset;
    return true;
}

bool KelBinaryFileWriter::close() {
    if (fd_ < 0) return false;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed && !failed_;
}
