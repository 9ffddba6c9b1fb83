// A dialog template as the dialog manager takes it in memory: an extended (DLGTEMPLATEEX) header
// with its font, then one DWORD-aligned DLGITEMTEMPLATEEX per control, all little-endian, texts
// as UTF-16. Portable, so the layout is tested on every build, not only where it is drawn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog_templates.h"

namespace countryset {

// Style bits of the dialog manager's windows and controls, under names that cannot meet the
// system headers' macros.
namespace winstyle {
inline constexpr std::uint32_t kPopup = 0x80000000;
inline constexpr std::uint32_t kChild = 0x40000000;
inline constexpr std::uint32_t kVisible = 0x10000000;
inline constexpr std::uint32_t kCaption = 0x00C00000;
inline constexpr std::uint32_t kBorder = 0x00800000;
inline constexpr std::uint32_t kVScroll = 0x00200000;
inline constexpr std::uint32_t kSysMenu = 0x00080000;
inline constexpr std::uint32_t kGroup = 0x00020000;
inline constexpr std::uint32_t kTabStop = 0x00010000;

inline constexpr std::uint32_t kDsFixedSys = 0x0008;
inline constexpr std::uint32_t kDsSetFont = 0x0040;
// The font block is read with the extended template's meaning (see kDialogFontName).
inline constexpr std::uint32_t kDsShellFont = kDsSetFont | kDsFixedSys;
inline constexpr std::uint32_t kDsModalFrame = 0x0080;
inline constexpr std::uint32_t kDsCentre = 0x0800;

inline constexpr std::uint32_t kBsPushButton = 0x0000;
inline constexpr std::uint32_t kBsDefPushButton = 0x0001;
inline constexpr std::uint32_t kBsGroupBox = 0x0007;

inline constexpr std::uint32_t kSsLeft = 0x0000;
inline constexpr std::uint32_t kSsCentre = 0x0001;
inline constexpr std::uint32_t kSsNoPrefix = 0x0080;

inline constexpr std::uint32_t kEsCentre = 0x0001;
inline constexpr std::uint32_t kEsUpperCase = 0x0008;
inline constexpr std::uint32_t kEsAutoHScroll = 0x0080;

inline constexpr std::uint32_t kCbsDropDown = 0x0002;
inline constexpr std::uint32_t kCbsAutoHScroll = 0x0040;
inline constexpr std::uint32_t kCbsSort = 0x0100;
}  // namespace winstyle

// The predefined window classes, by ordinal.
inline constexpr std::uint16_t kButtonClass = 0x0080;
inline constexpr std::uint16_t kEditClass = 0x0081;
inline constexpr std::uint16_t kStaticClass = 0x0082;
inline constexpr std::uint16_t kComboBoxClass = 0x0085;

// The dialog font: the system's logical dialog face, which follows the system's font and scaling.
// With the shell font style in an extended template this name stands for the system's current
// dialog face; in a classic template, or under the older name, for the face of earlier systems.
inline constexpr std::string_view kDialogFontName = "MS Shell Dlg 2";

// UTF-8 as UTF-16; a byte that does not start a well-formed UTF-8 sequence becomes U+FFFD.
std::u16string Utf16FromUtf8(std::string_view text);

std::uint32_t DialogStyleBits(const DialogTemplate& tmpl);
std::uint32_t ControlStyleBits(const ControlTemplate& control);
std::uint16_t ControlClassOrdinal(ControlKind kind);

// The in-memory extended template of tmpl. Its first byte must lie on a DWORD boundary, which any
// allocation of the returned vector does.
std::vector<unsigned char> DialogTemplateBytes(const DialogTemplate& tmpl);

}  // namespace countryset
