// A small program the reporter's tests run as a child process: it installs
// the reporter with test settings and then fails in the way its first
// argument names, so that the whole path (hooks, handler thread, report,
// bug-report file, crash box) runs as it does in the program.
#include <QApplication>
#include <fcntl.h>
#include <unistd.h>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/crash_test_settings.h"
#include "crashreport/engine/crash_engine.h"
#include "crashreport/os/crash_signals.h"
#include "crashreport/os/file_access.h"
#include "crashreport/os/map_file.h"
#include "crashreport/os/memory.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/source_lines.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/windows/zel_application.h"
#include "platform/os/thread.h"

namespace {

__attribute__((noinline)) void WriteToUnmappedPage(volatile int* target) {
    *target = 42;
    asm volatile("" ::: "memory");
}

// Not the null pointer itself: the sanitizers would stop at that before the
// processor faults.
__attribute__((noinline)) void FailInWorker() {
    volatile std::uintptr_t unmapped = 16;
    WriteToUnmappedPage(reinterpret_cast<volatile int*>(std::uintptr_t{unmapped}));
    asm volatile("" ::: "memory");
}

// What a worker holds while it fails: a descriptor and a lock, owned by the
// frame above the one that faults.
struct Holdings {
    int descriptor = -1;
    std::mutex lock;
};

__attribute__((noinline)) void HoldAndFail(Holdings& holdings) {
    struct Descriptor {
        int fd;
        ~Descriptor() { ::close(fd); }
    } file{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    holdings.descriptor = file.fd;
    std::lock_guard guard(holdings.lock);
    // Called as code that may throw (as through an interface), so the
    // compiler lists the call among the places its cleanups cover.
    void (*volatile fail)() = FailInWorker;
    fail();
    std::printf("went on after the fault\n");
}

// A heap whose bookkeeping is broken: the C library finds out inside free,
// with its arena locked, and aborts from there.
__attribute__((noinline)) void CorruptTheHeap() {
    char* volatile first = static_cast<char*>(std::malloc(2000));
    char* volatile second = static_cast<char*>(std::malloc(2000));
    std::free(first);
    std::free(first);
    std::free(second);
}

// Code run from a stack page, which may not be executed.
__attribute__((noinline)) void ExecuteTheStack() {
    unsigned char code[16] = {0xc3};
    asm volatile("" : : "r"(code) : "memory");
    reinterpret_cast<void (*)()>(reinterpret_cast<std::uintptr_t>(code))();
}

// Threads that wait while the main thread fails: one of the program's own
// and two that Qt starts (a thread with an event loop, one of its pool).
__attribute__((noinline)) std::unique_ptr<platform::WorkerThread> StartWaitingWorker(std::atomic<bool>& started) {
    return std::make_unique<platform::WorkerThread>([&started] {
        started = true;
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        return platform::DWORD{0};
    });
}

__attribute__((noinline)) void ThrowFromWorker() { throw std::runtime_error("worker gave up"); }

crashreport_test::SettingsMap ChildSettings() {
    auto settings = crashreport_test::BaseSettings();
    settings["AutoSave"] = true;
    settings["AutoSaveIfNotSent"] = false;
    settings["AutoClip"] = false;
    settings["CpuRegs"] = true;
    settings["StackDump"] = true;
    settings["ShowBtnVis"] = true;
    settings["MailViaMapi"] = false;
    settings["MailViaMailto"] = false;
    settings["BugRepFile"] = std::string(std::getenv("CRASH_CHILD_REPORT") ? std::getenv("CRASH_CHILD_REPORT") : "");
    if (std::getenv("CRASH_CHILD_AUTOCONTINUE")) {
        settings["AutoContinue"] = true;
        settings["AutoDelay"] = 1;
    }
    if (std::getenv("CRASH_CHILD_AUTOCLOSE")) {
        settings["AutoClose"] = 1;
        settings["AutoDelay"] = 1;
    }
    if (std::getenv("CRASH_CHILD_HOLD_REPORT")) {
        settings["Plugins"] = std::string("modules|held");
        settings["PlWaitTitle"] = std::string("Report in the making");
    }
    return settings;
}

// A section of the report that is made only once the file named by
// CRASH_CHILD_HOLD_REPORT exists: the report is in the making until then.
void HoldTheReport() {
    const char* release = std::getenv("CRASH_CHILD_HOLD_REPORT");
    if (!release) return;
    crashreport::BugReportPlugin held;
    held.name = held.title = "held";
    held.own_section = true;
    held.text = [file = std::string(release)](crashreport::TIZEException&) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (!std::filesystem::exists(file) && std::chrono::steady_clock::now() < deadline) {
            crashreport::ReporterHeartbeat();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::string("released");
    };
    crashreport::AddBugReportPlugin(std::move(held));
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return 2;
    // What the program carries (settings, forms, pictures), as the program
    // registers it; the test's settings then take the place of its own.
    crashreport::RegisterCrashReporterResources();
    if (crashreport::IsCrashBoxInvocation(args)) {
        crashreport_test::UseSettings(ChildSettings());
        if (const char* marker = std::getenv("CRASH_CHILD_MARKER")) std::ofstream(marker) << "crash box shown\n";
        return crashreport::RunCrashBox(argc, argv, args);
    }
    const std::string mode = args[0];
    if (mode == "program-settings") {
        const bool active = crashreport::InitCrashLibrary();
        std::printf("active=%d watchdog=%d\n", active ? 1 : 0, crashreport::FreezeWatchdogRunning() ? 1 : 0);
        crashreport::FinalizeCrashLibrary();
        return 0;
    }
    crashreport_test::UseSettings(ChildSettings());
    // Where this program's separate debug file is, for the test that reads one.
    if (const char* path = std::getenv("CRASH_CHILD_DEBUG_PATH")) crashreport::SetDebugInfoPath(path);
    if (!crashreport::InitCrashLibrary("9.9.9")) return 3;
    HoldTheReport();
    if (mode == "public-by-name") {
        // The routine a form's action names, looked up in the program's
        // debug information as the dialog engine does.
        const auto map = crashreport::MapFileForAddr(0);
        const std::uintptr_t found =
            map->FindPublicByName(true, "crash_child", true, "(anonymous namespace)::FailInWorker");
        std::printf("%s\n", found == reinterpret_cast<std::uintptr_t>(&FailInWorker) ? "found" : "not found");
        return 0;
    }
    if (mode == "temp-folder") {
        // Keeps a file in this run's folder until told to end (the file
        // named by CRASH_CHILD_RELEASE appears), then ends normally.
        const std::filesystem::path folder = crashreport::GetZelTempFolder();
        if (folder.empty() || !crashreport::WriteOwnFile(folder / "mine.txt", "mine")) return 5;
        std::printf("%s\n", folder.c_str());
        std::fflush(stdout);
        const char* release = std::getenv("CRASH_CHILD_RELEASE");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (release && !std::filesystem::exists(release) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        crashreport::FinalizeCrashLibrary();
        return 0;
    }
    if (mode == "worker-segv" || mode == "worker-throw") {
        platform::WorkerThread worker([&] {
            if (mode == "worker-segv")
                FailInWorker();
            else
                ThrowFromWorker();
            return platform::DWORD{0};
        });
        worker.wait_for(std::chrono::minutes(5));
        std::printf("survived, exit code %s\n", worker.exit_code() ? "given" : "none");
        std::fflush(stdout);
        return 0;
    }
    if (mode == "worker-segv-holding") {
        Holdings holdings;
        platform::WorkerThread worker([&] {
            HoldAndFail(holdings);
            return platform::DWORD{0};
        });
        worker.wait_for(std::chrono::minutes(5));
        const bool closed = holdings.descriptor >= 0 && ::fcntl(holdings.descriptor, F_GETFD) == -1;
        const bool unlocked = holdings.lock.try_lock();
        if (unlocked) holdings.lock.unlock();
        std::printf("exit code %s, descriptor %s, lock %s\n", worker.exit_code() ? "given" : "none",
                    closed ? "closed" : "open", unlocked ? "free" : "held");
        std::fflush(stdout);
        return 0;
    }
    if (mode == "worker-heap") {
        // A worker breaks the heap: it may hold the allocator's lock, so it
        // cannot be left, and the program ends with its report.
        crashreport::SetConsoleReportToStandardError(true);
        platform::WorkerThread worker([&] {
            CorruptTheHeap();
            return platform::DWORD{0};
        });
        worker.wait_for(std::chrono::minutes(5));
        std::printf("survived a broken heap\n");
        return 0;
    }
    if (mode == "main-heap") {
        crashreport::SetConsoleReportToStandardError(true);
        CorruptTheHeap();
        return 4;
    }
    if (mode == "hidden-exception") {
        // Exceptions the program handles itself reach the hidden-exception
        // handlers once each; one that leaves a thread is reported instead.
        crashreport::AddHiddenExceptionHandler(
            [](crashreport::TIZEException& exception, bool&) {
                std::printf("hidden %s: %s\n", exception.ExceptionClass().c_str(), exception.ExceptionMessage().c_str());
                std::fflush(stdout);
            },
            crashreport::HandlerSync::ReportingThread);
        try {
            throw std::runtime_error("handled quietly");
        } catch (const std::exception&) {
        }
        try {
            try {
                throw std::logic_error("passed on");
            } catch (...) {
                throw;
            }
        } catch (const std::logic_error&) {
        }
        platform::WorkerThread worker([] {
            ThrowFromWorker();
            return platform::DWORD{0};
        });
        worker.wait_for(std::chrono::minutes(5));
        std::printf("done\n");
        return 0;
    }
    if (mode == "emergency-reserve") {
        // Held from start-up on, given up while an exception is handled.
        std::printf("at start %zu\n", crashreport::EmergencyMemoryHeld());
        crashreport::AddHiddenExceptionHandler(
            [](crashreport::TIZEException&, bool&) {
                std::printf("while handled %zu\n", crashreport::EmergencyMemoryHeld());
            },
            crashreport::HandlerSync::ReportingThread);
        try {
            throw std::runtime_error("handled");
        } catch (const std::exception&) {
        }
        std::printf("afterwards %zu\n", crashreport::EmergencyMemoryHeld());
        crashreport::FinalizeCrashLibrary();
        std::printf("after shut-down %zu\n", crashreport::EmergencyMemoryHeld());
        return 0;
    }
    if (mode == "faulting-handler") {
        // A handler of the reporter faults while it handles an exception.
        crashreport::AddExceptionHandler([](crashreport::TIZEException&, bool&) { FailInWorker(); },
                                         crashreport::HandlerSync::ReportingThread, 1);
        platform::WorkerThread worker([] {
            ThrowFromWorker();
            return platform::DWORD{0};
        });
        worker.wait_for(std::chrono::minutes(5));
        return 4;
    }
    if (mode == "hung-reporter") {
        // A handler of the reporter never comes back: the faulting thread
        // must not wait for it for ever.
        crashreport::AddExceptionHandler(
            [](crashreport::TIZEException&, bool&) {
                for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
            },
            crashreport::HandlerSync::ReportingThread, 1);
        FailInWorker();
        return 4;
    }
    if (mode == "execute-stack") {
        ExecuteTheStack();
        return 4;
    }
    if (mode == "await-signal") {
        // Says its id and waits for another process's signal.
        std::printf("%d\n", static_cast<int>(::getpid()));
        std::fflush(stdout);
        for (int i = 0; i < 1200; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return 4;
    }
    if (mode == "library-threads") {
        QCoreApplication application(argc, argv);
        std::atomic<bool> own_started{false}, pooled_started{false};
        auto own = StartWaitingWorker(own_started);
        QThread qt_thread;
        qt_thread.start();
        QThreadPool::globalInstance()->start([&pooled_started] {
            pooled_started = true;
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while ((!own_started || !pooled_started || !qt_thread.isRunning()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        FailInWorker();
        return 4;
    }
    if (mode == "main-segv") {
        FailInWorker();
        return 4;
    }
    if (mode == "main-throw") {
        throw std::logic_error("nobody caught this");
    }
    if (mode == "gui-handler-throws") {
        // A handler of the window thread throws: the box comes up on that
        // thread and counts down on continue; continuing ends this run.
        crashreport::ZelApplication application(argc, argv);
        crashreport::AddActionHandler(
            [](std::uint8_t action, crashreport::TIZEException&, bool&) {
                if (action != crashreport::kActionContinue) return;
                std::printf("continued\n");
                QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
            },
            crashreport::HandlerSync::ReportingThread);
        QTimer::singleShot(0, [] { throw std::runtime_error("button handler failed"); });
        const int code = application.exec();
        std::fflush(stdout);
        return code;
    }
    if (mode == "fault-under-box") {
        // The window thread fails while the box of an earlier exception is
        // up on it: that box can never answer.
        crashreport::ZelApplication application(argc, argv);
        QTimer::singleShot(500, [] { FailInWorker(); });
        QTimer::singleShot(0, [] { throw std::runtime_error("first failure"); });
        return application.exec();
    }
    if (mode == "main-segv-crash-box") {
        QApplication application(argc, argv);
        crashreport::InstallReporterWindows();
        crashreport::SetCrashBoxCommand({argv[0]});
        FailInWorker();
        return 4;
    }
    return 2;
}
