// Facts about the running program and the machine, for the code above the
// platform that must not ask the operating system itself.
#pragma once

#include <string>

namespace platform {

// The full path of the running executable; "" when it cannot be told.
std::string ExecutablePath();

int ProcessId();

// Whether standard output is a terminal (the program was started from one).
bool StandardOutputIsTerminal();

// Whether a window can be shown: the display Qt would use is there (an X
// server's or Wayland compositor's socket, or a Qt platform that needs
// none, such as offscreen, is chosen). Without one, Qt would abort the
// program as it starts.
bool DisplayAvailable();

// The machine's architecture as the kernel names it ("x86_64", "aarch64").
std::string MachineArchitecture();

// The product name the firmware gives the machine (DMI), as stored: it may
// end in blanks or hold NULs. "" when there is none.
std::string MachineProductName();

// The kernel's description of the processors (the text of /proc/cpuinfo).
std::string ProcessorDescription();

}  // namespace platform
