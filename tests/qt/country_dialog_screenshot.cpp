// Draws the country dialog, filled from a settings file, on the offscreen platform and saves
// the window as a PNG. Usage: countryset_screenshot <settings file> <output.png>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/profile_file.h"
#include "ui/country_dlg.h"
#include "ui/qt/dialog_window.h"
#include "ui/qt/qt_presenter.h"
#include "ui/window_services.h"

using namespace countryset;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <settings file> <output.png>\n", argv[0]);
        return 2;
    }
    // The same picture on every machine, with or without a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    std::string whyNot;
    std::unique_ptr<Presenter> presenter = CreateQtPresenter(qtArgc, argv, &whyNot);
    if (presenter == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[0], whyNot.c_str());
        return 1;
    }
    auto& qt = static_cast<QtPresenter&>(*presenter);
    WindowServices services("countryset", qt);
    ProfileFile profile;
    CountryDialogState state;
    CCountryDlg dlg(profile, argv[1], state);
    bool saved = false;
    QTimer::singleShot(0, [&] {
        if (QtDialogWindow* window = qt.ActiveWindow()) {
            saved = window->grab().save(QString::fromLocal8Bit(argv[2]), "PNG");
            window->close();
        }
    });
    dlg.DoModal();
    if (!saved) {
        std::fprintf(stderr, "%s: could not write %s\n", argv[0], argv[2]);
    }
    return saved ? 0 : 1;
}
