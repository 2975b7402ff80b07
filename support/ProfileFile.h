#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An initialisation file under the profile-file rules the settings were made
// for: "[section]" lines, "key=value" lines, section and key names compared
// without regard to ASCII case and trimmed, values trimmed and stripped of one
// pair of enclosing quotes, lines starting with ';' or '#' and every line that
// is neither a section nor a key kept as they are. The first matching section
// and, inside it, the first matching key win.
//
// Setting a key rewrites only that key's line (or adds one line, or one
// section); every other byte of the text, comments and line endings included,
// stays as it was.
class ProfileFile {
public:
    ProfileFile() = default;
    explicit ProfileFile(std::string_view text) { parse(text); }

    void parse(std::string_view text);
    std::string text() const;

    std::optional<std::string> lookup(std::string_view section, std::string_view key) const;
    void set(std::string_view section, std::string_view key, std::string_view value);

    // Reads path; a missing or unreadable file reads as empty. Returns whether
    // the file was read.
    bool load(const std::string& path);
    // Replaces path with this text through a temporary file in the same
    // directory, keeping the old file's permissions. Returns whether it worked.
    bool save(const std::string& path) const;

private:
    struct Line {
        std::string body;     // without its line ending
        std::string ending;   // "\r\n", "\n" or "" for a last line without one
    };
    std::optional<std::string> sectionName(const Line& line) const;
    std::optional<std::pair<std::string, std::string>> keyValue(const Line& line) const;
    std::string newLineEnding() const;

    static constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

    std::vector<Line> lines;
    std::string byteOrderMark;  // kept as read, so that a save keeps it
};

// The three profile calls the settings use, each reading or writing the file
// afresh, as the platform's profile functions do.
namespace profile {

// The integer under key: a value that does not start with an optionally
// signed decimal number reads as 0; a missing file, section or key gives
// defaultValue.
int getInt(const std::string& path, std::string_view section, std::string_view key,
           int defaultValue);

// The text under key cut to maxBytes bytes; missing gives defaultValue.
std::string getString(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t maxBytes);

// Writes key = value, creating the file and the section when missing. A value
// is cut at its first CR or LF so that it cannot add lines. Returns 1 on
// success, 0 when the file could not be written.
int writeString(const std::string& path, std::string_view section, std::string_view key,
                std::string_view value);

// Whether text (trimmed) is a whole decimal number with an optional sign.
bool isInt(std::string_view text);

// The leading decimal number of text (optional sign), 0 when there is none.
int parseLeadingInt(std::string_view text);

}  // namespace profile
