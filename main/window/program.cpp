// The program's entry: the command line runs without any window (and so
// without a display); otherwise the main window opens.
#include <QApplication>
#include <iostream>
#include <string>
#include <vector>

#include "main/operations/command_line.h"
#include "main/operations/main_state.h"
#include "main/window/ufrmmain.h"
#include "main/window/window_reporting.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/os/system_facts.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    tarnovell::MainState state;

    if (tarnovell::WantsCommandLineMode(args)) {
        tarnovell::PrepareStartup(state);
        state.console_attached = true;  // standard output is our console
        platform::ConsoleInteraction console(std::cin, std::cerr);
        for (const auto& a : args)
            if (platform::ToLower(a).find("-quiet") != std::string::npos) console.set_quiet(true);
        platform::ScopedInteraction questions(console);
        return tarnovell::RunCommandLine(args, state, std::cout, std::cerr);
    }

    QApplication application(argc, argv);
    auto* window = new tarnovell::Tfrmmain(state);  // frees itself when closed
    tarnovell::DialogInteraction dialogs(window);
    platform::ScopedInteraction questions(dialogs);
    platform::set_pump([] { QCoreApplication::processEvents(); });
    // Started from a terminal: that is the console we write to.
    if (platform::StandardOutputIsTerminal()) {
        state.console_attached = true;
        std::cout << std::endl;
        if (args.empty())
            for (const auto& line : tarnovell::UsageLines()) std::cout << line << "\n";
        std::cout << std::flush;
    }
    if (tarnovell::IsInfosRequest(args)) std::cout << "not implemented" << std::endl;
    window->show();
    return application.exec();
}
