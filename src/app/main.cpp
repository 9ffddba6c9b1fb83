#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "app/choice_presenter.h"
#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/line_output.h"
#include "app/platform.h"
#include "app/port_list.h"
#include "app/program_state.h"
#include "app/query_run.h"
#include "app/result_json.h"
#include "app/scripted_run.h"
#include "app/setup_app.h"
#include "app/several_ports.h"
#include "app/trace_file.h"
#include "serial/process_signals.h"
#include "serial/trace_comm_driver.h"
#include "settings/profile_file.h"
#include "settings/settings_path.h"
#include "settings/synchronized_profile.h"
#include "ui/console_input.h"
#include "ui/console_presenter.h"
#include "ui/shown_text.h"
#include "ui/window_services.h"

using namespace countryset;

int main(int argc, char** argv) {
    PrepareArguments(argc, argv);
    const std::string executable = ExecutablePath();
    const std::string appName = ApplicationName(
        !executable.empty() ? executable : (argc > 0 && argv[0] ? argv[0] : "countryset"));

    const CommandLine commandLine = ParseCommandLine(argc, argv);
    PrepareConsole(commandLine);
    switch (commandLine.action) {
        case CommandLine::Action::Help:
            std::cout << HelpText(appName);
            return 0;
        case CommandLine::Action::Version:
            std::cout << VersionText();
            return 0;
        case CommandLine::Action::UsageError:
            std::cerr << appName << ": " << VisibleText(commandLine.error) << "\n"
                      << UsageText(appName);
            return 2;
        case CommandLine::Action::Run:
            break;
    }

    ProgramState state;
    state.appName = appName;
    state.readBack = !commandLine.noVerify;
    ProfileFile profileFile;
    // Several ports read it from threads of their own.
    SynchronizedProfile profile(profileFile);
    const SystemDriver system = MakeSystemDriver(profile, state.settingsPath);
    CommDriver& driver = *system.driver;
    state.portDevice = system.portDevice;
    // Before any other thread starts: the watcher and the toolkit's threads inherit the mask.
    ProcessSignals signals(system.releaseAllPorts);

    // Checked now, opened with the first port: a run refused before it starts writes nothing.
    std::unique_ptr<TraceFile> traceFile;
    if (!commandLine.traceFile.empty()) {
        std::string problem;
        traceFile =
            TraceFile::Check(commandLine.traceFile, ProgramFiles(executable), appName, &problem);
        if (traceFile == nullptr) {
            std::cerr << appName << ": cannot write the trace file "
                      << VisibleText(commandLine.traceFile) << ": " << problem << "\n";
            return 2;
        }
    }
    // Several ports write their lines to stderr from threads of their own: whole lines only.
    LineOutput errorLines(std::cerr);
    LineStream traceLines(errorLines);
    const bool severalPorts = SeveralPorts(commandLine);
    std::ostream& traceOut = traceFile != nullptr ? traceFile->Stream()
                             : severalPorts       ? static_cast<std::ostream&>(traceLines)
                                                  : std::cerr;
    TraceCommDriver traceDriver(driver, traceOut);
    if (severalPorts) {
        traceDriver.TagPorts();
    }
    CommDriver& commDriver = commandLine.trace ? static_cast<CommDriver&>(traceDriver) : driver;

    if (severalPorts) {
        return RunSeveralPorts({commandLine, executable, state, profile, commDriver,
                                commandLine.trace ? &traceDriver : nullptr, errorLines, std::cout});
    }
    if (commandLine.mode == CommandLine::Mode::Country) {
        const ScriptedRequest request{commandLine.country, commandLine.port, commandLine.check,
                                      executable};
        const ScriptedResult result =
            RunScriptedCountry(state, profile, commDriver, request, std::cerr,
                               commandLine.trace ? &traceDriver : nullptr);
        // A run that never reached the port has no object: its status and message say why.
        if (commandLine.json && result.outcome.kind != RunOutcomeKind::Cancelled) {
            std::cout << OutcomeJson(result.outcome) << std::endl;
        }
        return static_cast<int>(result.status);
    }

    if (commandLine.mode != CommandLine::Mode::Dialog) {
        // No operator: the dialog is answered from the command line, each message is one line
        // on stderr, and nothing ever waits for input, so no terminal is needed.
        ChoicePresenter presenter(commandLine.country, commandLine.port, std::cerr, appName);
        WindowServices services(appName, presenter);
        int status = static_cast<int>(ExitStatus::UsageError);
        if (commandLine.mode == CommandLine::Mode::ListCountries) {
            status = ListCountries(state, profile, commDriver, services, presenter, executable,
                                   std::cout);
        } else if (CSetupApp app(state, profile, commDriver, services);
                   app.FindSettings(executable)) {
            status = commandLine.mode == CommandLine::Mode::Query
                         ? RunQuery(state, profile, commDriver, services, presenter, std::cout,
                                    commandLine.json)
                         : ListPorts(profile, state.settingsPath, std::cout, commandLine.json);
        }
        services.FlushPendingMessages();
        if (!presenter.UsageProblem().empty()) {
            std::cerr << appName << ": " << presenter.UsageProblem() << "\n";
            return static_cast<int>(ExitStatus::UsageError);
        }
        return status;
    }

    std::string whyNot;
    std::unique_ptr<Presenter> presenter =
        MakeWindowPresenter(commandLine, executable, argc, argv, &whyNot);
    if (presenter == nullptr && !whyNot.empty()) {
        std::cerr << appName << ": " << whyNot << "; using the text console\n";
    }
    const std::unique_ptr<std::streambuf> consoleBuffer = MakeConsoleInput();
    std::istream consoleInput(consoleBuffer.get());
    if (presenter == nullptr) {
        presenter = std::make_unique<ConsolePresenter>(consoleInput, std::cout);
    }
    WindowServices services(appName, *presenter);

    bool countrySet = false;
    {
        CSetupApp app(state, profile, commDriver, services);
        app.InitInstance(executable);
        countrySet = app.CountrySet();
        if (const std::string note = OutcomeNote(app.Outcome());
            commandLine.trace && !note.empty()) {
            traceDriver.Note(note);
        }
    }
    services.FlushPendingMessages();
    return countrySet ? 0 : 1;
}
