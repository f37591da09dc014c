// The record of attached virtual disks, kept in the host's state file so
// that a permanent attach outlives the process that made it and every
// process on the host sees the same disks. Each attach is one section
// "[virtual disk <key>]"; the file is read and written under the same lock
// as the rest of the state file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/device/host/host.h"

namespace platform::device {

struct AttachmentRecord {
    std::string key;  // the disk number (embedded host) or the loop device name (Linux host)
    VirtualDiskAttachment attachment;
};

// Every record of the state file, alive or not.
std::vector<AttachmentRecord> LoadAttachmentRecords(const std::string& state_path);

// The records whose disk can still be reached: a non-permanent attach lives
// while its owner process does, a served one while its server does.
std::vector<AttachmentRecord> LiveAttachmentRecords(const std::string& state_path);

bool AttachmentAlive(const VirtualDiskAttachment& attachment);

// Adds a record under a key chosen by `choose_key` from the live records
// (called with the lock held; it may number the attachment), or replaces
// the record with that key. Dead
// records are dropped on the way. Returns the key, "" on failure.
using KeyChooser = std::function<std::string(const std::vector<AttachmentRecord>& live, VirtualDiskAttachment& attachment)>;
std::string SaveAttachmentRecord(const std::string& state_path, VirtualDiskAttachment& attachment,
                                 const KeyChooser& choose_key);

bool RemoveAttachmentRecord(const std::string& state_path, const std::string& key);

// Whether process `pid` exists (a zombie included), and whether it still runs.
bool ProcessAlive(int pid);
bool ProcessRunning(int pid);

}  // namespace platform::device
