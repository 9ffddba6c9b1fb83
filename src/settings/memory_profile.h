// An in-memory PrivateProfile for the tests of other layers: settings files are texts kept by
// path, parsed and written back by the same rules as files on disk. Writes can be made to fail,
// and every write asked for is recorded.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "settings/text_profile.h"

namespace countryset {

class MemoryProfile : public TextProfile {
public:
    struct WriteCall {
        std::string section;
        std::string key;
        std::string text;
        std::string path;
        bool succeeded = false;
    };

    void SetFile(std::string_view path, std::string_view text);
    void RemoveFile(std::string_view path);
    // The file's text, or nothing when there is no such file.
    std::optional<std::string> FileText(std::string_view path) const;

    // While set, writes change nothing and return false (a full disk, a read-only folder).
    void SetWritesFail(bool fail) { writesFail_ = fail; }
    const std::vector<WriteCall>& Writes() const { return writes_; }

    bool WritePrivateProfileString(std::string_view section, std::string_view key,
                                   std::string_view text, std::string_view path) override;

protected:
    std::string Text(std::string_view path) const override;

private:
    std::string_view TextOf(std::string_view path) const;

    std::map<std::string, std::string, std::less<>> files_;
    std::vector<WriteCall> writes_;
    bool writesFail_ = false;
};

}  // namespace countryset
