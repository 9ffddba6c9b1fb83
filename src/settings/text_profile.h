// The three reads of the private-profile operations, shared by every store that can hand over a
// settings file's whole text: it is read, then parsed by the same rules everywhere.
#pragma once

#include <string_view>

#include "settings/private_profile.h"
#include "settings/profile_text.h"

namespace countryset {

class TextProfile : public PrivateProfile {
public:
    int GetPrivateProfileInt(std::string_view section, std::string_view key, int def,
                             std::string_view path) override {
        return ReadProfileInt(Text(path), section, key, def);
    }
    std::uint32_t GetPrivateProfileString(std::string_view section, std::string_view key,
                                          std::string_view def, char* buffer, std::uint32_t size,
                                          std::string_view path) override {
        return ReadProfileString(Text(path), section, key, def, buffer, size);
    }
    std::uint32_t GetPrivateProfileSection(std::string_view section, char* buffer,
                                           std::uint32_t size, std::string_view path,
                                           bool* cut = nullptr) override {
        return ReadProfileSection(Text(path), section, buffer, size, cut);
    }

protected:
    // The text of the settings file at path, the empty text when there is none to read; valid
    // until the next call.
    virtual std::string_view Text(std::string_view path) = 0;
};

}  // namespace countryset
