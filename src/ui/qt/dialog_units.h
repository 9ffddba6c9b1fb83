// Dialog units to pixels for one font, the way dialog templates have always been laid out: a
// horizontal unit is a quarter of the font's average letter width, a vertical unit an eighth of
// its line height. A dialog measured this way grows with its font and the system's scaling.
#pragma once

#include <QFont>
#include <QRect>

namespace countryset {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    // Pixels for a distance in dialog units, measured from the dialog's origin, so that
    // neighbouring controls share their edges exactly.
    int X(int du) const;
    int Y(int du) const;
    QRect Rect(int x, int y, int cx, int cy) const;

    double BaseX() const { return m_baseX; }
    double BaseY() const { return m_baseY; }

private:
    double m_baseX;
    double m_baseY;
};

// Text stored by the model as bytes, shown as UTF-8 where it is valid and as Latin-1 otherwise,
// so no byte of a settings file is lost on screen.
QString ToQString(const std::string& bytes);
std::string ToModelText(const QString& text);

}  // namespace countryset
