// "Backup to Network" and "Restore from Network" on the Clone page: the
// selected disk or volume sent to, or received from, a peer given as
// "host:port", as a plain stream (a netcat-style peer) or through the
// devio protocol.
#pragma once

#include <QObject>

namespace tarnovell {

class PageHost;

class NetworkCommands : public QObject {
    Q_OBJECT

public:
    NetworkCommands(PageHost& host, QObject* parent);

    void BackupToNetwork();
    void RestoreFromNetwork();

private:
    PageHost& host_;
};

}  // namespace tarnovell
