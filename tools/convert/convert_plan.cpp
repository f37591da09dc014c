#include "tools/convert/convert_plan.h"

#include <charconv>

#include "platform/base/ascii.h"

namespace tarnovell {

const std::vector<std::string>& ConvertSourceKinds() {
    static const std::vector<std::string> kinds = {"RAW", "EWF", "DEVIO", "VDI", "VMDK", "VHD", "QCOW", "NETCAT"};
    return kinds;
}

const std::vector<std::string>& InitialDestinationKinds() {
    static const std::vector<std::string> kinds = {"RAW", "EWF", "DEVIO", "NETCAT"};
    return kinds;
}

std::vector<std::string> DestinationKindsFor(const std::string& source) {
    if (source != "RAW") return {"RAW"};
    return {"EWF", "DEVIO", "VHD FIXED", "VHD DYNAMIC", "NETCAT", "RAW"};
}

bool IsNetworkKind(const std::string& kind) { return kind == "DEVIO" || kind == "NETCAT"; }

std::string SourceFilter(const std::string& kind) {
    if (kind == "RAW") return "Image File (*.img)|*.img";
    if (kind == "EWF") return "EWF File (*.ewf)|*.ewf|E01 File (*.e01)|*.e01";
    if (kind == "VDI") return "VDI File (*.vdi)|*.vdi";
    if (kind == "VMDK") return "VMDK File (*.vmdk)|*.vmdk";
    if (kind == "VHD") return "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx";
    if (kind == "QCOW") return "QCOW File (*.qcow)|*.qcow|QCOW2 File (*.qcow2)|*.qcow2";
    return "";
}

std::string DestinationFilter(const std::string& kind) {
    if (kind == "RAW") return "Image File (*.img)|*.img";
    if (kind == "VHD FIXED" || kind == "VHD DYNAMIC") return "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx";
    if (kind == "EWF") return "EWF File (*.ewf)|*.ewf";
    return "";
}

std::string ProposedDestination(const std::string& source) {
    const std::size_t name_start = source.find_last_of("/\\") == std::string::npos ? 0 : source.find_last_of("/\\") + 1;
    const std::size_t dot = source.rfind('.');
    // A leading dot makes a hidden name, not an extension.
    const bool has_extension = dot != std::string::npos && dot > name_start;
    std::string proposal = (has_extension ? source.substr(0, dot) : source) + ".dd";
    if (platform::EqualsNoCase(proposal, source)) proposal = source + ".dd";
    return proposal;
}

std::string WithoutTrailingBackslash(const std::string& field) {
    if (!field.empty() && field.back() == '\\') return field.substr(0, field.size() - 1);
    return field;
}

HostAndPort SplitHostPort(const std::string& field) {
    HostAndPort out;
    const std::size_t colon = field.rfind(':');
    if (colon == std::string::npos) {
        out.port_text = field;
    } else {
        out.host = field.substr(0, colon);
        out.port_text = field.substr(colon + 1);
    }
    std::int64_t port = 0;
    const char* end = out.port_text.data() + out.port_text.size();
    const auto [stop, error] = std::from_chars(out.port_text.data(), end, port);
    if (!out.port_text.empty() && error == std::errc() && stop == end) out.port = port;
    return out;
}

ConvertAction ConvertActionFor(const std::string& source, const std::string& destination) {
    if (source == "RAW") {
        if (destination == "EWF") return ConvertAction::RawToEwf;
        if (destination == "DEVIO") return ConvertAction::NetSendDevio;
        if (destination == "VHD FIXED") return ConvertAction::VhdWorkerFixed;
        if (destination == "VHD DYNAMIC") return ConvertAction::VhdWorkerDynamic;
        if (destination == "NETCAT") return ConvertAction::NetSendRaw;
        if (destination == "RAW") return ConvertAction::RestoreRaw;
        return ConvertAction::None;
    }
    if (destination != "RAW") return ConvertAction::None;
    if (source == "EWF") return ConvertAction::EwfToRaw;
    if (source == "DEVIO") return ConvertAction::NetReceiveDevio;
    if (source == "VDI") return ConvertAction::VdiToRaw;
    if (source == "VMDK") return ConvertAction::VmdkToRaw;
    if (source == "VHD") return ConvertAction::VhdWorkerToRaw;
    if (source == "QCOW") return ConvertAction::QcowToRaw;
    if (source == "NETCAT") return ConvertAction::NetReceiveRaw;
    return ConvertAction::None;
}

}  // namespace tarnovell
