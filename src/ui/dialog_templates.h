// Dialog templates as values: what a dialog looks like before any code touches it. The model
// builds its controls from a template; presenters draw from it (positions in dialog units).
#pragma once

#include <string>
#include <vector>

namespace countryset {

enum class ControlKind { StaticText, GroupBox, Edit, PushButton, DropDownList };

// Control style flags.
namespace ctl {
inline constexpr unsigned kVisible = 1u << 0;
inline constexpr unsigned kTabStop = 1u << 1;
inline constexpr unsigned kGroup = 1u << 2;  // starts a group
inline constexpr unsigned kSort = 1u << 3;
inline constexpr unsigned kUpperCase = 1u << 4;
inline constexpr unsigned kCentre = 1u << 5;
inline constexpr unsigned kDefaultButton = 1u << 6;
inline constexpr unsigned kVScroll = 1u << 7;
inline constexpr unsigned kAutoHScroll = 1u << 8;
inline constexpr unsigned kBorder = 1u << 9;
inline constexpr unsigned kLeft = 1u << 10;
}  // namespace ctl

// Dialog style flags.
namespace dlg {
inline constexpr unsigned kPopup = 1u << 0;
inline constexpr unsigned kCaption = 1u << 1;
inline constexpr unsigned kSysMenu = 1u << 2;
inline constexpr unsigned kModalFrame = 1u << 3;
inline constexpr unsigned kHiddenUntilShown = 1u << 4;
inline constexpr unsigned kCentred = 1u << 5;
}  // namespace dlg

struct ControlTemplate {
    int id = 0;
    ControlKind kind = ControlKind::StaticText;
    unsigned style = 0;
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    std::string text;
    // What the control is for, in a word ("Country"): lets a presenter that cannot show
    // positions (the console) name a list, and gives toolkits an accessible name.
    std::string name;

    bool Has(unsigned flag) const { return (style & flag) != 0; }
};

struct DialogTemplate {
    int id = 0;
    std::string caption;
    int cx = 0;
    int cy = 0;
    std::string fontName;
    int fontPoints = 0;
    unsigned style = 0;
    std::vector<ControlTemplate> controls;  // template order, which is also the tab order

    bool Has(unsigned flag) const { return (style & flag) != 0; }
    const ControlTemplate* FindControl(int controlId) const;
};

// Template ids.
inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDD_COUNTRY_DIALOG = 139;

// Controls of the country selection dialog.
inline constexpr int IDC_CODE_EDIT = 1062;
inline constexpr int IDC_OK_BUTTON = 1065;
inline constexpr int IDC_CANCEL_BUTTON = 1066;
inline constexpr int IDC_COUNTRY_LIST = 1067;
inline constexpr int IDC_UNUSED_EDIT = 1068;
inline constexpr int IDC_SETTING_GROUP = 1069;
inline constexpr int IDC_SELECTED_LABEL = 1070;
inline constexpr int IDC_PORT_LIST = 1071;

const DialogTemplate& CountryDialogTemplate();
// The main window has no controls: it is never shown, its initialisation is the whole run.
const DialogTemplate& MainDialogTemplate();

}  // namespace countryset
