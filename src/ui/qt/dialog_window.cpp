#include "ui/qt/dialog_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>
#include <algorithm>

#include "ui/dialog.h"
#include "ui/grow_to_fit.h"
#include "ui/qt/program_icon.h"
#include "ui/qt/window_title.h"

namespace countryset {

namespace {

// Room kept beside a button's text, in dialog units.
constexpr int kButtonTextMargin = 4;

bool IsTabStop(const ControlTemplate& t) {
    return t.Has(ctl::kTabStop);
}

QComboBox* AsCombo(QWidget* w) {
    return qobject_cast<QComboBox*>(w);
}

// Keeps an edit field's cursor where the operator left it when its text is put back.
void SetEditText(QLineEdit* edit, const QString& text) {
    if (edit->text() == text) {
        return;
    }
    const int cursor = edit->cursorPosition();
    edit->setText(text);
    edit->setCursorPosition(std::min(cursor, static_cast<int>(text.size())));
}

}  // namespace

QtDialogWindow::QtDialogWindow(CDialog& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_model(model),
      m_units(font()) {
    setWindowModality(Qt::ApplicationModal);
    setSizeGripEnabled(false);
    CreateWidgets();
}

QtDialogWindow::~QtDialogWindow() = default;

void QtDialogWindow::CreateWidgets() {
    QWidget* previousStop = nullptr;
    for (const auto& wnd : m_model.Controls()) {
        const ControlTemplate* t = wnd->GetControlTemplate();
        QWidget* widget = nullptr;
        switch (t->kind) {
            case ControlKind::StaticText: {
                auto* label = new QLabel(this);
                // Settings texts are shown as they stand, never read as markup.
                label->setTextFormat(Qt::PlainText);
                label->setAlignment((t->Has(ctl::kCentre) ? Qt::AlignHCenter : Qt::AlignLeft) |
                                    Qt::AlignTop);
                widget = label;
                break;
            }
            case ControlKind::GroupBox: {
                auto* group = new QGroupBox(this);
                widget = group;
                break;
            }
            case ControlKind::PushButton: {
                auto* button = new QPushButton(this);
                // Enter is the model's: no button of Qt's own may take it.
                button->setAutoDefault(false);
                button->setDefault(false);
                widget = button;
                break;
            }
            case ControlKind::Edit: {
                auto* edit = new QLineEdit(this);
                edit->setFrame(t->Has(ctl::kBorder));
                if (t->Has(ctl::kCentre)) {
                    edit->setAlignment(Qt::AlignHCenter);
                }
                widget = edit;
                break;
            }
            case ControlKind::DropDownList: {
                auto* combo = new QComboBox(this);
                combo->setEditable(true);
                combo->setInsertPolicy(QComboBox::NoInsert);
                combo->completer()->setCaseSensitivity(Qt::CaseInsensitive);
                combo->completer()->setCompletionMode(QCompleter::InlineCompletion);
                combo->lineEdit()->installEventFilter(this);
                widget = combo;
                break;
            }
        }
        widget->setObjectName(QStringLiteral("control%1").arg(t->id));
        if (!t->name.empty()) {
            widget->setAccessibleName(QString::fromStdString(t->name));
        }
        if (t->kind != ControlKind::StaticText && t->kind != ControlKind::GroupBox) {
            widget->setFocusPolicy(IsTabStop(*t) ? Qt::StrongFocus : Qt::ClickFocus);
            if (IsTabStop(*t)) {
                if (previousStop != nullptr) {
                    QWidget::setTabOrder(previousStop, widget);
                }
                previousStop = widget;
            }
        }
        widget->installEventFilter(this);
        m_controls.push_back(Control{t, wnd.get(), widget, {}});
    }
    // A frame drawn over its contents would hide them; group boxes go to the back.
    for (Control& c : m_controls) {
        if (c.tmpl->kind == ControlKind::GroupBox) {
            c.widget->lower();
        }
    }
    for (Control& c : m_controls) {
        ConnectOperator(c);
    }
}

void QtDialogWindow::ConnectOperator(Control& control) {
    const int id = control.tmpl->id;
    if (auto* button = qobject_cast<QPushButton*>(control.widget)) {
        connect(button, &QPushButton::clicked, this,
                [this, id] { Forward([this, id] { m_model.Click(id); }); });
    } else if (auto* combo = AsCombo(control.widget)) {
        // Only what the operator did: programmatic changes raise neither signal.
        connect(combo, &QComboBox::activated, this, [this, id](int index) {
            Forward([this, id, index] { m_model.SelectItem(id, index); });
        });
        connect(combo->lineEdit(), &QLineEdit::textEdited, this, [this, id](const QString& text) {
            Forward([this, id, typed = ToModelText(text)] { m_model.TypeText(id, typed); });
        });
    } else if (auto* edit = qobject_cast<QLineEdit*>(control.widget)) {
        connect(edit, &QLineEdit::textEdited, this, [this, id](const QString& text) {
            Forward([this, id, typed = ToModelText(text)] { m_model.TypeText(id, typed); });
        });
    }
}

template <typename Action>
void QtDialogWindow::Forward(Action action) {
    if (m_syncing) {
        // Raised by the drawing itself (a focus move finishing an edit): carried out once the
        // drawing is done, so the model sees it in order and the drawing is not torn.
        QTimer::singleShot(0, this, [this, action] { Forward(action); });
        return;
    }
    if (m_model.IsEnded()) {
        return;
    }
    action();
    if (m_model.IsEnded()) {
        emit ended();
        return;
    }
    Sync();
}

QWidget* QtDialogWindow::ControlWidget(int id) const {
    for (const Control& c : m_controls) {
        if (c.tmpl->id == id) {
            return c.widget;
        }
    }
    return nullptr;
}

const QtDialogWindow::Control* QtDialogWindow::FindByWidget(const QObject* object) const {
    for (const Control& c : m_controls) {
        if (c.widget == object) {
            return &c;
        }
        if (auto* combo = AsCombo(c.widget); combo != nullptr && combo->lineEdit() == object) {
            return &c;
        }
    }
    return nullptr;
}

void QtDialogWindow::Open() {
    Sync();
    const DialogTemplate& tmpl = m_model.GetTemplate();
    if (tmpl.Has(dlg::kCentred) || tmpl.Has(dlg::kHiddenUntilShown)) {
        if (QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen()) {
            const QRect available = s->availableGeometry();
            move(available.center() - QPoint(width() / 2, height() / 2));
        }
    }
    show();
    raise();
    activateWindow();
    Sync();
}

void QtDialogWindow::Sync() {
    if (m_drawn && m_model.GetRevision() == m_drawnRevision) {
        return;
    }
    m_syncing = true;
    const QString caption = ToQString(m_model.GetWindowText());
    if (!m_captionShown || caption != m_shownCaption) {
        SetExactWindowTitle(*this, caption);
        m_shownCaption = caption;
        m_captionShown = true;
    }
    const Icon& bigIcon = m_model.GetIcon(true);
    const Icon& smallIcon = m_model.GetIcon(false);
    if (bigIcon != m_shownBigIcon || smallIcon != m_shownSmallIcon) {
        // Without icons of its own the window shows the application's, the program icon.
        setWindowIcon(WindowIcon(bigIcon, smallIcon));
        m_shownBigIcon = bigIcon;
        m_shownSmallIcon = smallIcon;
    }
    for (Control& c : m_controls) {
        SyncControl(c);
    }
    Layout();
    QWidget* focus = ControlWidget(m_model.GetFocusId());
    if (focus != nullptr && !focus->isHidden() && focusWidget() != focus) {
        focus->setFocus(Qt::OtherFocusReason);
    }
    m_drawnRevision = m_model.GetRevision();
    m_drawn = true;
    m_syncing = false;
}

void QtDialogWindow::SyncControl(Control& c) {
    const QSignalBlocker blocker(c.widget);
    c.widget->setHidden(!c.wnd->IsWindowVisible());
    const QString text = ToQString(c.wnd->GetWindowText());
    if (auto* label = qobject_cast<QLabel*>(c.widget)) {
        if (label->text() != text) {
            label->setText(text);
        }
    } else if (auto* group = qobject_cast<QGroupBox*>(c.widget)) {
        if (group->title() != text) {
            group->setTitle(text);
        }
    } else if (auto* button = qobject_cast<QPushButton*>(c.widget)) {
        if (button->text() != text) {
            button->setText(text);
        }
    } else if (auto* combo = AsCombo(c.widget)) {
        const auto* list = dynamic_cast<const CComboBox*>(c.wnd);
        if (list == nullptr) {
            return;
        }
        const QSignalBlocker editBlocker(combo->lineEdit());
        if (list->List().Items() != c.shownItems) {
            combo->clear();
            for (const std::string& item : list->List().Items()) {
                combo->addItem(ToQString(item));
            }
            c.shownItems = list->List().Items();
        }
        QLineEdit* edit = combo->lineEdit();
        // An inline completion on show: the typed part is the model's text and the rest is
        // selected. It stays as the operator sees it while the model agrees with it.
        const QString shown = edit->text();
        const int selStart = edit->selectionStart();
        const bool completing = edit->hasSelectedText() &&
                                selStart + edit->selectedText().size() == shown.size() &&
                                shown.left(selStart) == text;
        if (combo->currentIndex() != list->GetCurSel()) {
            combo->setCurrentIndex(list->GetCurSel());
        }
        if (completing) {
            if (edit->text() != shown) {
                edit->setText(shown);
            }
            edit->setCursorPosition(static_cast<int>(shown.size()));
            edit->cursorBackward(true, static_cast<int>(shown.size()) - selStart);
        } else {
            SetEditText(edit, text);
        }
    } else if (auto* edit = qobject_cast<QLineEdit*>(c.widget)) {
        if (const auto* model = dynamic_cast<const CEdit*>(c.wnd)) {
            edit->setMaxLength(std::min(model->GetLimitText(), 32767));
        }
        SetEditText(edit, text);
    }
}

int QtDialogWindow::GrowLimit(const QRect& rect, const std::vector<QRect>& occupied) const {
    // QRect's right and bottom are its last pixels; a Box's lie just outside.
    const auto box = [](const QRect& r) {
        return Box{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
    };
    std::vector<Box> groups;
    for (const Control& c : m_controls) {
        if (c.tmpl->kind == ControlKind::GroupBox && !c.widget->isHidden()) {
            groups.push_back(box(m_units.Rect(c.tmpl->x, c.tmpl->y, c.tmpl->cx, c.tmpl->cy)));
        }
    }
    std::vector<Box> neighbours;
    for (const QRect& other : occupied) {
        neighbours.push_back(box(other));
    }
    return countryset::GrowLimit(
        box(rect), groups, neighbours,
        GrowGaps{m_units.X(m_model.GetTemplate().cx - kDialogMargin), m_units.X(kGroupInnerMargin),
                 m_units.X(kGapToNeighbour)});
}

void QtDialogWindow::Layout() {
    const DialogTemplate& tmpl = m_model.GetTemplate();
    setFixedSize(m_units.X(tmpl.cx), m_units.Y(tmpl.cy));

    // Where each control stands by its template; a list closed is one line high.
    std::vector<QRect> rects;
    for (const Control& c : m_controls) {
        QRect r = m_units.Rect(c.tmpl->x, c.tmpl->y, c.tmpl->cx, c.tmpl->cy);
        if (auto* combo = AsCombo(c.widget)) {
            r.setHeight(combo->sizeHint().height());
        } else if (c.tmpl->kind == ControlKind::StaticText) {
            r.setHeight(std::max(r.height(), fontMetrics().height()));
        }
        rects.push_back(r);
    }
    std::vector<QRect> occupied;
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        if (!m_controls[i].widget->isHidden() &&
            m_controls[i].tmpl->kind != ControlKind::GroupBox) {
            occupied.push_back(rects[i]);
        }
    }

    const QFontMetrics metrics = fontMetrics();
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        const Control& c = m_controls[i];
        QRect r = rects[i];
        int wanted = 0;
        if (auto* label = qobject_cast<QLabel*>(c.widget)) {
            wanted = metrics.horizontalAdvance(label->text()) + 2 * label->margin() + 1;
        } else if (auto* button = qobject_cast<QPushButton*>(c.widget)) {
            wanted = metrics.horizontalAdvance(button->text()) + 2 * m_units.X(kButtonTextMargin);
        } else if (auto* combo = AsCombo(c.widget)) {
            int widest = 0;
            for (int item = 0; item < combo->count(); ++item) {
                widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(item)));
            }
            QStyleOptionComboBox option;
            option.initFrom(combo);
            option.editable = true;
            wanted = style()
                         ->sizeFromContents(QStyle::CT_ComboBox, &option,
                                            QSize(widest, metrics.height()), combo)
                         .width();
            // The template's height includes the dropped list; it holds that many items.
            const int itemHeight = std::max(1, metrics.height() + 2);
            const int dropped = m_units.Y(c.tmpl->cy) - r.height();
            combo->setMaxVisibleItems(std::max(1, dropped / itemHeight));
        }
        if (wanted > r.width()) {
            r.setWidth(std::min(wanted, GrowLimit(r, occupied) - r.left()));
        }
        c.widget->setGeometry(r);
    }
}

bool QtDialogWindow::HandleKey(QKeyEvent* event) {
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        return false;
    }
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            Forward([this] { m_model.PressEnter(); });
            return true;
        case Qt::Key_Escape:
            Forward([this] { m_model.PressEscape(); });
            return true;
        default:
            return false;
    }
}

bool QtDialogWindow::eventFilter(QObject* watched, QEvent* event) {
    const Control* control = FindByWidget(watched);
    if (control == nullptr) {
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        // A list's open drop-down takes its keys itself and never passes through here.
        return HandleKey(static_cast<QKeyEvent*>(event));
    }
    if (event->type() == QEvent::FocusIn && !m_syncing) {
        const int id = control->tmpl->id;
        if (m_model.GetFocusId() != id) {
            Forward([this, id] { m_model.SetFocus(id); });
        }
    }
    return QDialog::eventFilter(watched, event);
}

void QtDialogWindow::keyPressEvent(QKeyEvent* event) {
    if (HandleKey(event)) {
        event->accept();
        return;
    }
    // Not QDialog's: its Enter and Escape handling would bypass the model.
    QWidget::keyPressEvent(event);
}

void QtDialogWindow::closeEvent(QCloseEvent* event) {
    // The model ends the dialog (or not); the presenter hides the window once it has.
    event->ignore();
    Forward([this] { m_model.CloseBox(); });
}

bool QtDialogWindow::focusNextPrevChild(bool next) {
    Forward([this, next] { m_model.PressTab(!next); });
    return true;
}

void QtDialogWindow::accept() {
    // Nothing ends the dialog but the model.
}

void QtDialogWindow::reject() {
    Forward([this] { m_model.PressEscape(); });
}

void QtDialogWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        m_units = DialogUnits(font());
        if (m_drawn) {
            Layout();
        }
    }
    QDialog::changeEvent(event);
}

}  // namespace countryset
