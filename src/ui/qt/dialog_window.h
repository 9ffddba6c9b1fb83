// The window of one modal run: draws a dialog of the model from its template and forwards what
// the operator does to the model. It decides nothing itself; after each forwarded action it
// redraws from the model, and it says when the model has ended the dialog.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "ui/icon.h"
#include "ui/qt/dialog_units.h"

namespace countryset {

class CDialog;
class CWnd;
struct ControlTemplate;

class QtDialogWindow : public QDialog {
    Q_OBJECT

public:
    explicit QtDialogWindow(CDialog& model, QWidget* parent = nullptr);
    ~QtDialogWindow() override;

    // Draws the model, shows the window centred and gives the focus where the model has it.
    void Open();
    // Redraws whatever the model changed since the last drawing.
    void Sync();

    // The widget drawing control id; nullptr when the template has none.
    QWidget* ControlWidget(int id) const;
    const DialogUnits& Units() const { return m_units; }

signals:
    // The model ended the dialog; the window is hidden.
    void ended();

public slots:
    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void changeEvent(QEvent* event) override;

private:
    struct Control {
        const ControlTemplate* tmpl;
        CWnd* wnd;
        QWidget* widget;
        std::vector<std::string> shownItems;  // lists: the items the widget holds
    };

    void CreateWidgets();
    void ConnectOperator(Control& control);
    // Runs an operator action on the model, then redraws or reports the end.
    template <typename Action>
    void Forward(Action action);
    bool HandleKey(QKeyEvent* event);
    void SyncControl(Control& control);
    void Layout();
    // The right edge up to which a control at rect may grow to show its whole text.
    int GrowLimit(const QRect& rect, const std::vector<QRect>& occupied) const;
    const Control* FindByWidget(const QObject* object) const;

    CDialog& m_model;
    DialogUnits m_units;
    std::vector<Control> m_controls;
    unsigned long m_drawnRevision = 0;
    bool m_drawn = false;
    bool m_syncing = false;
    QString m_shownCaption;
    bool m_captionShown = false;
    Icon m_shownBigIcon;
    Icon m_shownSmallIcon;
};

}  // namespace countryset
