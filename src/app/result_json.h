// What a scripted run prints for --json: one object per port on one line, with the fields and
// names that scripts and docs/countryset-result.schema.json rely on.
#pragma once

#include <string>
#include <string_view>

#include "app/run_outcome.h"

namespace countryset {

// The kind as scripts see it: "set_verified", "already_set", ...
std::string_view OutcomeKindName(RunOutcomeKind kind);

// Whether the run changed the modem: it sent the country command and the modem answered OK.
bool OutcomeChanged(const RunOutcome& outcome);

// A --country or --check run's object, without a line end.
std::string OutcomeJson(const RunOutcome& outcome);

// A --query run's object, without a line end. reason: why a step gave no usable answer, empty
// when both questions were answered.
std::string QueryJson(const QueryOutcome& outcome, std::string_view reason);

}  // namespace countryset
