// An in-memory PrivateProfile for the tests of other layers: settings files are texts kept by
// path, parsed and written back by the same rules as files on disk. Writes can be made to fail,
// files can be made unreadable, and every write asked for is recorded.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "settings/text_profile.h"

namespace countryset {

class MemoryProfile : public TextProfile {
public:
    struct WriteCall {
        std::string section;
        std::vector<std::pair<std::string, std::string>> keys;  // key, text
        std::string path;
        bool succeeded = false;
    };

    void SetFile(std::string_view path, std::string_view text);
    void RemoveFile(std::string_view path);
    // The file's text, or nothing when there is no such file.
    std::optional<std::string> FileText(std::string_view path) const;
    // The file reads as missing and ReadProblem gives reason (the empty text undoes it).
    void SetReadProblem(std::string_view path, std::string_view reason);

    // While set, writes change nothing and return false (a full disk, a read-only folder).
    void SetWritesFail(bool fail) { writesFail_ = fail; }
    const std::vector<WriteCall>& Writes() const { return writes_; }

    bool WritePrivateProfileKeys(std::string_view section, std::span<const ProfileKeyText> keys,
                                 std::string_view path) override;
    std::string ReadProblem(std::string_view path) override;

protected:
    std::string_view Text(std::string_view path) override;

private:
    std::string_view TextOf(std::string_view path) const;

    std::map<std::string, std::string, std::less<>> files_;
    std::map<std::string, std::string, std::less<>> readProblems_;
    std::vector<WriteCall> writes_;
    bool writesFail_ = false;
};

}  // namespace countryset
