// The crash reporter's part of the program's application object: its
// event dispatch catches what a handler lets escape, and it installs the
// reporter's windows (exception box, forms, progress, save and print
// dialogs, screenshots, clipboard) and the way to the main thread.
#pragma once

#include <QApplication>
#include <string>
#include <vector>

namespace crashreport {

class ZelApplication : public QApplication {
public:
    ZelApplication(int& argc, char** argv);
    ~ZelApplication() override;
    bool notify(QObject* receiver, QEvent* event) override;
};

// The reporter's windows and user-interface hooks; done by ZelApplication,
// and by tests that use a plain QApplication.
void InstallReporterWindows();
void RemoveReporterWindows();

// The crash-box instance of the program (started with the hidden switch):
// shows the report of a failed instance and exits with the user's choice.
int RunCrashBox(int& argc, char** argv, const std::vector<std::string>& args);

}  // namespace crashreport
