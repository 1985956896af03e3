#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/IniDocument.h"

// The name of the settings file, kept beside the executable.
inline constexpr const char* kSettingsFileName = "tallwyn.stp";

// The directory of the running executable (from /proc/self/exe), ending with '/';
// empty when it cannot be found, so the file name alone is used.
std::string ExecutableDir();

// One INI-style settings file. Reads follow the private-profile conventions: an
// absent file, section or key gives the caller's default; values come back cut to
// 255 bytes; section and key names match without regard to case; white space around
// keys and values is dropped; lines starting with ';' are comments; CRLF and LF
// files are read alike. Writes use CRLF, create the file and the section as needed,
// replace values in place without disturbing the rest, and replace the whole file
// atomically (temporary file in the same directory, flush, rename).
//
// A write that fails leaves the file as it was and no temporary file behind, and is
// reported by a false result. A write also fails, without touching the file, when
// the file exists but cannot be read (it would otherwise be replaced by a file that
// lacks its other sections), or when a name or value cannot be stored (a line break
// in it; see CIniDocument). A replaced file keeps its permission bits; a new one is
// readable by its owner only, as it holds the scrambled passwords. When the path is a
// symbolic link, the file it points to is replaced and the link kept.
class CProfile {
public:
    explicit CProfile(std::string path) : m_path(std::move(path)) {}

    const std::string& Path() const { return m_path; }

    // The file's contents; empty when the file is absent or cannot be read, so that
    // every read gives its default. Lets a caller read many keys from one read.
    CIniDocument ReadDocument() const;

    // Where a write puts the new contents before renaming them over path: path
    // followed by ".<process id>.tmp", in the same directory, so the rename is atomic.
    static std::string TemporaryPath(const std::string& path);

    std::string GetIniString(std::string_view section, std::string_view key,
                             std::string_view defaultValue) const;
    [[nodiscard]] bool WriteIniString(std::string_view section, std::string_view key,
                                      std::string_view value);
    [[nodiscard]] bool WriteIniInt(std::string_view section, std::string_view key, long value);

    // Sets several keys of one section in a single atomic replace of the file.
    [[nodiscard]] bool WriteIniSection(
        std::string_view section, const std::vector<std::pair<std::string, std::string>>& entries);

private:
    std::string m_path;
};
