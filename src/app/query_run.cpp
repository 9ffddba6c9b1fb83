#include "app/query_run.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <string>

#include "app/gci_reply.h"
#include "serial/comm_port.h"
#include "serial/modem_attach.h"
#include "serial/trace_comm_driver.h"
#include "ui/country_dlg.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

// Sends command and collects the answer up to its final result code, for at most the reply
// time of a run; returns what came, whole or not.
std::string Ask(CCommPort& port, ReceiveRing& ring, std::string_view command) {
    CommDriver& driver = port.Driver();
    port.WriteBlock(command.data(), static_cast<std::uint32_t>(command.size()));
    const std::uint64_t start = driver.GetTickCount64();
    const std::uint64_t limit = static_cast<std::uint64_t>(kReplySeconds) * 1000;
    std::string reply;
    while (reply.size() < kReplyBufferSize && !EndsWithFinalResult(reply)) {
        char byte = 0;
        if (ring.Take(&byte)) {
            reply += byte;
            continue;
        }
        const std::uint64_t elapsed = driver.GetTickCount64() - start;
        if (elapsed >= limit) {
            break;
        }
        ring.WaitForBytes(
            std::min(std::chrono::milliseconds(20), std::chrono::milliseconds(limit - elapsed)));
    }
    return reply;
}

// Why a query gave no usable answer, in one line the operator can act on.
std::string Failure(std::string_view command, const std::string& reply, const GciReply& parsed) {
    const std::string name(command.substr(0, command.size() - 1));
    if (reply.empty()) {
        return "The modem did not answer " + name + ".";
    }
    if (parsed.kind == GciReply::Kind::Refused) {
        return "The modem refused " + name + " (answered ERROR).";
    }
    return "The modem's answer to " + name + " does not read (" + VisibleText(parsed.problem) +
           "): " + EscapeWireBytes(reply);
}

std::string CodeText(std::uint8_t code) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[code >> 4], kDigits[code & 0x0F]};
}

}  // namespace

int RunQuery(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
             WindowServices& services, const ChoicePresenter& presenter, std::ostream& out) {
    {
        CCountryDlg dlg(profile, state.settingsPath, state.country);
        dlg.DoModal();
    }
    if (!presenter.UsageProblem().empty()) {
        return 2;
    }

    CCommPort port(driver, services);
    state.ringStorage = state.allocateRing(ReceiveRing::kSlots);
    if (!state.ringStorage) {
        services.AfxMessageBox("Out of memory");
        return 1;
    }
    if (!port.CreatePortState()) {
        services.AfxMessageBox("Out of Memory");
        return 1;
    }
    state.ring = std::make_unique<ReceiveRing>(state.ringStorage.get());
    const int position = presenter.PortPosition();
    port.State()->byPortNumber =
        position >= 0 && position <= 7 ? static_cast<std::uint8_t>(position + 1) : std::uint8_t{1};
    if (!AttachModem(port, *state.ring, std::span(state.ReplyBuffer), services)) {
        return 1;
    }

    const std::string currentReply = Ask(port, *state.ring, kCurrentCountryQuery);
    const GciReply current = ParseCurrentCountry(currentReply, kCurrentCountryQuery);
    const std::string supportedReply = Ask(port, *state.ring, kSupportedCountriesQuery);
    const GciReply supported = ParseSupportedCountries(supportedReply, kSupportedCountriesQuery);

    // The offered list in its own order, each position with the code of the row it shows.
    const CountryDialogState& table = state.country;
    const std::vector<std::string>& names = presenter.OfferedNames();
    auto codeAt = [&](std::size_t pos) -> std::string {
        if (pos >= static_cast<std::size_t>(table.rows)) {
            return {};
        }
        return table.CountryTable[static_cast<std::size_t>(table.rowAtPosition[pos])].code;
    };

    int status = 0;
    if (current.kind == GciReply::Kind::Answered) {
        std::string named;
        for (std::size_t pos = 0; pos < names.size(); ++pos) {
            std::uint8_t code = 0;
            if (ParseCountryCode(codeAt(pos), code) && code == current.current) {
                named += (named.empty() ? "" : " / ") + VisibleText(names[pos]);
            }
        }
        out << "Current country: "
            << (named.empty() ? CodeText(current.current) + " (not in the settings file)"
                              : named + " (" + CodeText(current.current) + ")")
            << "\n";
    } else {
        services.AfxMessageBox(Failure(kCurrentCountryQuery, currentReply, current));
        status = 1;
    }

    if (supported.kind == GciReply::Kind::Answered) {
        std::string lines;
        int taken = 0;
        for (std::size_t pos = 0; pos < names.size(); ++pos) {
            const std::string code = codeAt(pos);
            std::uint8_t value = 0;
            const bool readable = ParseCountryCode(code, value);
            const bool takes = readable && supported.supported.test(value);
            taken += takes ? 1 : 0;
            lines += std::string(takes      ? "  yes  "
                                 : readable ? "  no   "
                                            : "  ?    ") +
                     VisibleText(names[pos]) + " (" + VisibleText(code) + ")\n";
        }
        out << "Offered countries the modem supports: " << taken << " of " << names.size() << "\n"
            << lines;
    } else {
        services.AfxMessageBox(Failure(kSupportedCountriesQuery, supportedReply, supported));
        status = 1;
    }
    out.flush();
    return status;
}

}  // namespace countryset
