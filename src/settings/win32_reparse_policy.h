// What a read of the settings file does with a reparse point the file carries.
#pragma once

#include <cstdint>

namespace countryset::settings_file {

enum class ReparseAction {
    kRead,    // no reparse point
    kRefuse,  // a name for another file (symbolic link, junction, mount point): not followed
    // A file that is itself here but stored elsewhere or otherwise (a cloud placeholder, a
    // deduplicated or compressed file): opened again the ordinary way, so the system brings it in.
    kReopen,
};

// attributes and tag as GetFileInformationByHandleEx(FileAttributeTagInfo) gives them for the
// file opened at its reparse point.
ReparseAction ReparsePolicy(std::uint32_t attributes, std::uint32_t tag);

}  // namespace countryset::settings_file
