#include "ui/dialog_template_bytes.h"

#include "ui/shown_text.h"

namespace countryset {

namespace {

using namespace winstyle;

constexpr std::uint16_t kFontWeightNormal = 400;
constexpr unsigned char kDefaultCharset = 1;

class TemplateWriter {
public:
    void Byte(unsigned char value) { m_bytes.push_back(value); }
    void Word(std::uint16_t value) {
        m_bytes.push_back(static_cast<unsigned char>(value & 0xFF));
        m_bytes.push_back(static_cast<unsigned char>(value >> 8));
    }
    void Dword(std::uint32_t value) {
        Word(static_cast<std::uint16_t>(value & 0xFFFF));
        Word(static_cast<std::uint16_t>(value >> 16));
    }
    // Dialog units are signed 16-bit in the template; a value outside is clamped, not wrapped.
    void Short(int value) {
        const int clamped = value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
        Word(static_cast<std::uint16_t>(static_cast<std::int16_t>(clamped)));
    }
    void Text(std::string_view utf8) {
        for (char16_t c : Utf16FromUtf8(utf8)) {
            // A NUL inside would end the text early and shift everything after it.
            if (c != 0) {
                Word(static_cast<std::uint16_t>(c));
            }
        }
        Word(0);
    }
    void AlignDword() {
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
    }
    std::vector<unsigned char> Take() { return std::move(m_bytes); }

private:
    std::vector<unsigned char> m_bytes;
};

}  // namespace

std::u16string Utf16FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++at;
            continue;
        }
        char32_t code = 0;
        const std::size_t n = Utf8SequenceAt(text, at, &code);
        if (n == 0) {
            out += u'\uFFFD';
            ++at;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        at += n;
    }
    return out;
}

std::uint32_t DialogStyleBits(const DialogTemplate& tmpl) {
    std::uint32_t style = kDsShellFont;
    if (tmpl.Has(dlg::kPopup)) {
        style |= kPopup;
    }
    if (tmpl.Has(dlg::kCaption)) {
        style |= kCaption;
    }
    if (tmpl.Has(dlg::kSysMenu)) {
        style |= kSysMenu;
    }
    if (tmpl.Has(dlg::kModalFrame)) {
        style |= kDsModalFrame;
    }
    if (tmpl.Has(dlg::kCentred)) {
        style |= kDsCentre;
    }
    // Hidden until shown: no visible bit; the modal run shows the dialog once it is filled.
    return style;
}

std::uint16_t ControlClassOrdinal(ControlKind kind) {
    switch (kind) {
        case ControlKind::StaticText:
            return kStaticClass;
        case ControlKind::GroupBox:
        case ControlKind::PushButton:
            return kButtonClass;
        case ControlKind::Edit:
            return kEditClass;
        case ControlKind::DropDownList:
            return kComboBoxClass;
    }
    return kStaticClass;
}

std::uint32_t ControlStyleBits(const ControlTemplate& c) {
    std::uint32_t style = kChild;
    if (c.Has(ctl::kVisible)) {
        style |= kVisible;
    }
    if (c.Has(ctl::kTabStop)) {
        style |= kTabStop;
    }
    if (c.Has(ctl::kGroup)) {
        style |= kGroup;
    }
    if (c.Has(ctl::kVScroll)) {
        style |= kVScroll;
    }
    if (c.Has(ctl::kBorder)) {
        style |= kBorder;
    }
    switch (c.kind) {
        case ControlKind::StaticText:
            // Settings texts are shown as they stand: "&" is no mnemonic.
            style |= (c.Has(ctl::kCentre) ? kSsCentre : kSsLeft) | kSsNoPrefix;
            break;
        case ControlKind::GroupBox:
            style |= kBsGroupBox;
            break;
        case ControlKind::PushButton:
            style |= c.Has(ctl::kDefaultButton) ? kBsDefPushButton : kBsPushButton;
            break;
        case ControlKind::Edit:
            if (c.Has(ctl::kCentre)) {
                style |= kEsCentre;
            }
            if (c.Has(ctl::kUpperCase)) {
                style |= kEsUpperCase;
            }
            if (c.Has(ctl::kAutoHScroll)) {
                style |= kEsAutoHScroll;
            }
            break;
        case ControlKind::DropDownList:
            // A list with an edit field the operator may type into, as the model has it.
            style |= kCbsDropDown;
            if (c.Has(ctl::kSort)) {
                style |= kCbsSort;
            }
            if (c.Has(ctl::kAutoHScroll)) {
                style |= kCbsAutoHScroll;
            }
            break;
    }
    return style;
}

std::vector<unsigned char> DialogTemplateBytes(const DialogTemplate& tmpl) {
    TemplateWriter out;
    out.Word(1);       // version
    out.Word(0xFFFF);  // the extended template's mark
    out.Dword(0);      // help context
    out.Dword(0);      // extended style
    out.Dword(DialogStyleBits(tmpl));
    out.Word(static_cast<std::uint16_t>(tmpl.controls.size()));
    out.Short(0);  // x, y: the modal run places the dialog
    out.Short(0);
    out.Short(tmpl.cx);
    out.Short(tmpl.cy);
    out.Word(0);  // no menu
    out.Word(0);  // the dialog class
    out.Text(tmpl.caption);
    out.Word(static_cast<std::uint16_t>(tmpl.fontPoints));
    out.Word(kFontWeightNormal);
    out.Byte(0);  // not italic
    out.Byte(kDefaultCharset);
    out.Text(kDialogFontName);
    for (const ControlTemplate& c : tmpl.controls) {
        out.AlignDword();
        out.Dword(0);  // help context
        out.Dword(0);  // extended style
        out.Dword(ControlStyleBits(c));
        out.Short(c.x);
        out.Short(c.y);
        out.Short(c.cx);
        out.Short(c.cy);
        out.Dword(static_cast<std::uint32_t>(c.id));
        out.Word(0xFFFF);  // the class by ordinal
        out.Word(ControlClassOrdinal(c.kind));
        out.Text(c.text);
        out.Word(0);  // no creation data
    }
    return out.Take();
}

}  // namespace countryset
