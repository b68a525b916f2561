// The settings store: an INI file read and written one key at a time, as Windows' private
// profile calls do it. OpenIniStore gives the native calls on Windows and IniFile elsewhere.
//
// Threading: one store per thread; two processes writing the same file at once each leave a
// whole file behind, the later one winning.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace vandrelux::platform {

class IIniStore {
public:
    virtual ~IIniStore() = default;

    // The leading decimal number of the value (blanks and a sign allowed before it), 0 for a
    // value that is no number, `defaultValue` when the file, section or key is missing or the
    // value is empty.
    [[nodiscard]] virtual int GetInt(std::string_view section, std::string_view key,
                                     int defaultValue) const = 0;

    // The value without surrounding blanks and quotes, cut as CutToBuffer cuts it for a buffer of
    // `bufferSize` bytes; `defaultValue` (cut alike) when missing.
    [[nodiscard]] virtual std::string GetString(std::string_view section, std::string_view key,
                                                std::string_view defaultValue,
                                                std::size_t bufferSize) const = 0;

    // Replaces the value of the key, or adds the key at the end of its section, or adds the
    // section at the end of the file, creating the file. Every other line stays as it was.
    // False when nothing could be written; a value holding a line break is refused, since it
    // would add lines of its own.
    virtual bool WriteString(std::string_view section, std::string_view key,
                             std::string_view value) = 0;
};

class IniFile final : public IIniStore {
public:
    explicit IniFile(std::filesystem::path path);

    [[nodiscard]] int GetInt(std::string_view section, std::string_view key,
                             int defaultValue) const override;
    [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue,
                                        std::size_t bufferSize) const override;
    bool WriteString(std::string_view section, std::string_view key,
                     std::string_view value) override;

    [[nodiscard]] const std::filesystem::path& Path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
};

// The longest beginning of `value` that a buffer of `bufferSize` bytes holds with its closing
// zero, never ending inside a UTF-8 character: a path in another script loses whole characters,
// which would otherwise come back as U+FFFD.
[[nodiscard]] std::string_view CutToBuffer(std::string_view value, std::size_t bufferSize) noexcept;

// The leading decimal number of an INI value as IIniStore::GetInt reads it: blanks and a sign
// may come first, anything else ends it, a value that is no number gives 0, and a number too
// large for an int stops at its limit.
[[nodiscard]] int LeadingNumber(std::string_view value) noexcept;

// The store this OS keeps settings in, for the file at `path`.
[[nodiscard]] std::unique_ptr<IIniStore> OpenIniStore(const std::filesystem::path& path);

}  // namespace vandrelux::platform
