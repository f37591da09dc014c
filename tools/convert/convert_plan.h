// What the image converter offers and does, without a widget: the source
// and destination kinds, the file filters of each, the destination it
// proposes for a source file, how a "host:port" field is read, and which
// copy routine a pair of kinds runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnovell {

// "RAW", "EWF", "DEVIO", "VDI", "VMDK", "VHD", "QCOW", "NETCAT".
const std::vector<std::string>& ConvertSourceKinds();
// Before any source is chosen: "RAW", "EWF", "DEVIO", "NETCAT".
const std::vector<std::string>& InitialDestinationKinds();
// What a source kind can go to: everything for RAW, only RAW for the rest.
// The virtual-disk service here always reads and writes VHD and VHDX, so
// RAW goes to a fixed or a dynamic VHD through it.
std::vector<std::string> DestinationKindsFor(const std::string& source);

// True for the kinds whose field holds "host:port" rather than a path.
bool IsNetworkKind(const std::string& kind);

// The open dialog's filter for a source kind; "" for the network kinds.
std::string SourceFilter(const std::string& kind);
// The save dialog's filter for a destination kind; "" for the network kinds.
std::string DestinationFilter(const std::string& kind);

// The destination proposed for a source file: its name with its last
// extension (of the file name, not of a folder) replaced by ".dd", or
// ".dd" added when it has none. Never the source itself: a source that
// already ends in ".dd" gets a second ".dd".
std::string ProposedDestination(const std::string& source);

// A field without its trailing backslash.
std::string WithoutTrailingBackslash(const std::string& field);

// "host:port" split at its last ":"; without a ":", the host is empty and
// the whole text is the port. The port is a decimal number or nothing.
struct HostAndPort {
    std::string host;
    std::string port_text;
    std::optional<std::int64_t> port;
};
HostAndPort SplitHostPort(const std::string& field);

// The copy routine a pair of kinds runs.
enum class ConvertAction {
    None,
    RawToEwf,
    NetSendDevio,
    VhdWorkerFixed,    // the VHD worker, mode 1
    VhdWorkerDynamic,  // mode 2
    NetSendRaw,
    RestoreRaw,
    EwfToRaw,
    NetReceiveDevio,
    VdiToRaw,
    VmdkToRaw,
    VhdWorkerToRaw,  // mode 0
    QcowToRaw,
    NetReceiveRaw,
};
ConvertAction ConvertActionFor(const std::string& source, const std::string& destination);

}  // namespace tarnovell
