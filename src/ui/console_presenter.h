// The text console presenter. A dialog prints its caption, its visible texts, group boxes and
// lists (selection marked) in template order, then reads one command a line:
//   (empty)          Enter, through the model (the focused button, or the OK command)
//   ok / cancel      the button of that name (without one: Enter / Escape)
//   3 / p3           item 3 of the first list / of the list whose name starts with p
//   fr / COM3        the first item, in the first list that has one, beginning with the text
//   ? / help         the commands
// End of input is the close box. A message box prints its caption line and its text and waits
// for Enter; end of input dismisses it. Whatever is printed has its control characters made
// visible: texts from the settings file may hold any byte.
#pragma once

#include <istream>
#include <mutex>
#include <ostream>
#include <string>

#include "ui/presenter.h"

namespace countryset {

class ConsolePresenter : public Presenter {
public:
    // The longest input line kept; the rest of a longer line is read and dropped.
    static constexpr std::size_t kMaxLine = 256;

    ConsolePresenter(std::istream& in, std::ostream& out);

    void RunModal(CDialog& dlg) override;
    void ShowMessage(const std::string& caption, const std::string& text, unsigned style) override;

private:
    enum class LineResult { Ok, TooLong, End };
    LineResult ReadLine(std::string& line);
    // Writes one screen in one go.
    void Write(const std::string& screen);
    // Carries out one input line; returns the hint to print, empty when it was accepted.
    std::string Handle(CDialog& dlg, const std::string& line);

    std::istream& m_in;
    std::ostream& m_out;
    std::mutex m_outMutex;
};

}  // namespace countryset
