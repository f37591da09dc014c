// The program's own operations with the reporter installed, made to fault
// in their worker thread while they hold files and volumes; the reporter's
// box counts down on "continue application" and the operation must end as
// failed, having given back what it held. The first argument names the
// operation; the last line of standard output says how it ended.
#include <QApplication>
#include <QLineEdit>
#include <QStatusBar>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crashreport/crash_test_settings.h"
#include "crashreport/engine/crash_engine.h"
#include "crashreport/windows/zel_application.h"
#include "disk/engines/copy_engine.h"
#include "main/operations/worker.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/device/handle.h"
#include "platform/device/records/partition_table.h"
#include "platform/device/registry.h"
#include "tools/md5hash/ufrmmd5hash.h"

namespace {

namespace fs = std::filesystem;

// Not the null pointer itself: the sanitizers would stop at that first.
__attribute__((noinline)) void Fault() {
    volatile std::uintptr_t unmapped = 16;
    *reinterpret_cast<volatile int*>(std::uintptr_t{unmapped}) = 42;
    asm volatile("" ::: "memory");
}

// Called as code that may throw (as through an interface), as the program's
// routines call what can fail.
void FaultThroughPointer() {
    void (*volatile fault)() = Fault;
    fault();
}

int HeldVolumes() {
    int held = 0;
    auto& registry = platform::device::Registry::instance();
    for (const auto& volume : registry.snapshot()->volumes)
        if (registry.held_by_us(platform::device::GuidToString(volume.guid))) ++held;
    return held;
}

// The progress of a copy, whose bar faults once the copy is under way: in
// the worker, deep in the copy loop, while the endpoints are open and locked.
class FaultingTarget : public platform::OperationTarget, public platform::ProgressBar {
public:
    void post(int, platform::OperationKind kind, std::int64_t, const std::string& text) override {
        if (kind == platform::OperationKind::Message) messages.push_back(text);
    }
    void set_max(std::int64_t) override {}
    void set_position(std::int64_t position) override {
        if (position <= 0 || faulted.exchange(true)) return;
        held_at_fault = HeldVolumes();
        FaultThroughPointer();
    }
    int held_at_fault = 0;
    std::atomic<bool> faulted{false};
    std::vector<std::string> messages;
};

// Descriptors of this process open on `path`.
int OpenDescriptorsOn(const fs::path& path) {
    int count = 0;
    std::error_code error;
    const fs::path wanted = fs::weakly_canonical(path, error);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored) == wanted) ++count;
    }
    return count;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename().string());
    return names;
}

crashreport_test::SettingsMap ContinuingSettings() {
    auto settings = crashreport_test::BaseSettings();
    // The box counts down on continue and presses it itself.
    settings["AutoContinue"] = true;
    settings["AutoDelay"] = 1;
    settings["AutoSave"] = false;
    settings["AutoClip"] = false;
    settings["MailViaMapi"] = false;
    settings["MailViaMailto"] = false;
    return settings;
}

int HashInTheMd5Window(const std::string& file) {
    // The digest routine opens the file, reads a little and faults.
    tarnovell::SetMd5RoutineForTesting([](const std::string& name, std::atomic<bool>&) -> std::string {
        platform::Handle handle = platform::CreateFile(name, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                       platform::OPEN_EXISTING, 0);
        char block[512];
        platform::DWORD read = 0;
        platform::ReadFile(handle, block, sizeof block, &read);
        FaultThroughPointer();
        return "not reached";
    });
    auto* window = new tarnovell::Tfrmmd5hash;
    window->show();
    window->HashFile(file);
    std::printf("status=%s\nmd5 file=%s\ndigest=%s\nopen=%d\n",
                window->StatusBar1->currentMessage().toStdString().c_str(),
                fs::exists(tarnovell::Md5FileOf(file)) ? "kept" : "none", window->txtmd5->text().toStdString().c_str(),
                OpenDescriptorsOn(file));
    delete window;
    return 0;
}

// A backup of a disk into a file and a restore of a file onto a disk, run
// as the program runs its copies: in a worker whose progress reaches the
// window through the target.
int CopyInAWorker(bool backup, const std::string& device, const std::string& file, const std::string& disk_image) {
    FaultingTarget target;
    platform::ScriptedInteraction answers;
    answers.set_default_confirm(true);
    platform::ScopedInteraction scope(answers);
    disk::OperationContext context;
    context.interaction = &answers;
    context.status = &target;
    context.progress = &target;
    std::atomic<bool> cancel{false};
    context.cancel = &cancel;
    const tarnovell::WorkerOutcome outcome = tarnovell::RunWorker(
        [&]() -> platform::DWORD {
            const disk::CopyResult result = backup ? disk::BackupRaw(context, device, file, 0, 0, false)
                                                   : disk::RestoreRaw(context, file, device, 0, 0, false);
            return result == disk::CopyResult::Completed ? 0 : tarnovell::FailureExitCode();
        },
        &target);
    std::string leftovers;
    for (const std::string& name : FilesIn(fs::path(file).parent_path())) leftovers += " " + name;
    std::printf("faulted=%d\nsucceeded=%d\nmessages=%zu\nheld at the fault=%d\nheld volumes=%d\nopen=%d\nfolder:%s\n",
                target.faulted ? 1 : 0, outcome.succeeded() ? 1 : 0, target.messages.size(), target.held_at_fault,
                HeldVolumes(),
                OpenDescriptorsOn(file) + OpenDescriptorsOn(disk_image), leftovers.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return 2;
    crashreport_test::UseSettings(ContinuingSettings());
    QApplication application(argc, argv);
    if (!crashreport::InitCrashLibrary("9.9.9")) return 3;
    crashreport::InstallReporterWindows();
    platform::set_pump([] { QCoreApplication::processEvents(); });
    int code = 2;
    if (args[0] == "md5" && args.size() == 2) code = HashInTheMd5Window(args[1]);
    if ((args[0] == "backup" || args[0] == "restore") && args.size() == 4)
        code = CopyInAWorker(args[0] == "backup", args[1], args[2], args[3]);
    std::fflush(stdout);
    platform::set_pump({});
    crashreport::FinalizeCrashLibrary();
    return code;
}
