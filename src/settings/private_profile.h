// The private-profile operations: all access to the settings file goes through these.
// ProfileFile is the real implementation over files on disk.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace countryset {

// One key to write and its new text.
struct ProfileKeyText {
    std::string_view key;
    std::string_view text;
};

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
    // given it tells whether the last entry in the buffer is a cut one: the count alone cannot,
    // since a list that fills the buffer with whole entries returns what a cut one returns.
    virtual std::uint32_t GetPrivateProfileSection(std::string_view section, char* buffer,
                                                   std::uint32_t size, std::string_view path,
                                                   bool* cut = nullptr) = 0;
    // Sets every key of the list in one replacement of the file, creating file, section or keys
    // as needed and changing no other byte: nobody ever sees some of the keys written and not
    // the others. False, with the file as it was, when that cannot be done.
    virtual bool WritePrivateProfileKeys(std::string_view section,
                                         std::span<const ProfileKeyText> keys,
                                         std::string_view path) = 0;
    // Why a settings file that exists cannot be read (a sentence fragment such as "Permission
    // denied"); the empty text when it can be read or does not exist, so its defaults apply.
    virtual std::string ReadProblem(std::string_view path) = 0;

    // Sets one key; see WritePrivateProfileKeys.
    bool WritePrivateProfileString(std::string_view section, std::string_view key,
                                   std::string_view text, std::string_view path) {
        const ProfileKeyText one{key, text};
        return WritePrivateProfileKeys(section, std::span(&one, 1), path);
    }
};

}  // namespace countryset
