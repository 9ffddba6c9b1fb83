#include "ui/dialog_templates.h"
#include "ui/icon.h"

namespace countryset {

using namespace ctl;

const ControlTemplate* DialogTemplate::FindControl(int controlId) const {
    for (const ControlTemplate& c : controls) {
        if (c.id == controlId) {
            return &c;
        }
    }
    return nullptr;
}

const DialogTemplate& CountryDialogTemplate() {
    static const DialogTemplate tmpl{
        IDD_COUNTRY_DIALOG,
        "Country Setting",
        205,
        97,
        "Sans Serif",
        8,
        dlg::kPopup | dlg::kCaption | dlg::kSysMenu | dlg::kModalFrame | dlg::kHiddenUntilShown |
            dlg::kCentred,
        {
            {IDC_SELECTED_LABEL, ControlKind::StaticText, kVisible | kLeft | kGroup, 36, 19, 80, 8,
             "Current Selected Country", ""},
            {IDC_SETTING_GROUP, ControlKind::GroupBox, kVisible, 14, 6, 176, 60, "Setting", ""},
            {IDC_CODE_EDIT, ControlKind::Edit,
             kBorder | kTabStop | kCentre | kUpperCase | kAutoHScroll, 7, 27, 22, 12, "", ""},
            {IDC_OK_BUTTON, ControlKind::PushButton, kVisible | kTabStop, 43, 74, 50, 14, "OK", ""},
            {IDC_CANCEL_BUTTON, ControlKind::PushButton, kVisible | kTabStop, 112, 74, 50, 14,
             "Cancel", ""},
            {IDC_COUNTRY_LIST, ControlKind::DropDownList, kVisible | kTabStop | kVScroll | kSort,
             88, 39, 81, 62, "", "Country"},
            {IDC_UNUSED_EDIT, ControlKind::Edit, kBorder | kTabStop | kAutoHScroll, 7, 44, 21, 14,
             "", ""},
            {IDC_PORT_LIST, ControlKind::DropDownList, kVisible | kTabStop | kVScroll | kSort, 36,
             39, 38, 51, "", "Port"},
        },
    };
    return tmpl;
}

const DialogTemplate& MainDialogTemplate() {
    static const DialogTemplate tmpl{
        IDD_MAIN_DIALOG,
        "Functional Test Program",
        250,
        120,
        "Sans Serif",
        8,
        dlg::kPopup | dlg::kCaption | dlg::kSysMenu | dlg::kModalFrame | dlg::kHiddenUntilShown |
            dlg::kCentred,
        {},
    };
    return tmpl;
}

Icon LoadIcon(int iconId) {
    if (iconId == IDR_MAINFRAME) {
        return Icon{IDR_MAINFRAME, "countryset", "icons/countryset.svg"};
    }
    return Icon{};
}

}  // namespace countryset
