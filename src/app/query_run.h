// Reading a modem: the probe a run makes, then the country it is set to (AT+GCI?) and the
// countries it takes (AT+GCI=?), told against the offered list. Nothing is written, to the
// modem's settings or to the settings file.
#pragma once

#include <ostream>

#include "app/choice_presenter.h"
#include "app/program_state.h"
#include "serial/collect_reply.h"
#include "serial/comm_driver.h"
#include "serial/comm_port.h"
#include "serial/receive_ring.h"
#include "settings/private_profile.h"
#include "ui/window_services.h"

namespace countryset {

inline constexpr char kCurrentCountryQuery[] = "AT+GCI?\r";
inline constexpr char kSupportedCountriesQuery[] = "AT+GCI=?\r";

// Sends command and collects the answer up to its final result code, for at most the reply
// time of a run; returns what came, whole or not, and how the collection ended.
ModemAnswer Ask(CCommPort& port, ReceiveRing& ring, std::string_view command);

// The settings path in state is set. The presenter is the one services draws with; failures are
// told through services. json: one object on out instead of the text. Returns the exit status
// (ExitStatus): 0 when the modem answered both, 4 or 5 when the port or the modem failed as a
// run's would, 1 when a question got no usable answer, 2 when the command line named no port of
// the list.
int RunQuery(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
             WindowServices& services, const ChoicePresenter& presenter, std::ostream& out,
             bool json = false);

}  // namespace countryset
