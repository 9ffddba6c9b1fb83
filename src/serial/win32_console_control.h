// The Windows side of ProcessSignals that a console attach needs.
#pragma once

namespace countryset {

// Attaching or making a console empties the table of its control handlers: called after a
// console is attached, this puts back the handler of the ProcessSignals that is taking events.
void RenewConsoleControlHandler();

}  // namespace countryset
