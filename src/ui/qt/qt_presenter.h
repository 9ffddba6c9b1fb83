// The desktop presenter: each dialog of the model in a Qt Widgets window, message boxes as
// QMessageBox. It holds no behaviour; the model decides what every key, click and close does.
#pragma once

#include <memory>
#include <string>

#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QWidget>

#include "ui/presenter.h"

class QApplication;

namespace countryset {

class QtDialogWindow;

class QtPresenter : public Presenter {
public:
    // Uses the running QApplication, which must outlive the presenter.
    QtPresenter();
    ~QtPresenter() override;
    QtPresenter(const QtPresenter&) = delete;
    QtPresenter& operator=(const QtPresenter&) = delete;

    void RunModal(CDialog& dlg) override;
    // Caption exactly as passed (empty stays empty), the error icon for MB_ICONERROR, one OK
    // button.
    void ShowMessage(const std::string& caption, const std::string& text, unsigned style) override;
    // The last dialog's picture again, disabled, with the line under it; the boxes that follow are
    // owned by it and come in front of it. Gone at the next dialog.
    void ShowProgress(const std::string& text) override;

    // The window of the dialog being run; nullptr between runs.
    QtDialogWindow* ActiveWindow() const { return m_active; }
    // The progress window while one is shown; nullptr otherwise.
    QWidget* ProgressWindow() const { return m_progress.get(); }

private:
    friend std::unique_ptr<Presenter> CreateQtPresenter(int& argc, char** argv,
                                                        std::string* whyNot);
    // Declared first, so it goes last: every window must be gone before the application.
    std::unique_ptr<QApplication> m_ownedApp;
    QtDialogWindow* m_active = nullptr;
    // The last dialog as it was drawn, disabled, its title and place: the progress window's.
    QPixmap m_lastLook;
    QString m_lastTitle;
    QPoint m_lastPlace;
    std::unique_ptr<QWidget> m_progress;
};

// The Qt presenter, on a QApplication it starts (or the one already running), which lives as
// long as the presenter. nullptr with a one-line reason in *whyNot (when given) when no display
// can be opened: Qt itself would end the process there, and the caller falls back to the console.
// argc and argv must outlive the presenter.
std::unique_ptr<Presenter> CreateQtPresenter(int& argc, char** argv, std::string* whyNot);

}  // namespace countryset
