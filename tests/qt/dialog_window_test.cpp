// The country dialog in a real Qt window on the offscreen platform: geometry from the template,
// focus and keys through the model, and the choice the caller gets back.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "settings/memory_profile.h"
#include "ui/country_dlg.h"
#include "ui/qt/dialog_window.h"
#include "ui/qt/qt_presenter.h"
#include "ui/window_services.h"

namespace countryset {
namespace {

constexpr const char* kPath = "/opt/x/countryset.DAT";

std::string Settings(int currentSet) {
    return "[Setting]\nTitle=Country Setting\nNumOfCountry=3\nCurrentSet=" +
           std::to_string(currentSet) +
           "\nCurrentCOM=1\n[Country]\nFrance=22\nItaly=33\nSpain=11\n";
}

// Runs dlg; operate works in its window once it is up. A run the operator does not end is
// closed after a while, so a broken key path fails instead of hanging.
INT_PTR Modal(CDialog& dlg, QtPresenter& presenter,
              const std::function<void(QtDialogWindow&)>& operate, bool* operated) {
    QTimer::singleShot(0, [&presenter, operate, operated] {
        QtDialogWindow* w = presenter.ActiveWindow();
        QVERIFY(w != nullptr);
        QVERIFY(QTest::qWaitForWindowActive(w));
        *operated = true;
        operate(*w);
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&presenter] {
        if (QtDialogWindow* w = presenter.ActiveWindow()) {
            w->close();
            QFAIL("the dialog did not end");
        }
    });
    guard.start(5000);
    return dlg.DoModal();
}

struct Run {
    MemoryProfile profile;
    CountryDialogState state;
    QtPresenter presenter;
    WindowServices services{"countryset", presenter};
    CCountryDlg dlg{profile, kPath, state};
    bool operated = false;

    explicit Run(int currentSet = 1) { profile.SetFile(kPath, Settings(currentSet)); }

    INT_PTR Modal(const std::function<void(QtDialogWindow&)>& operate) {
        return countryset::Modal(dlg, presenter, operate, &operated);
    }
};

// Sets its own caption (single-byte, not UTF-8) and records the program icon.
class IconDialog : public CDialog {
public:
    IconDialog() : CDialog(CountryDialogTemplate()) {}

protected:
    bool OnInitDialog() override {
        CDialog::OnInitDialog();
        SetWindowText("Caf\xe9");
        SetIcon(LoadIcon(IDR_MAINFRAME), true);
        SetIcon(LoadIcon(IDR_MAINFRAME), false);
        return true;
    }
};

QWidget* Control(QtDialogWindow& w, int id) {
    return w.ControlWidget(id);
}

void Key(QtDialogWindow& w, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* target = w.focusWidget() != nullptr ? w.focusWidget() : &w;
    QTest::keyClick(target, key, mods);
}

}  // namespace

class DialogWindowTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QApplication::setFont(m_baseFont); }

    void geometryFollowsTheTemplate_data() {
        QTest::addColumn<double>("scale");
        QTest::newRow("100%") << 1.0;
        QTest::newRow("200%") << 2.0;
    }

    void geometryFollowsTheTemplate() {
        QFETCH(double, scale);
        QFont font = m_baseFont;
        font.setPointSizeF(m_baseFont.pointSizeF() * scale);
        QApplication::setFont(font);
        Run run;
        run.Modal([&](QtDialogWindow& w) {
            const DialogUnits& u = w.Units();
            QCOMPARE(w.size(), QSize(u.X(205), u.Y(97)));
            QCOMPARE(Control(w, IDC_OK_BUTTON)->geometry(), u.Rect(43, 74, 50, 14));
            QCOMPARE(Control(w, IDC_SETTING_GROUP)->geometry(), u.Rect(14, 6, 176, 60));
            QVERIFY(Control(w, IDC_CODE_EDIT)->isHidden());
            QVERIFY(Control(w, IDC_UNUSED_EDIT)->isHidden());

            const QRect group = Control(w, IDC_SETTING_GROUP)->geometry();
            const QRect country = Control(w, IDC_COUNTRY_LIST)->geometry();
            QCOMPARE(country.topLeft(), QPoint(u.X(88), u.Y(39)));
            // Closed, a list is one line: the template's height holds the dropped list too.
            QVERIFY(country.height() < u.Y(62) / 2);
            const int ids[] = {IDC_SELECTED_LABEL, IDC_OK_BUTTON, IDC_CANCEL_BUTTON,
                               IDC_COUNTRY_LIST, IDC_PORT_LIST};
            for (int id : ids) {
                const QRect r = Control(w, id)->geometry();
                QVERIFY2(w.rect().contains(r), qPrintable(QString::number(id)));
                const bool framed =
                    id == IDC_SELECTED_LABEL || id == IDC_COUNTRY_LIST || id == IDC_PORT_LIST;
                QCOMPARE(group.contains(r), framed);
                if (!framed) {
                    QVERIFY(r.top() > group.bottom());
                }
                for (int other : ids) {
                    if (other != id) {
                        QVERIFY2(!r.intersects(Control(w, other)->geometry()),
                                 qPrintable(QString("%1 overlaps %2").arg(id).arg(other)));
                    }
                }
            }
            // Whole texts: the label grows past its template width where the font needs it.
            auto* label = qobject_cast<QLabel*>(Control(w, IDC_SELECTED_LABEL));
            QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
            QVERIFY(label->height() >= label->fontMetrics().height());
            auto* cancel = qobject_cast<QPushButton*>(Control(w, IDC_CANCEL_BUTTON));
            QVERIFY(cancel->width() > cancel->fontMetrics().horizontalAdvance(cancel->text()));
            if (scale == 1.0) {
                m_sizeAt100 = w.size();
            } else if (m_sizeAt100.isValid()) {
                const double ratio = double(w.width()) / m_sizeAt100.width();
                QVERIFY2(ratio > 1.7 && ratio < 2.3, qPrintable(QString::number(ratio)));
            }
            Key(w, Qt::Key_Escape);
        });
        QVERIFY(run.operated);
    }

    void focusStartsOnOkAndTabFollowsTheTemplate() {
        Run run;
        run.Modal([&](QtDialogWindow& w) {
            QCOMPARE(w.focusWidget(), Control(w, IDC_OK_BUTTON));
            // Hidden edits 1062 and 1068 are skipped; the order wraps.
            const int order[] = {IDC_CANCEL_BUTTON, IDC_COUNTRY_LIST, IDC_PORT_LIST, IDC_OK_BUTTON};
            for (int id : order) {
                Key(w, Qt::Key_Tab);
                QCOMPARE(run.dlg.GetFocusId(), id);
                QCOMPARE(w.focusWidget(), Control(w, id));
            }
            Key(w, Qt::Key_Backtab, Qt::ShiftModifier);
            QCOMPARE(run.dlg.GetFocusId(), IDC_PORT_LIST);
            QCOMPARE(w.focusWidget(), Control(w, IDC_PORT_LIST));
            // A click on a button focuses it, as the model is told.
            Control(w, IDC_CANCEL_BUTTON)->setFocus(Qt::MouseFocusReason);
            QCOMPARE(run.dlg.GetFocusId(), IDC_CANCEL_BUTTON);
            Key(w, Qt::Key_Escape);
        });
        QVERIFY(run.operated);
    }

    void enterOnOpenTakesThePreselection() {
        Run run;
        run.Modal([](QtDialogWindow& w) { Key(w, Qt::Key_Return); });
        QCOMPARE(run.dlg.m_strCode, std::string("33"));
        QCOMPARE(run.dlg.m_nCountrySel, 1);
        QCOMPARE(run.dlg.m_nPortSel, 0);
    }

    void enterInAClosedListGivesIdokWithoutChoice() {
        Run run;
        const INT_PTR result = run.Modal([](QtDialogWindow& w) {
            Key(w, Qt::Key_Tab);
            Key(w, Qt::Key_Tab);
            QCOMPARE(w.focusWidget(), Control(w, IDC_COUNTRY_LIST));
            Key(w, Qt::Key_Enter, Qt::KeypadModifier);
        });
        QCOMPARE(result, INT_PTR(IDOK));
        QCOMPARE(run.dlg.m_strCode, std::string());
    }

    void enterInAnOpenListPicksTheHighlightedItem() {
        Run run;
        run.Modal([&](QtDialogWindow& w) {
            auto* combo = qobject_cast<QComboBox*>(Control(w, IDC_COUNTRY_LIST));
            combo->setFocus(Qt::MouseFocusReason);
            combo->showPopup();
            QTRY_VERIFY(combo->view()->isVisible());
            QTest::keyClick(combo->view(), Qt::Key_Down);
            QTest::keyClick(combo->view(), Qt::Key_Return);
            QTRY_VERIFY(!combo->view()->isVisible());
            QVERIFY(!run.dlg.IsEnded());
            QCOMPARE(run.dlg.GetComboBox(IDC_COUNTRY_LIST)->GetCurSel(), 2);
            QCOMPARE(combo->currentText(), QString("Spain"));
            QTest::mouseClick(Control(w, IDC_OK_BUTTON), Qt::LeftButton);
        });
        QCOMPARE(run.dlg.m_strCode, std::string("11"));
    }

    void escapeTheCloseBoxAndCancelGiveNoChoice_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("Escape") << 0;
        QTest::newRow("close box") << 1;
        QTest::newRow("Cancel button") << 2;
    }

    void escapeTheCloseBoxAndCancelGiveNoChoice() {
        QFETCH(int, way);
        Run run;
        const INT_PTR result = run.Modal([&](QtDialogWindow& w) {
            // A choice made first must not count.
            auto* combo = qobject_cast<QComboBox*>(Control(w, IDC_COUNTRY_LIST));
            combo->setFocus(Qt::MouseFocusReason);
            QTest::keyClick(combo, Qt::Key_Down);
            QCOMPARE(run.dlg.GetComboBox(IDC_COUNTRY_LIST)->GetCurSel(), 2);
            if (way == 0) {
                Key(w, Qt::Key_Escape);
            } else if (way == 1) {
                QVERIFY(!w.close());  // the model ends the dialog, not Qt
            } else {
                QTest::mouseClick(Control(w, IDC_CANCEL_BUTTON), Qt::LeftButton);
            }
        });
        QCOMPARE(result, INT_PTR(IDCANCEL));
        QCOMPARE(run.dlg.m_strCode, std::string());
    }

    void typingPicksByPrefixWithoutRegardToCase() {
        Run run(0);  // France preselected
        run.Modal([&](QtDialogWindow& w) {
            Key(w, Qt::Key_Tab);
            Key(w, Qt::Key_Tab);
            auto* combo = qobject_cast<QComboBox*>(Control(w, IDC_COUNTRY_LIST));
            combo->lineEdit()->selectAll();
            QTest::keyClicks(combo, "it");
            QCOMPARE(run.dlg.GetComboBox(IDC_COUNTRY_LIST)->GetCurSel(), 1);
            QVERIFY(combo->lineEdit()->text().startsWith("it", Qt::CaseInsensitive));
            Key(w, Qt::Key_Backtab, Qt::ShiftModifier);
            Key(w, Qt::Key_Backtab, Qt::ShiftModifier);
            QCOMPARE(run.dlg.GetFocusId(), IDC_OK_BUTTON);
            Key(w, Qt::Key_Return);
        });
        QCOMPARE(run.dlg.m_strCode, std::string("33"));
    }

    void recordedIconsAndTheCaptionAreDrawn() {
        QtPresenter presenter;
        WindowServices services{"countryset", presenter};
        QVERIFY(QApplication::windowIcon().availableSizes().contains(QSize(256, 256)));
        // Without the application's icon to fall back on, only the recorded one can show.
        QApplication::setWindowIcon(QIcon());
        IconDialog dlg;
        bool operated = false;
        Modal(
            dlg, presenter,
            [](QtDialogWindow& w) {
                QCOMPARE(w.windowTitle(), QString("Caf\u00e9"));
                const QList<QSize> sizes = w.windowIcon().availableSizes();
                QVERIFY(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(256, 256)));
                Key(w, Qt::Key_Escape);
            },
            &operated);
        QVERIFY(operated);
    }

private:
    QFont m_baseFont = QApplication::font();
    QSize m_sizeAt100;
};

}  // namespace countryset

QTEST_MAIN(countryset::DialogWindowTest)
#include "dialog_window_test.moc"
