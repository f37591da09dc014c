// The machine manifest of the embedded host, read strictly: a manifest is
// written by hand, and a typo in it must say where it is rather than leave
// a disk out or give it a default the person did not mean.
//
//   [disk0]              ; \\.\PhysicalDrive0 (disk0 .. disk15)
//   image=disk0.img      ; required; relative to the manifest's folder
//   vendor=ACME          ; optional, like every key below
//   product=Test Disk
//   revision=1.0
//   serial=0001
//   bus=Sata             ; Scsi, Atapi, Ata, 1394, Ssa, Fibre, Usb, RAID, iSCSI, Sas, Sata, Unknown
//   removable=0          ; 0/1, false/true, no/yes, off/on
//   sector_size=512      ; 512, 1024, 2048 or 4096
//   readonly=0
//
// Its lines are split by the one INI line reader of the program (as config.ini's
// are), and every fault that reader finds is refused here: a UTF-8 byte-order
// mark at the start is skipped, blank lines and lines starting with ';' or '#'
// are comments, and so is the rest of a value from a ';' or '#' after a blank.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::device {

// What is wrong with a manifest, with the line it is on when there is one.
class ManifestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ManifestDisk {
    int number = 0;
    int line = 0;         // the line of its section heading
    std::string image;    // as written
    std::string vendor;
    std::string product;  // empty: not given
    std::string revision;
    std::string serial;
    std::uint32_t bus_type = 0;
    bool removable = false;
    bool read_only = false;
    std::uint32_t sector_size = 512;
};

// The disks of a manifest in file order. Raises ManifestError ("line N: ...")
// for a line that is neither a heading, a comment nor key=value, a heading
// that is no disk section, a section given twice, an unknown or repeated
// key, a section without an image, two sections naming the same image, and
// a bus, flag or sector size that is not one of those listed above.
std::vector<ManifestDisk> ParseMachineManifest(const std::string& text);

// Bus name to STORAGE_BUS_TYPE, case-insensitive; false when it names none.
bool BusTypeOfName(const std::string& name, std::uint32_t& bus_type);

}  // namespace platform::device
