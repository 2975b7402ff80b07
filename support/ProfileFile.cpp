#include "support/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

#include "support/leadingNumber.h"

namespace {

std::string_view trim(std::string_view s) {
    const char* ws = " \t\r\n\v\f";
    const size_t first = s.find_first_not_of(ws);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

void ProfileFile::parse(std::string_view text) {
    lines.clear();
    byteOrderMark.clear();
    // Editors may start a UTF-8 file with a byte-order mark; it belongs to
    // no line, so the first section is still found, and it is written back.
    if (text.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark) {
        byteOrderMark = kUtf8ByteOrderMark;
        text.remove_prefix(kUtf8ByteOrderMark.size());
    }
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) {
            lines.push_back(Line{std::string(text.substr(pos)), ""});
            break;
        }
        size_t bodyEnd = lf;
        std::string ending = "\n";
        if (bodyEnd > pos && text[bodyEnd - 1] == '\r') {
            --bodyEnd;
            ending = "\r\n";
        }
        lines.push_back(Line{std::string(text.substr(pos, bodyEnd - pos)), ending});
        pos = lf + 1;
    }
}

std::string ProfileFile::text() const {
    std::string out = byteOrderMark;
    for (const Line& line : lines) {
        out += line.body;
        out += line.ending;
    }
    return out;
}

std::optional<std::string> ProfileFile::sectionName(const Line& line) const {
    const std::string_view body = trim(line.body);
    if (body.size() < 2 || body.front() != '[') {
        return std::nullopt;
    }
    const size_t close = body.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(trim(body.substr(1, close - 1)));
}

std::optional<std::pair<std::string, std::string>> ProfileFile::keyValue(const Line& line) const {
    const std::string_view body = trim(line.body);
    if (body.empty() || body.front() == ';' || body.front() == '#' || body.front() == '[') {
        return std::nullopt;
    }
    const size_t eq = body.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view value = trim(body.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::make_pair(std::string(trim(body.substr(0, eq))), std::string(value));
}

std::optional<std::string> ProfileFile::lookup(std::string_view section,
                                               std::string_view key) const {
    bool inSection = false;
    bool seenSection = false;
    for (const Line& line : lines) {
        if (auto name = sectionName(line)) {
            if (seenSection && inSection) {
                // Only the first matching section counts.
                return std::nullopt;
            }
            inSection = equalsNoCase(*name, section);
            seenSection = seenSection || inSection;
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (auto kv = keyValue(line); kv && equalsNoCase(kv->first, key)) {
            return kv->second;
        }
    }
    return std::nullopt;
}

std::string ProfileFile::newLineEnding() const {
    for (const Line& line : lines) {
        if (!line.ending.empty()) {
            return line.ending;
        }
    }
    return "\n";
}

void ProfileFile::set(std::string_view section, std::string_view key, std::string_view value) {
    const size_t cut = value.find_first_of("\r\n");
    if (cut != std::string_view::npos) {
        value = value.substr(0, cut);
    }
    const std::string ending = newLineEnding();
    std::string newBody = std::string(key) + "=" + std::string(value);

    size_t sectionLine = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (auto name = sectionName(lines[i]); name && equalsNoCase(*name, section)) {
            sectionLine = i;
            break;
        }
    }
    if (sectionLine == lines.size()) {
        if (!lines.empty() && lines.back().ending.empty()) {
            lines.back().ending = ending;
        }
        lines.push_back(Line{"[" + std::string(section) + "]", ending});
        lines.push_back(Line{newBody, ending});
        return;
    }

    // Inside the section: replace the key's line, or add one after the
    // section's last non-blank line.
    size_t insertAt = sectionLine + 1;
    for (size_t i = sectionLine + 1; i < lines.size(); ++i) {
        if (sectionName(lines[i])) {
            break;
        }
        if (auto kv = keyValue(lines[i]); kv && equalsNoCase(kv->first, key)) {
            lines[i].body = newBody;
            return;
        }
        if (!trim(lines[i].body).empty()) {
            insertAt = i + 1;
        }
    }
    if (insertAt > 0 && lines[insertAt - 1].ending.empty()) {
        lines[insertAt - 1].ending = ending;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                 Line{newBody, ending});
}

bool ProfileFile::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        lines.clear();
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    parse(content.str());
    return true;
}

bool ProfileFile::save(const std::string& path) const {
    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          existed ? (old.st_mode & 07777) : 0644);
    if (fd < 0) {
        return false;
    }
    const std::string data = text();
    size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(tmp.c_str());
    return false;
}

namespace profile {

bool isInt(std::string_view text) {
    text = trim(text);
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    if (i == text.size()) {
        return false;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

int parseLeadingInt(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    // One past INT_MAX, so that INT_MIN (and anything below it) reads as INT_MIN.
    const int64_t magnitude = leadingNumber(text, int64_t{INT_MAX} + 1);
    if (negative) {
        return static_cast<int>(-magnitude);
    }
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

int getInt(const std::string& path, std::string_view section, std::string_view key,
           int defaultValue) {
    ProfileFile file;
    file.load(path);
    const auto value = file.lookup(section, key);
    return value ? parseLeadingInt(*value) : defaultValue;
}

std::string getString(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t maxBytes) {
    ProfileFile file;
    file.load(path);
    std::string value = file.lookup(section, key).value_or(std::string(defaultValue));
    if (value.size() > maxBytes) {
        value.resize(maxBytes);
    }
    return value;
}

int writeString(const std::string& path, std::string_view section, std::string_view key,
                std::string_view value) {
    ProfileFile file;
    const bool existed = file.load(path);
    if (!existed && ::access(path.c_str(), F_OK) == 0) {
        // The file is there but unreadable: rewriting it would lose its content.
        return 0;
    }
    file.set(section, key, value);
    return file.save(path) ? 1 : 0;
}

}  // namespace profile
