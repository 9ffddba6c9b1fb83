// Fuzz target: the console presenter's input parser. Any bytes as the operator's console
// input, read by the country selection dialog (the sample settings) and then by two message
// boxes. The dialog must end (input is finite), hand back positions inside its lists, and the
// output must hold the dialog and both boxes, with no control byte but the line feeds, whatever
// the operator typed and although the settings hold control characters.
#include <cstdint>
#include <sstream>
#include <string>

#include "fakes/memory_profile.h"
#include "fuzz_check.h"
#include "ui/console_presenter.h"
#include "ui/country_dlg.h"
#include "ui/shown_text.h"
#include "ui/window_services.h"

namespace {

using namespace countryset;

constexpr const char* kPath = "/opt/countryset/countryset.DAT";

constexpr const char* kSettings =
    "[Setting]\r\nGroupText=Setting\r\nStaticText=Current Selected Country\r\n"
    "Title=Country Setting\r\nNumOfCountry=7\r\nCurrentSet=2\r\nCurrentCOM=1\r\n"
    "[Country]\r\nAustria=0A\r\nFrance=3D\r\nGermany=42\r\nItaly=59\r\n"
    "Korea, Republic of=61\r\nUnited States=B5\r\nKorea\x1b[2J\x07\xc2\x9b=61\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream out;
    ConsolePresenter presenter(in, out);
    WindowServices services("countryset", presenter);
    MemoryProfile profile;
    profile.SetFile(kPath, kSettings);
    CountryDialogState state;
    CCountryDlg dlg(profile, kPath, state);

    dlg.DoModal();
    Check(dlg.IsEnded(), "dialog still open after the end of input");
    Check(dlg.m_nCountrySel >= -1 && dlg.m_nCountrySel < state.rows, "country out of range");
    Check(dlg.m_nPortSel >= -1 && dlg.m_nPortSel < 8, "port out of range");
    services.MessageBox("Country set successfully.", "", MB_OK);
    services.MessageBox("Can't perform country setting on this model modem!", "Error",
                        MB_ICONERROR);

    const std::string shown = out.str();
    Check(shown.find("== Country Setting ==") != std::string::npos, "dialog not drawn");
    const std::size_t first = shown.find("Country set successfully.");
    const std::size_t second = shown.find("Can't perform country setting on this model modem!");
    Check(first != std::string::npos && second != std::string::npos && first < second,
          "message boxes not shown in order");
    Check(VisibleText(shown, true) == shown, "a control byte reached the terminal");
    return 0;
}
