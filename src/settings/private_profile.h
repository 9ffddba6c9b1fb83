// The private-profile operations: all access to the settings file goes through these four.
// ProfileFile is the real implementation over files on disk.
#pragma once

#include <cstdint>
#include <string_view>

namespace countryset {

class PrivateProfile {
public:
    virtual ~PrivateProfile() = default;

    // The key's value as a decimal integer; def when the file, section or key is missing.
    virtual int GetPrivateProfileInt(std::string_view section, std::string_view key, int def,
                                     std::string_view path) = 0;
    // The key's value (or def when the file, section or key is missing) copied into buffer,
    // cut to size - 1 characters, always zero-terminated. An empty value gives the empty text.
    // Returns the number of characters copied.
    virtual std::uint32_t GetPrivateProfileString(std::string_view section, std::string_view key,
                                                  std::string_view def, char* buffer,
                                                  std::uint32_t size, std::string_view path) = 0;
    // Every entry of the section as "key=value\0", the list ended by one more zero byte. When the
    // entries do not fit, the last one that does not fit is cut and the list still ends with two
    // zero bytes. Returns the number of bytes placed, not counting the final zero. When cut is
    // given it tells whether anything was cut: a list that fills the buffer exactly returns the
    // same count as a cut one.
    virtual std::uint32_t GetPrivateProfileSection(std::string_view section, char* buffer,
                                                   std::uint32_t size, std::string_view path,
                                                   bool* cut = nullptr) = 0;
    // Sets the key, creating file, section or key as needed, changing no other byte of the file.
    virtual bool WritePrivateProfileString(std::string_view section, std::string_view key,
                                           std::string_view text, std::string_view path) = 0;
};

}  // namespace countryset
