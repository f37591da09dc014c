#include "main/operations/wim_image_tools.h"

#include <cctype>
#include <cstdint>

#include "disk/util/lib_helpers.h"
#include "main/operations/wim_commands.h"
#include "main/operations/wim_library.h"
#include "platform/base/wide_text.h"
#include "platform/base/win_error.h"
#include "platform/wim/xml.h"
#include "platform/os/folders.h"

namespace tarnovell {

namespace wim = platform::wim;
using platform::DWORD;

namespace {

std::u16string Wide(const std::string& text) { return platform::Utf8ToUtf16(text); }

std::string Failed(const std::string& call) { return call + " failed," + std::to_string(platform::GetLastError()); }

// A WIM opened to read: the flags tell the library an ESD is solid.
wim::WimHandle OpenToRead(const disk::WimFunctionTable& table, const std::string& file) {
    const DWORD flags = wim::WIM_FLAG_VERIFY | (IsEsdFile(file) ? DWORD{wim::WIM_FLAG_SOLID} : DWORD{0});
    DWORD created = 0;
    return table.WIMCreateFile(Wide(file).c_str(), wim::WIM_GENERIC_READ, wim::WIM_OPEN_EXISTING, flags,
                               wim::WIM_COMPRESS_NONE, &created);
}

wim::WimHandle OpenToChange(const disk::WimFunctionTable& table, const std::string& file) {
    DWORD created = 0;
    return table.WIMCreateFile(Wide(file).c_str(), wim::WIM_GENERIC_READ | wim::WIM_GENERIC_WRITE,
                               wim::WIM_OPEN_EXISTING, 0, wim::WIM_COMPRESS_NONE, &created);
}

// The information XML of a file or an image, as UTF-8; false when the
// library has none to give.
bool InformationOf(const disk::WimFunctionTable& table, wim::WimHandle object, std::string& xml) {
    void* data = nullptr;
    DWORD size = 0;
    if (!table.WIMGetImageInformation(object, &data, &size)) return false;
    xml = wim::XmlFromUtf16Bytes(data, size);
    wim::WIMFreeMemory(data);
    return true;
}

std::string NameOf(const std::string& wim_xml, int index) {
    std::vector<std::pair<std::string, std::string>> properties;
    if (!wim::ImageProperties(wim::ImageElement(wim_xml, index), properties)) return {};
    for (const auto& [name, value] : properties)
        if (name == "NAME") return value;
    return {};
}

bool IsNameStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }

std::string EscapedText(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string WimInformationText(const std::string& file) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    WimObject wim_file(table, OpenToRead(table, file));
    std::string xml;
    if (!wim_file.valid() || !InformationOf(table, wim_file.get(), xml)) return "WIMGetImageInformation failed";
    return xml;
}

std::vector<WimImageEntry> WimImages(const std::string& file) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    WimObject wim_file(table, OpenToRead(table, file));
    std::vector<WimImageEntry> images;
    std::string xml;
    if (!wim_file.valid() || !InformationOf(table, wim_file.get(), xml)) return images;
    const DWORD count = table.WIMGetImageCount(wim_file.get());
    for (DWORD index = 1; index <= count; ++index)
        images.push_back({static_cast<int>(index), NameOf(xml, static_cast<int>(index))});
    return images;
}

WimCommandResult SetWimBootImage(const std::string& file, int index) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    WimObject wim_file(table, OpenToChange(table, file));
    if (!wim_file.valid()) return {false, Failed("WIMCreateFile")};
    if (!table.WIMSetBootImage(wim_file.get(), static_cast<DWORD>(index))) return {false, Failed("WIMSetBootImage")};
    if (!wim_file.close()) return {false, Failed("WIMSetBootImage")};
    return {true, "WIMSetBootImage OK"};
}

bool IsElementName(const std::string& name) {
    if (name.empty() || !IsNameStart(static_cast<unsigned char>(name.front()))) return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (!IsNameStart(byte) && !std::isdigit(byte) && c != '-' && c != '.') return false;
    }
    return true;
}

std::string ImageInformationXml(const std::string& attribute, const std::string& value) {
    return "<IMAGE><" + attribute + ">" + EscapedText(value) + "</" + attribute + "></IMAGE>";
}

WimCommandResult SetWimImageInformation(const std::string& file, int index, const std::string& attribute,
                                        const std::string& value) {
    if (!IsElementName(attribute)) return {false, "'" + attribute + "' is not a valid attribute name", false};
    const disk::WimFunctionTable& table = LoadedWimgapi();
    WimObject wim_file(table, OpenToChange(table, file));
    if (!wim_file.valid()) return {false, Failed("WIMCreateFile")};
    table.WIMSetTemporaryPath(wim_file.get(), Wide(WimTemporaryFolder()).c_str());
    WimObject image(table, table.WIMLoadImage(wim_file.get(), static_cast<DWORD>(index)));
    // The program has always said this when the image cannot be loaded.
    if (!image.valid()) return {false, Failed("WIMCreateFile")};
    const std::u16string xml = Wide(ImageInformationXml(attribute, value));
    if (!table.WIMSetImageInformation(image.get(), xml.data(), static_cast<DWORD>(xml.size() * sizeof(char16_t))))
        return {false, Failed("WIMSetImageInformation")};
    image.close();
    if (!wim_file.close()) return {false, Failed("WIMSetImageInformation")};
    return {true, "WIMSetImageInformation OK"};
}

WimgapiDescription DescribeWimgapi() {
    disk::LoadWimgapi("wimgapi.dll");
    WimgapiDescription description;
    const std::string path = disk::WimgapiPath();
    if (path.empty()) {
        description.problem = "could not retrieve wimgapi.dll path";
        return description;
    }
    description.ok = true;
    description.lines.push_back("path=" + path);
    std::uint16_t major = 0, minor = 0, release = 0, build = 0;
    if (disk::FileVersionOf(path, major, minor, release, build))
        description.lines.push_back("version=" + std::to_string(major) + "." + std::to_string(minor) + "." +
                                    std::to_string(release) + "." + std::to_string(build));
    else
        description.lines.push_back("could not retrieve wimgapi.dll version");
    return description;
}

WimCommandResult MountWimImage(const std::string& folder, const std::string& file, int index, bool read_write) {
    if (!platform::CreateFolders(folder)) return {false, platform::SysErrorMessage(platform::GetLastError()), false};
    const disk::WimFunctionTable& table = LoadedWimgapi();
    // Without a temporary folder to stage changes in, the image is mounted
    // for reading only.
    const std::u16string staging = read_write ? Wide(WimTemporaryFolder()) : std::u16string();
    if (!table.WIMMountImage(Wide(folder).c_str(), Wide(file).c_str(), static_cast<DWORD>(index), staging.c_str()))
        return {false, Failed("WIMMountImage")};
    return {true, "WIMMountImage success"};
}

WimCommandResult UnmountWimImage(const std::string& folder, const std::string& file, int index, bool commit) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    if (!table.WIMUnmountImage(Wide(folder).c_str(), Wide(file).c_str(), static_cast<DWORD>(index), commit ? 1 : 0))
        return {false, Failed("WIMUnMountImage")};
    return {true, "WIMUnMountImage success"};
}

}  // namespace tarnovell
