#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "crashreport/crash_test_settings.h"
#include "crashreport/engine/crash_engine.h"
#include "crashreport/settings/reporter_ui.h"

namespace crashreport_test {

using namespace crashreport;

namespace {

// The receiver's side: the shared-memory object the program writes into.
// Each test process has an object of its own: ctest runs them side by side.
class TraceReceiver {
public:
    explicit TraceReceiver(std::size_t size) : size_(size), name_("zelTraceProcessMap." + std::to_string(::getpid())) {
        SetTraceMappingNameForTesting(name_);
        ::shm_unlink(("/" + name_).c_str());
        fd_ = ::shm_open(("/" + name_).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::ftruncate(fd_, static_cast<off_t>(size)), 0);
        view_ = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0));
        std::memset(view_, 'X', size);
    }
    ~TraceReceiver() {
        ::munmap(view_, size_);
        ::close(fd_);
        ::shm_unlink(("/" + name_).c_str());
        SetTraceMappingNameForTesting("");
    }
    const char* text() const { return view_; }

private:
    std::size_t size_;
    std::string name_;
    int fd_ = -1;
    char* view_ = nullptr;
};

}  // namespace

TEST(TraceExport, WritesAReportOfAllThreadsIntoTheReceiversBuffer) {
    UseSettings(BaseSettings());
    TraceReceiver receiver(1 << 20);
    // An outside tool calls the export from a thread of its own.
    int result = -1;
    std::thread([&] { result = zelTraceProcess(1 << 20); }).join();
    EXPECT_EQ(result, 0);
    const std::string text = receiver.text();
    EXPECT_EQ(text.rfind("date/time", 0), 0u);
    EXPECT_NE(text.find("exception message : The application seems to be frozen."), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nmain thread ($"), std::string::npos);
    EXPECT_NE(text.find("WritesAReportOfAllThreadsIntoTheReceiversBuffer"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nzelExcept - TraceProcessThread ($"), std::string::npos);
}

TEST(TraceExport, ATextLongerThanTheBufferIsCutAndStillEnds) {
    UseSettings(BaseSettings());
    {
        TraceReceiver receiver(64);
        zelTraceProcess(64);
        EXPECT_EQ(std::strlen(receiver.text()), 63u);
    }
    TraceReceiver one(8);
    zelTraceProcess(1);
    EXPECT_EQ(one.text()[0], '\0');
    EXPECT_EQ(one.text()[1], 'X');
}

TEST(TraceExport, ASizeLargerThanTheReceiversObjectIsCutToTheObject) {
    UseSettings(BaseSettings());
    TraceReceiver receiver(4096);
    // Writing the claimed megabyte into a 4 KiB object would fault us.
    EXPECT_EQ(zelTraceProcess(1 << 20), 0);
    EXPECT_EQ(std::strlen(receiver.text()), 4095u);
}

TEST(TraceExport, NoBufferSizeMeansTheClipboard) {
    UseSettings(BaseSettings());
    std::string clipboard;
    ReporterUi ui;
    ui.copy_to_clipboard = [&](const std::string& text) { clipboard = text; };
    SetReporterUi(ui);
    zelTraceProcess(0);
    SetReporterUi({});
    EXPECT_EQ(clipboard.rfind("date/time", 0), 0u);
}

}  // namespace crashreport_test
