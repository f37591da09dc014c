// The command line's verbs over the sector tools, the wipe and sparse
// files: -bs, -mbr, -sparse and -wipe. Each takes the arguments after the
// verb and its mode, asks and tells through the current interaction, and
// says whether its operation completed.
#pragma once

#include <iosfwd>
#include <string>

#include "disk/copy/operation_context.h"
#include "main/operations/wipe.h"

namespace tarnovell {

// -bs -backup SOURCE FILE: the first sector of SOURCE into the new FILE.
bool BootSectorBackupVerb(const std::string& source, const std::string& file, const disk::OperationContext& context);
// -bs -restore FILE DEVICE: FILE onto DEVICE (a sector number is asked for a disk).
bool BootSectorRestoreVerb(const std::string& file, const std::string& device, const disk::OperationContext& context);
// -mbr -backup SOURCE FILE: sector 0 of SOURCE into FILE.
bool MbrBackupVerb(const std::string& source, const std::string& file, const disk::OperationContext& context);
// -mbr -restore FILE DEVICE: all of FILE at the start of DEVICE.
bool MbrRestoreVerb(const std::string& file, const std::string& device, const disk::OperationContext& context);
// -sparse FILE SIZE: FILE made anew as a sparse file of SIZE bytes; a file
// there is replaced only after "Overwrite FILE?", and only once the new one
// is complete. A size that is no whole non-negative number is refused on
// `errors`. `declined` is set when the person answered No.
bool SparseVerb(const std::string& file, const std::string& size, std::ostream& errors, bool& declined);
// -wipe DEVICE: the wipe, whose question is asked even with -quiet.
WipeResult WipeVerb(const std::string& device, const disk::OperationContext& context);

}  // namespace tarnovell
