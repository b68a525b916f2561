#include "os/IniFile.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

namespace vandrelux::platform {
namespace {

constexpr bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) noexcept {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view Trim(std::string_view s) noexcept {
    s = TrimLeft(s);
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

constexpr char LowerAscii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool HasLineBreak(std::string_view s) noexcept {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Where a key lives in the text, or where it would be added.
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    std::size_t insertAt = 0;    // after the section's last line that is neither blank nor comment
    std::size_t valueBegin = 0;  // the raw value: after '=' up to the line end
    std::size_t valueEnd = 0;
};

// One pass over the text; only the first section of that name counts, as Windows reads it.
Location Locate(std::string_view text, std::string_view section, std::string_view key) {
    Location found;
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t newline = text.find('\n', pos);
        const std::size_t lineEnd = newline == std::string_view::npos ? text.size() : newline;
        const std::size_t next = newline == std::string_view::npos ? text.size() : newline + 1;
        std::size_t contentEnd = lineEnd;
        if (contentEnd > pos && text[contentEnd - 1] == '\r') {
            --contentEnd;
        }
        const std::string_view line = text.substr(pos, contentEnd - pos);
        const std::string_view body = TrimLeft(line);

        if (!body.empty() && body.front() == '[') {
            if (inSection) {
                break;
            }
            std::string_view name = body.substr(1);
            name = Trim(name.substr(0, name.find(']')));
            if (EqualsNoCase(name, section)) {
                inSection = true;
                found.sectionFound = true;
                found.insertAt = next;
            }
        } else if (inSection && !body.empty() && body.front() != ';') {
            found.insertAt = next;
            const std::size_t equals = line.find('=');
            if (equals != std::string_view::npos &&
                EqualsNoCase(Trim(line.substr(0, equals)), key)) {
                found.keyFound = true;
                found.valueBegin = pos + equals + 1;
                found.valueEnd = contentEnd;
                return found;
            }
        }
        pos = next;
    }
    return found;
}

std::string_view Unquote(std::string_view value) noexcept {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

// Nothing when the file is missing or unreadable; both read as "no such key".
std::optional<std::string> ReadWhole(const std::filesystem::path& path) try {
    // A folder or a pipe would report no sensible size, or block.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    in.seekg(0, std::ios::beg);
    in.read(text.data(), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size)) {
        return std::nullopt;
    }
    return text;
} catch (const std::bad_alloc&) {
    return std::nullopt;
}

// The value as the private-profile calls hand it out, before any buffer cut.
std::optional<std::string> Lookup(const std::filesystem::path& path, std::string_view section,
                                  std::string_view key) {
    if (Trim(key).empty()) {
        return std::nullopt;
    }
    const std::optional<std::string> text = ReadWhole(path);
    if (!text) {
        return std::nullopt;
    }
    const Location at = Locate(*text, Trim(section), Trim(key));
    if (!at.keyFound) {
        return std::nullopt;
    }
    return std::string(
        Unquote(Trim(std::string_view(*text).substr(at.valueBegin, at.valueEnd - at.valueBegin))));
}

// The line end the file already uses; a new file gets the one the Windows build writes.
std::string_view LineEndOf(std::string_view text) noexcept {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) {
        return "\r\n";
    }
    return (newline > 0 && text[newline - 1] == '\r') ? "\r\n" : "\n";
}

std::string TempNameFor(const std::filesystem::path& target) {
    std::random_device random;
    std::uniform_int_distribution<std::uint32_t> digits;
    std::filesystem::path temp = target;
    temp += ".tmp" + std::to_string(digits(random));
    return temp.string();
}

// Writes beside the target and renames over it, so a crash leaves the old or the new file.
bool ReplaceFile(const std::filesystem::path& path, std::string_view content, bool existed) {
    std::error_code ec;
    std::filesystem::path target = path;
    if (std::filesystem::is_symlink(path, ec)) {
        target = std::filesystem::canonical(path, ec);
        if (ec) {
            return false;
        }
    }
    // A settings file the operator made read-only stays as it is, although the rename could
    // replace it.
    if (existed && !std::ofstream(target, std::ios::binary | std::ios::app)) {
        return false;
    }
    const std::filesystem::path temp = TempNameFor(target);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    if (existed) {
        const auto perms = std::filesystem::status(target, ec).permissions();
        if (!ec) {
            std::filesystem::permissions(temp, perms, ec);
        }
    }
    std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

}  // namespace

IniFile::IniFile(std::filesystem::path path) : m_path(std::move(path)) {}

std::string_view CutToBuffer(std::string_view value, std::size_t bufferSize) noexcept {
    std::size_t end = std::min(value.size(), bufferSize == 0 ? 0 : bufferSize - 1);
    const auto continues = [&](std::size_t at) {
        return (static_cast<unsigned char>(value[at]) & 0xC0U) == 0x80U;
    };
    // A cut before a continuation byte splits a character when its lead byte lies within the
    // last three bytes kept; stray continuation bytes (text that is no UTF-8) are cut as bytes.
    if (end < value.size() && continues(end)) {
        for (std::size_t back = 1; back <= 3 && back <= end; ++back) {
            if (static_cast<unsigned char>(value[end - back]) >= 0xC0U) {
                end -= back;
                break;
            }
            if (!continues(end - back)) {
                break;
            }
        }
    }
    return value.substr(0, end);
}

int LeadingNumber(std::string_view s) noexcept {
    s = TrimLeft(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::int64_t n = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') {
            break;
        }
        // Saturate rather than wrap: a huge number must not turn into a small one.
        n = std::min<std::int64_t>(n * 10 + (c - '0'), std::int64_t{INT_MAX} + 1);
    }
    n = negative ? -n : std::min<std::int64_t>(n, INT_MAX);
    return static_cast<int>(n);
}

int IniFile::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
    const std::optional<std::string> value = Lookup(m_path, section, key);
    if (!value || value->empty()) {
        return defaultValue;
    }
    return LeadingNumber(*value);
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue, std::size_t bufferSize) const {
    const std::optional<std::string> value = Lookup(m_path, section, key);
    return std::string(CutToBuffer(value ? std::string_view(*value) : defaultValue, bufferSize));
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        HasLineBreak(value) || section.find(']') != std::string_view::npos ||
        key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') {
        return false;
    }

    std::error_code ec;
    const bool existed = std::filesystem::exists(m_path, ec);
    if (ec) {
        return false;
    }
    std::string text;
    if (existed) {
        std::optional<std::string> read = ReadWhole(m_path);
        if (!read) {
            return false;  // never replace a file we could not read
        }
        text = std::move(*read);
    }

    const Location at = Locate(text, section, key);
    const std::string_view eol = LineEndOf(text);
    std::string updated;
    updated.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (at.keyFound) {
        // Only the value itself changes; the blanks around it stay, and so does a value that
        // already reads as the new one.
        const std::string_view raw =
            std::string_view(text).substr(at.valueBegin, at.valueEnd - at.valueBegin);
        const std::string_view current = Trim(raw);
        if (Unquote(current) == value) {
            return true;
        }
        const std::size_t begin =
            at.valueBegin + static_cast<std::size_t>(current.data() - raw.data());
        updated.append(text, 0, begin);
        updated.append(value);
        updated.append(text, begin + current.size());
    } else {
        const std::size_t insertAt = at.sectionFound ? at.insertAt : text.size();
        updated.append(text, 0, insertAt);
        if (insertAt > 0 && text[insertAt - 1] == '\r') {
            // A last line ending in a bare CR: completing the pair keeps that line as it reads.
            updated.append("\n");
        } else if (insertAt > 0 && text[insertAt - 1] != '\n') {
            updated.append(eol);
        }
        if (!at.sectionFound) {
            updated.append("[").append(section).append("]").append(eol);
        }
        updated.append(key).append("=").append(value).append(eol);
        updated.append(text, insertAt);
    }

    return ReplaceFile(m_path, updated, existed);
}

}  // namespace vandrelux::platform
