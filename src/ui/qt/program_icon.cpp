#include "ui/qt/program_icon.h"

#include <QFile>
#include <QPixmap>

// The resources live in a static library: referencing their initialiser keeps them linked in.
static void InitIconResources() {
    struct Registration {
        Registration() { Q_INIT_RESOURCE(icons); }
    };
    static const Registration once;
}

namespace countryset {

namespace {

constexpr int kSizes[] = {16, 32, 48, 64, 128, 256};
constexpr int kSmallestLarge = 32;

void AddSizes(QIcon& into, const QString& name, bool small) {
    for (int size : kSizes) {
        if ((size < kSmallestLarge) != small) {
            continue;
        }
        const QString path = QStringLiteral(":/icons/%1/%2.png").arg(name).arg(size);
        if (QFile::exists(path)) {
            into.addFile(path, QSize(size, size));
        }
    }
}

}  // namespace

QIcon ToQIcon(const Icon& icon) {
    InitIconResources();
    if (icon.IsNull() || icon.name.empty()) {
        return QIcon();
    }
    QIcon result;
    const QString name = QString::fromStdString(icon.name);
    AddSizes(result, name, true);
    AddSizes(result, name, false);
    return result.isNull() ? QIcon::fromTheme(name) : result;
}

QIcon ProgramIcon() {
    return ToQIcon(LoadIcon(IDR_MAINFRAME));
}

QIcon WindowIcon(const Icon& bigIcon, const Icon& smallIcon) {
    if (bigIcon.IsNull() || smallIcon.IsNull() || bigIcon == smallIcon) {
        return ToQIcon(bigIcon.IsNull() ? smallIcon : bigIcon);
    }
    InitIconResources();
    QIcon result;
    AddSizes(result, QString::fromStdString(smallIcon.name), true);
    AddSizes(result, QString::fromStdString(bigIcon.name), false);
    return result;
}

}  // namespace countryset
