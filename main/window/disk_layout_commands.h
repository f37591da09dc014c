// The main window's commands that change partition tables: "Create Disk"
// and "Create Partition" on the Disk page, "Extend" and "Shrink" on the
// Volume page.
#pragma once

#include <QObject>

#include <cstdint>
#include <string>

namespace tarnovell {

class PageHost;

class DiskLayoutCommands : public QObject {
    Q_OBJECT

public:
    DiskLayoutCommands(PageHost& host, QObject* parent);

    void CreateDisk();
    void CreateSinglePartition();
    void ExtendVolume();
    void ShrinkVolume();

private:
    // The selected volume, the resize dialog and the question "<verb> C: by
    // ..." with the change asked for; false when there is no volume to
    // measure or the user does not go on.
    bool AskVolumeResize(const char* verb, bool suggest, std::string& path, std::int64_t& delta,
                         std::int64_t& new_sectors);

    PageHost& host_;
};

}  // namespace tarnovell
