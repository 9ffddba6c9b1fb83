// Real settings files for the tests: a folder of their own in the system's temporary folder,
// written and read as bytes. Paths reach the code under test as UTF-8 text, as the program
// passes them.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace countryset::testing {

inline std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::filesystem::path FromUtf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline void Put(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string Get(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A new folder named stem plus a random suffix, removed with what it holds.
class TempFolder {
public:
    explicit TempFolder(std::string_view stem) {
        std::random_device random;
        do {
            path_ = std::filesystem::temp_directory_path() /
                    FromUtf8(std::string(stem) + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The path of name inside the folder, as UTF-8 text.
    std::string operator/(std::string_view name) const { return Utf8(path_ / FromUtf8(name)); }
    long Entries() const { return std::distance(std::filesystem::directory_iterator(path_), {}); }

private:
    std::filesystem::path path_;
};

}  // namespace countryset::testing
