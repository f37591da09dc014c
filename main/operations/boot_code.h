// The boot-code writers of the Advanced tab without their buttons: the
// templates they write and the checks that keep a disk's table and file
// systems whole while its boot code changes.
//
// This program carries no third party's boot code. The MBR template
// "nt62.mbr" is made from the standard MBR of syslinux, read where Debian
// installs it; the GRUB4DOS MBR ("grldr.mbr", with "grldr" and "menu.lst")
// and the Windows boot sector ("nt62.bs") are files the user puts into the
// program folder. A template already in the program folder is used as it
// stands, so any of them can be replaced there.
#pragma once

#include <cstddef>
#include <string>

#include "disk/copy/operation_context.h"

namespace tarnovell {

constexpr const char* kStandardMbr = "/usr/lib/syslinux/mbr/mbr.bin";
// The code area of an MBR: what a boot-code template must at least fill.
constexpr std::size_t kMbrCodeBytes = 440;

// The MBR template "nt62.mbr" of the program folder. When it is not there
// it is made from `standard_mbr` (its 440 bytes of code, zeros, 55 AA),
// written beside its name and renamed into place, so that an interrupted
// run leaves no half template. Raises std::runtime_error saying what is
// missing when neither can be had.
std::string MbrTemplate(const std::string& program_folder, const std::string& standard_mbr = kStandardMbr);

// A template only the user can supply ("grldr.mbr" or "nt62.bs"): its path
// in the program folder. Raises std::runtime_error saying what to put
// where when it is not there.
std::string SuppliedTemplate(const std::string& program_folder, const std::string& name);

// Writes the boot code of `file` over sector 0 of `disk` (bytes 0..439;
// signature, table and the rest of sector 0 kept) and the file's bytes
// past 512 over the sectors after it. Raises std::runtime_error, writing
// nothing, for a file under 440 bytes, for a file longer than one sector on
// a disk with a GUID partition table (whose header and entries follow
// sector 0), and for one that would reach a partition's first sector.
// Returns what the sector routine does (false: declined or said why).
bool ChangeMbrBootCode(const std::string& disk, const std::string& file, const disk::OperationContext& context);

// The mount folder ("X:\") of partition 1 of the disk `disk_path`, or ""
// when it has none, or `disk_path` names no disk.
std::string FirstPartitionMountPath(const std::string& disk_path);

// Copies "grldr" and "menu.lst" of the program folder, where they are,
// into `mount_path`, replacing what is there. True when grldr was copied.
bool CopyGrubLoader(const std::string& program_folder, const std::string& mount_path);

}  // namespace tarnovell
