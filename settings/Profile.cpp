#include "settings/Profile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Permission bits of a settings file that did not exist before.
constexpr mode_t kNewFileMode = 0600;

enum class ReadResult { Read, Absent, Failed };

// Reads the whole file; Absent only when there is no file at all.
ReadResult ReadWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno == ENOENT ? ReadResult::Absent : ReadResult::Failed;
    }
    char buffer[8192];
    ReadResult result = ReadResult::Read;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result = ReadResult::Failed;  // EISDIR for a directory, EIO, ...
            break;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return result;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file a write replaces: the target of a symbolic link, so the link survives.
std::string ReplacedPath(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself durable. A failure here is not reported: the new contents
// are already in place and complete, only their survival of a power cut is less sure.
void SyncDirectory(const std::string& path) {
    const int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Writes bytes to a temporary file beside path, flushes it to the disk and renames it
// over path. On failure the temporary file is removed and path is untouched.
bool ReplaceFile(const std::string& path, std::string_view bytes) {
    mode_t mode = kNewFileMode;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    }

    const std::string temporary = CProfile::TemporaryPath(path);
    int fd;
    do {
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    // fchmod: a stale temporary file left by a crash keeps its own bits through O_TRUNC.
    bool written = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
    if (close(fd) != 0) {
        written = false;
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    SyncDirectory(path);
    return true;
}

}  // namespace

std::string ExecutableDir() {
    std::string path(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);  // possibly cut: try again with more room
    }
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string CProfile::TemporaryPath(const std::string& path) {
    return path + "." + std::to_string(getpid()) + ".tmp";
}

CIniDocument CProfile::ReadDocument() const {
    std::string bytes;
    if (ReadWholeFile(m_path, bytes) != ReadResult::Read) {
        return {};
    }
    return CIniDocument::Parse(bytes);
}

std::string CProfile::GetIniString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
    return ReadDocument().GetString(section, key, defaultValue);
}

bool CProfile::WriteIniString(std::string_view section, std::string_view key,
                              std::string_view value) {
    return WriteIniSection(section, {{std::string(key), std::string(value)}});
}

bool CProfile::WriteIniInt(std::string_view section, std::string_view key, long value) {
    return WriteIniString(section, key, std::to_string(value));
}

bool CProfile::WriteIniSection(std::string_view section,
                               const std::vector<std::pair<std::string, std::string>>& entries) {
    const std::string path = ReplacedPath(m_path);
    std::string bytes;
    if (ReadWholeFile(path, bytes) == ReadResult::Failed) {
        return false;
    }
    CIniDocument document = CIniDocument::Parse(bytes);
    if (!document.SetSection(section, entries)) {
        return false;
    }
    return ReplaceFile(path, document.Serialize());
}
