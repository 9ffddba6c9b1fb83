#include "ui/qt/dialog_units.h"

#include <QFontMetricsF>
#include <QStringDecoder>
#include <cmath>
#include <string>

namespace countryset {

namespace {

// Old bitmap fonts' metrics: a font that reports nothing (no font files at all) still gives a
// usable dialog.
constexpr double kFallbackBaseX = 6.0;
constexpr double kFallbackBaseY = 13.0;

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    // The letters' average rather than the font's own "average width" field, which many
    // fonts fill with a narrower value than their text really takes.
    static const QString kLetters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const double average = metrics.horizontalAdvance(kLetters) / kLetters.size();
    m_baseX = average > 0.5 ? average : kFallbackBaseX;
    m_baseY = metrics.height() > 0.5 ? std::ceil(metrics.height()) : kFallbackBaseY;
}

int DialogUnits::X(int du) const {
    return static_cast<int>(std::lround(du * m_baseX / 4.0));
}

int DialogUnits::Y(int du) const {
    return static_cast<int>(std::lround(du * m_baseY / 8.0));
}

QRect DialogUnits::Rect(int x, int y, int cx, int cy) const {
    return QRect(QPoint(X(x), Y(y)), QPoint(X(x + cx) - 1, Y(y + cy) - 1));
}

QString ToQString(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (utf8.hasError()) {
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    return text;
}

std::string ToModelText(const QString& text) {
    return text.toStdString();
}

}  // namespace countryset
