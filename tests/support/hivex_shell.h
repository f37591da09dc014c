// Asking hivexsh about a hive file, or having it change one, from a test.
#pragma once

#include <string>

#include "support/test_support.h"

namespace test_support {

// Runs hivexsh on the commands of `script` (one per line); `writable` lets
// the script change and commit the hive.
inline CommandResult RunHivexShell(const TempDir& dir, const std::string& script, bool writable = false) {
    const std::string script_file = dir.file("hivexsh-script.txt");
    WriteWholeFile(script_file, script + "\nexit\n");
    return Run(std::string("hivexsh ") + (writable ? "-w " : "") + "-f " + Quote(script_file));
}

// Loads `hive` and goes to `key` ("" stays at the root) before `command`.
inline std::string HivexAt(const TempDir& dir, const std::string& hive, const std::string& key,
                           const std::string& command) {
    return RunHivexShell(dir, "load " + hive + "\n" + (key.empty() ? "" : "cd " + key + "\n") + command).output;
}

// hivexsh's listing of every value of `key`, one `"name"=data` line each.
inline std::string HivexValueListing(const TempDir& dir, const std::string& hive, const std::string& key) {
    return HivexAt(dir, hive, key, "lsval");
}

// hivexsh's listing of the subkeys of `key`, one name a line.
inline std::string HivexSubkeyListing(const TempDir& dir, const std::string& hive, const std::string& key) {
    return HivexAt(dir, hive, key, "ls");
}

}  // namespace test_support
