// The program's entry: the command line runs without any window (and so
// without a display); otherwise the main window opens.
#include <QApplication>
#include <iostream>
#include <string>
#include <vector>

#include "crashreport/engine/crash_engine.h"
#include "crashreport/windows/zel_application.h"
#include "disk/engines/image_reader.h"
#include "disk/copy/reader_child.h"
#include "main/operations/command_line.h"
#include "main/operations/main_state.h"
#include "main/window/ufrmmain.h"
#include "main/dialogs/window_reporting.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/os/interrupts.h"
#include "platform/os/system_facts.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // The crash reporter comes first, before any window exists: a failed
    // instance may have started this one only to show its report.
    crashreport::RegisterCrashReporterResources();
    if (crashreport::IsCrashBoxInvocation(args)) return crashreport::RunCrashBox(argc, argv, args);
    // A child of ours reading an image through its library: no window, no
    // crash reporter (a fault there is the parent's to tell).
    if (disk::IsImageReaderInvocation(args)) return disk::RunImageReader(args);
    // The conversions read libraries' images through children of this program.
    disk::SetImageReaderProgram(platform::ExecutablePath());
    crashreport::InitCrashLibrary("2.3.8");
    const tarnovell::CommandLine line = tarnovell::ParseCommandLine(args);
    tarnovell::MainState state;

    if (tarnovell::WantsCommandLineMode(line)) {
        // A fault's report belongs with the other messages, not in the output.
        crashreport::SetConsoleReportToStandardError(true);
        tarnovell::PrepareStartup(state);
        state.console_attached = true;  // standard output is our console
        platform::ConsoleInteraction console(std::cin, std::cerr);
        console.set_quiet(line.quiet);
        // Answers are read so that Ctrl-C and SIGTERM still end the wait.
        console.set_line_reader(platform::ReadAnswerLine);
        int status = 0;
        {
            platform::ScopedInteraction questions(console);
            status = tarnovell::RunCommandLine(line, state, std::cout, std::cerr);
        }
        // Stopped at a question: the process ends as the signal asked.
        if (const int signal_number = platform::SignalAtQuestion(); signal_number != 0)
            platform::EndBySignal(signal_number);
        return status;
    }

    // Qt aborts when it finds no display; say so instead, with what works
    // without one. -infos is answered all the same.
    if (!platform::DisplayAvailable()) {
        if (tarnovell::IsInfosRequest(line)) std::cout << "not implemented" << std::endl;
        std::cerr << "no display available: the window cannot open (DISPLAY and WAYLAND_DISPLAY name no display "
                     "server that is there); the command line needs none:"
                  << std::endl;
        for (const auto& usage : tarnovell::UsageLines()) std::cerr << usage << "\n";
        std::cerr << std::flush;
        return 1;
    }

    crashreport::ZelApplication application(argc, argv);
    auto* window = new tarnovell::Tfrmmain(state);  // frees itself when closed
    tarnovell::DialogInteraction dialogs(window);
    platform::ScopedInteraction questions(dialogs);
    platform::set_pump([] { QCoreApplication::processEvents(); });
    // Started from a terminal: that is the console we write to.
    if (platform::StandardOutputIsTerminal()) {
        state.console_attached = true;
        std::cout << std::endl;
        if (line.args.empty())
            for (const auto& usage : tarnovell::UsageLines()) std::cout << usage << "\n";
        std::cout << std::flush;
    }
    if (tarnovell::IsInfosRequest(line)) std::cout << "not implemented" << std::endl;
    window->show();
    return application.exec();
}
