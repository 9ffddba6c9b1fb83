// A settings file read by several threads at once (the ports of one run): every operation on the
// profile it wraps holds one lock, so the wrapped profile's cache of the file is never read while
// another thread loads it.
#pragma once

#include <mutex>

#include "settings/private_profile.h"

namespace countryset {

class SynchronizedProfile : public PrivateProfile {
public:
    // inner must outlive this object, and be used through it only while threads share it.
    explicit SynchronizedProfile(PrivateProfile& inner) : m_inner(inner) {}

    int GetPrivateProfileInt(std::string_view section, std::string_view key, int def,
                             std::string_view path) override {
        const std::lock_guard lock(m_mutex);
        return m_inner.GetPrivateProfileInt(section, key, def, path);
    }
    std::uint32_t GetPrivateProfileString(std::string_view section, std::string_view key,
                                          std::string_view def, char* buffer, std::uint32_t size,
                                          std::string_view path) override {
        const std::lock_guard lock(m_mutex);
        return m_inner.GetPrivateProfileString(section, key, def, buffer, size, path);
    }
    std::uint32_t GetPrivateProfileSection(std::string_view section, char* buffer,
                                           std::uint32_t size, std::string_view path,
                                           bool* cut = nullptr) override {
        const std::lock_guard lock(m_mutex);
        return m_inner.GetPrivateProfileSection(section, buffer, size, path, cut);
    }
    bool WritePrivateProfileKeys(std::string_view section, std::span<const ProfileKeyText> keys,
                                 std::string_view path) override {
        const std::lock_guard lock(m_mutex);
        return m_inner.WritePrivateProfileKeys(section, keys, path);
    }
    std::string ReadProblem(std::string_view path) override {
        const std::lock_guard lock(m_mutex);
        return m_inner.ReadProblem(path);
    }

private:
    std::mutex m_mutex;
    PrivateProfile& m_inner;  // guarded by m_mutex
};

}  // namespace countryset
