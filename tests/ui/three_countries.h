// The country dialog over an in-memory settings file offering France, Italy and Spain, with Italy
// and COM1 preselected: the dialog that the model's, the services', the console's and the
// Qt presenter's tests run.
#pragma once

#include "fakes/memory_profile.h"
#include "ui/country_dlg.h"

namespace countryset {

struct ThreeCountries {
    // setting: more lines for the [Setting] section.
    explicit ThreeCountries(const std::string& setting = "") {
        profile.SetFile(kPath, "[Setting]\n" + setting +
                                   "NumOfCountry=3\nCurrentSet=1\n[Country]\nFrance=22\nItaly=33\n"
                                   "Spain=11\n");
    }

    static constexpr const char* kPath = "/opt/x/countryset.DAT";
    MemoryProfile profile;
    CountryDialogState state;
    CCountryDlg dlg{profile, kPath, state};
};

}  // namespace countryset
