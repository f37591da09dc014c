// The built program, started without arguments on a virtual display (an
// Xvfb of the test's own) over a machine of image files: it must come up and
// keep running its window.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <thread>

#include "support/embedded_machine.h"
#include "support/test_support.h"
#include "support/virtual_display.h"

#ifndef TARNOVELL_EXECUTABLE
#error "TARNOVELL_EXECUTABLE must name the built program"
#endif

using namespace std::chrono_literals;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::GroupChild;
using test_support::StartXvfb;

TEST(Program, StartsItsMainWindowOnAVirtualDisplay) {
    if (!test_support::HaveTool("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";

    DiskSpec disk;
    disk.prepare = {"printf 'label: dos\\nstart=2048,size=8192,type=7\\n' | sfdisk -q %s"};
    EmbeddedMachine machine({disk});
    test_support::TempDir scratch;
    const std::string log = scratch.file("log");

    std::unique_ptr<GroupChild> server;
    const std::string display = StartXvfb(server, scratch.file("xvfb.log"));
    ASSERT_FALSE(display.empty()) << "Xvfb did not come up:\n" << test_support::ReadWholeFile(scratch.file("xvfb.log"));

    GroupChild program({TARNOVELL_EXECUTABLE}, log, [&] {
        // The test program itself runs on the offscreen platform; the
        // program must find the virtual display instead.
        unsetenv("QT_QPA_PLATFORM");
        unsetenv("WAYLAND_DISPLAY");
        setenv("DISPLAY", display.c_str(), 1);
    });
    ASSERT_GT(program.pid(), 0);

    // Long enough to create the window, fill the list and enter the loop.
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(program.Poll().has_value()) << "the program ended by itself on " << display << ":\n"
                                             << test_support::ReadWholeFile(log) << "Xvfb said:\n"
                                             << test_support::ReadWholeFile(scratch.file("xvfb.log"));

    // Ending the program ends its window; the server goes with the test.
    kill(program.pid(), SIGTERM);
    EXPECT_TRUE(program.WaitFor(20s).has_value()) << "the program did not end on SIGTERM";
}
