// Which installed package holds a file, and the version of that package, as
// dpkg's database says: the lists of the files each package installed and
// the status file, read as files (no dpkg is run while a report is made).
//
// A library whose name tells only its interface number (libc.so.6,
// libgcc_s.so.1) says nothing of its version itself; its package does.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace crashreport {

// The upstream version of the installed package that holds `path` (the
// file it names, through links: dpkg may list it under another folder of
// the same file), without epoch and Debian revision: "2.36" of
// "2.36-9+deb12u14"; empty when no installed package holds it.
std::string PackageVersionOfFile(const std::string& path);

// The versions of the installed packages of a status file, by "name" and by
// "name:architecture".
std::map<std::string, std::string> InstalledPackageVersions(std::string_view status);
// A package version as a file version: its leading numbers of the upstream
// part ("1:1.2.13.dfsg-1" gives "1.2.13").
std::string UpstreamVersionNumbers(std::string_view version);

// Where the database is read from ("/var/lib/dpkg" unless set); for tests.
// Drops what was read.
void SetPackageDatabaseFolder(const std::string& folder);

}  // namespace crashreport
