// The fake of the message-box seam for tests: shows nothing and remembers every box, from any
// thread.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "seams/message_boxes.h"

namespace countryset::testing {

struct RecordedMessage {
    enum class Kind { Application, Window };
    Kind kind = Kind::Application;
    std::string caption;  // empty for application boxes: the application name stands there
    std::string text;
    unsigned style = MB_OK;

    bool operator==(const RecordedMessage&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const RecordedMessage& m) {
        return out << (m.kind == Kind::Application ? "app" : "window") << " [" << m.caption
                   << "] \"" << m.text << "\" style " << m.style;
    }
};

inline RecordedMessage AppMessage(std::string text) {
    return {RecordedMessage::Kind::Application, "", std::move(text), MB_OK};
}
inline RecordedMessage WindowMessage(std::string text, std::string caption, unsigned style) {
    return {RecordedMessage::Kind::Window, std::move(caption), std::move(text), style};
}

class RecordingMessages : public MessageBoxes {
public:
    void AfxMessageBox(const std::string& text) override { Record(AppMessage(text)); }
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override {
        Record(WindowMessage(text, caption, style));
    }

    std::vector<RecordedMessage> Messages() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    void Record(RecordedMessage message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(std::move(message));
    }

    mutable std::mutex m_mutex;
    std::vector<RecordedMessage> m_messages;
};

}  // namespace countryset::testing
