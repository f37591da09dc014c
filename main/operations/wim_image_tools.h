// The commands of the WIM hub and the mount window that run in the window's
// own thread: a file's image information, its images, the boot image, one
// field of an image's information, the library in use, and mounting an
// image into a folder. Each returns what the window shows; none shows
// anything itself.
#pragma once

#include <string>
#include <vector>

namespace tarnovell {

// How a command went: `text` goes to the status line when `ok`, into a
// message box otherwise.
struct WimCommandResult {
    bool ok = false;
    std::string text;
    bool attempted = true;  // false: refused before the library was asked
};

// "Get Infos": the information XML of a WIM or ESD file, as one text, or
// "WIMGetImageInformation failed". Throws "wimgapi not loaded".
std::string WimInformationText(const std::string& file);

// One image of a WIM: its index (from 1) and its name ("" when it has none).
struct WimImageEntry {
    int index = 0;
    std::string name;
};
// The images of a WIM or ESD file, in order; none when the file is no WIM
// or cannot be read. Throws "wimgapi not loaded".
std::vector<WimImageEntry> WimImages(const std::string& file);

// "SetBoot": marks image `index` (1 or more) as the one the file boots.
// Status "WIMSetBootImage OK"; otherwise "WIMCreateFile failed," or
// "WIMSetBootImage failed," with the error number.
WimCommandResult SetWimBootImage(const std::string& file, int index);

// "SetInfo": sets the element `attribute` of image `index` (1 or more) to
// `value`, which is stored as typed: markup in it is text, not elements.
// An attribute that cannot be an element name is refused before the file
// is opened. Status "WIMSetImageInformation OK".
WimCommandResult SetWimImageInformation(const std::string& file, int index, const std::string& attribute,
                                        const std::string& value);
// The information element that sets `attribute` to `value`:
// "<IMAGE><NAME>Test</NAME></IMAGE>", with &, < and > in the value escaped.
std::string ImageInformationXml(const std::string& attribute, const std::string& value);
// True for a name an XML element can have (letters, digits, "_", "-", ".",
// not starting with a digit, "-" or ".").
bool IsElementName(const std::string& name);

// "DLL": the lines about the loaded library, "path=" + its file and
// "version=" + its version (or "could not retrieve wimgapi.dll version").
// Not ok, with "could not retrieve wimgapi.dll path", when none is loaded.
struct WimgapiDescription {
    bool ok = false;
    std::vector<std::string> lines;
    std::string problem;
};
WimgapiDescription DescribeWimgapi();

// "Mount": image `index` of `file` into `folder` (made when missing). Read
// only unless `read_write`, whose changes are staged in the temporary folder
// until the unmount keeps or drops them. The text is for the status line
// either way: "WIMMountImage success" or "WIMMountImage failed," with the
// error number; only a folder that cannot be made gives a box text (the
// system's) with `ok` false and nothing tried.
WimCommandResult MountWimImage(const std::string& folder, const std::string& file, int index, bool read_write);
// "UnMount": status "WIMUnMountImage success" or "WIMUnMountImage failed,"
// with the error number; `commit` keeps the changes of a read-write mount.
// Both throw "wimgapi not loaded".
WimCommandResult UnmountWimImage(const std::string& folder, const std::string& file, int index, bool commit);

}  // namespace tarnovell
