#include "crashreport/windows/zel_application.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QClipboard>
#include <QEventLoop>
#include <QScreen>
#include <thread>

#include "crashreport/engine/crash_engine.h"
#include "crashreport/os/process_control.h"
#include "crashreport/qt/screenshot.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/text/string_toolkit.h"
#include "crashreport/windows/exception_box.h"
#include "crashreport/windows/form_window.h"
#include "crashreport/windows/gui_thread.h"
#include "crashreport/windows/progress_alert_window.h"

namespace crashreport {

ZelApplication::ZelApplication(int& argc, char** argv) : QApplication(argc, argv) { InstallReporterWindows(); }

ZelApplication::~ZelApplication() { RemoveReporterWindows(); }

bool ZelApplication::notify(QObject* receiver, QEvent* event) {
    // The pause point of the main thread while the reporter holds the others.
    WaitIfPaused();
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        const std::string name = receiver ? receiver->objectName().toStdString() : std::string();
        const std::string cls = receiver ? receiver->metaObject()->className() : std::string();
        HandleCurrentException(kSourceNotify, true, name.empty() ? cls : cls + " " + name);
        return false;
    }
}

namespace {

void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    RunOnGui([&] {
        QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical
                        : icon == MessageIcon::Information ? QMessageBox::Information
                                                           : QMessageBox::NoIcon,
                        QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    }, std::chrono::milliseconds(1500));
}

std::u16string AskSavePath(const std::u16string& initial, const std::string& title) {
    std::u16string chosen;
    RunOnGui([&] {
        const QString file = QFileDialog::getSaveFileName(nullptr, QString::fromStdString(title),
                                                          QString::fromStdU16String(initial), "*.txt (*.txt)");
        if (file.isEmpty()) return;
        QString path = file;
        if (!path.contains('.')) path += ".txt";
        chosen = path.toStdU16String();
    });
    return chosen;
}

bool PrintText(const std::string& text, const std::string& document) {
    bool printed = false;
    RunOnGui([&] {
        QPrinter printer;
        printer.setDocName(QString::fromStdString(document));
        printer.setPageMargins(QMarginsF(20, 10, 10, 10), QPageLayout::Millimeter);
        QPrintDialog dialog(&printer);
        dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
        dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
        dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
        if (dialog.exec() != QDialog::Accepted) return;
        QPlainTextEdit view;
        view.setPlainText(QString::fromStdString(text));
        view.document()->setDefaultFont(QFont("Courier New", 8));
        view.print(&printer);
        printed = true;
    });
    return printed;
}

}  // namespace

void InstallReporterWindows() {
    ReporterUi ui;
    ui.message_box = ShowMessage;
    ui.copy_to_clipboard = [](const std::string& text) {
        RunOnGui([&] {
            if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(QString::fromStdString(text));
        }, std::chrono::milliseconds(1500));
    };
    ui.beep = [] { PostToGui([] { QApplication::beep(); }); };
    ui.ask_save_path = AskSavePath;
    ui.print_text = PrintText;
    SetReporterUi(std::move(ui));
    SetProgressAlertFactory(CreateProgressAlertWindow);
    InstallFormWindows();
    SetScreenshotTaker([](bool application_only) {
        INVBitmapRef picture;
        RunOnGui([&] { picture = CaptureScreen(application_only); }, std::chrono::milliseconds(1500));
        return picture;
    });
    SetDisplayModeSource([] {
        std::string text;
        RunOnGui(
            [&] {
                if (const QScreen* screen = QGuiApplication::primaryScreen())
                    text = std::to_string(screen->geometry().width()) + "x" +
                           std::to_string(screen->geometry().height()) + ", " + std::to_string(screen->depth()) +
                           " bit";
            },
            std::chrono::milliseconds(1500));
        return text;
    });
    MainThreadChannel channel;
    channel.run_and_wait = [](const std::function<void()>& call, std::chrono::milliseconds probe) {
        return RunOnGui(call, probe);
    };
    channel.post = [](std::function<void()> call) { PostToGui(std::move(call)); };
    SetMainThreadChannel(std::move(channel));
    ExceptionPresenter presenter;
    presenter.show_box = [](const IZEException& exception, int mode) {
        RunOnGui([&] { RunExceptionBoxLoop(exception, mode, true); });
    };
    presenter.run_assistant = [](const IZEException& exception) {
        INVAssistant assistant = FindAssistant(*exception, exception->assistant_name, exception->Screenshot() != nullptr);
        if (!assistant) return false;
        if (assistant->ShowModal() == kResultContinue) {
            ApplyAssistantResults(*assistant, *exception);
            FillFormCache(*exception, *assistant);
        }
        return true;
    };
    presenter.wait_on_main_thread = [](OneShotEvent& done) {
        while (!done.IsSet()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    };
    SetExceptionPresenter(std::move(presenter));
}

void RemoveReporterWindows() {
    SetExceptionPresenter({});
    SetMainThreadChannel({});
    SetScreenshotTaker({});
    SetFormPresenter({});
    SetBitmapFileLoader({});
    SetProgressAlertFactory({});
    SetReporterUi({});
}

namespace {

// While the failed instance makes its report, its please-wait box shows
// here: what it sends on standard input is done on this thread's window,
// until it says that the report is ready or ends.
void ShowPleaseWaitUntilTheReportIsReady() {
    QEventLoop waiting;
    IProgressAlertRef alert;
    std::thread reader([&waiting, &alert] {
        bool more = true;
        for (std::string line; more && ReadStandardInputLine(line);)
            RunOnGui([&] { more = ReplayCrashBoxCommand(line, CreateProgressAlertWindow, alert); });
        PostToGui([&waiting] { waiting.quit(); });
    });
    waiting.exec();
    reader.join();
    if (alert) alert->Close();
}

}  // namespace

int RunCrashBox(int& argc, char** argv, const std::vector<std::string>& args) {
    QApplication application(argc, argv);
    InstallReporterWindows();
    ShowPleaseWaitUntilTheReportIsReady();
    int mode = 0;
    const IZEException exception = LoadCrashBoxException(args.at(1), mode);
    if (!exception) return -1;
    RunExceptionBoxLoop(exception, mode, true);
    RemoveReporterWindows();
    // Left without a choice (the window manager closed it): the failed
    // instance cannot go on.
    return kCrashBoxClose;
}

}  // namespace crashreport
