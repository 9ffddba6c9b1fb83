// The program's exit statuses: what a script may rely on. 0, 1 and 2 mean what they always
// meant for the dialog; the others tell a scripted run's failures apart.
#pragma once

namespace countryset {

enum class ExitStatus : int {
    Set = 0,            // the country is set, or was already set (--check: is held)
    NotSet = 1,         // the dialog's run did not set it (cancelled, or any failure)
    UsageError = 2,     // the command line or the settings file did not allow a run
    NoSuchCountry = 3,  // --country names no offered country
    PortNotUsable = 4,  // the port did not open, or its watcher did not start
    NoAnswer = 5,       // no modem answered the probe, or nothing answered the country
    Refused = 6,        // the modem refused the country command
    HoldsOther = 7,     // the modem answered OK but holds another country
    SomeFailed = 8,     // several ports: at least one of them failed
    CheckDiffers = 9,   // --check: the modem does not hold the country (or cannot say)
};

}  // namespace countryset
