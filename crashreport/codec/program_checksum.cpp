#include "crashreport/codec/program_checksum.h"

#include <gelf.h>
#include <libelf.h>

#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "crashreport/codec/zip.h"

namespace crashreport {

namespace {

// In one read: the program file is checked at every start.
std::string ReadWhole(const std::string& file, bool& ok) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    std::string data;
    ok = false;
    if (!in) return data;
    const std::streamoff size = in.tellg();
    if (size < 0) return data;
    data.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(data.data(), size);
    ok = static_cast<bool>(in);
    return data;
}

struct Range {
    std::size_t offset, size;
};

// Where the slot lies in the file (the section ".zelcrc" of 4 bytes), and
// the file's loadable segments.
bool FindSlot(std::string& image, std::size_t& offset, std::vector<Range>& loaded) {
    if (elf_version(EV_CURRENT) == EV_NONE) return false;
    Elf* elf = elf_memory(image.data(), image.size());
    if (elf == nullptr) return false;
    bool found = false;
    std::size_t names = 0;
    if (elf_kind(elf) == ELF_K_ELF && elf_getshdrstrndx(elf, &names) == 0) {
        for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr; section = elf_nextscn(elf, section)) {
            GElf_Shdr header;
            if (gelf_getshdr(section, &header) == nullptr) continue;
            const char* name = elf_strptr(elf, names, header.sh_name);
            if (name == nullptr || std::string_view(name) != ".zelcrc" || header.sh_type != SHT_PROGBITS ||
                header.sh_size != 4 || header.sh_offset + 4 > image.size())
                continue;
            offset = header.sh_offset;
            found = true;
            break;
        }
        std::size_t count = 0;
        if (elf_getphdrnum(elf, &count) != 0) found = false;
        for (std::size_t i = 0; found && i < count; ++i) {
            GElf_Phdr segment;
            if (gelf_getphdr(elf, static_cast<int>(i), &segment) == nullptr) continue;
            if (segment.p_type != PT_LOAD || segment.p_offset + segment.p_filesz > image.size()) continue;
            loaded.push_back({segment.p_offset, segment.p_filesz});
        }
    }
    elf_end(elf);
    return found;
}

// Zeroes the slot and the header fields strip rewrites in `image` itself.
// Never 0, which in the slot says "no checksum".
std::uint32_t ChecksumWithSlotZeroed(std::string& image, std::size_t offset, const std::vector<Range>& loaded) {
    std::memset(image.data() + offset, 0, 4);
    // The section-header fields of the ELF header (e_shoff, e_shentsize,
    // e_shnum, e_shstrndx), which strip rewrites.
    if (image.size() >= 64) {
        std::memset(image.data() + 0x28, 0, 8);
        std::memset(image.data() + 0x3A, 0, 6);
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const Range& range : loaded) crc = Crc32Add(crc, image.data() + range.offset, range.size);
    crc ^= 0xFFFFFFFFu;
    return crc == 0 ? 1 : crc;
}

}  // namespace

ChecksumVerdict VerifyFileChecksum(const std::string& file) {
    bool ok = false;
    std::string image = ReadWhole(file, ok);
    std::size_t offset = 0;
    std::vector<Range> loaded;
    if (!ok || !FindSlot(image, offset, loaded)) return ChecksumVerdict::NoChecksum;
    std::uint32_t stored = 0;
    std::memcpy(&stored, image.data() + offset, 4);
    if (stored == 0) return ChecksumVerdict::NoChecksum;
    const std::uint32_t computed = ChecksumWithSlotZeroed(image, offset, loaded);
    return computed == stored ? ChecksumVerdict::Intact : ChecksumVerdict::Corrupt;
}

bool StampFileChecksum(const std::string& file) {
    bool ok = false;
    std::string image = ReadWhole(file, ok);
    std::size_t offset = 0;
    std::vector<Range> loaded;
    if (!ok || !FindSlot(image, offset, loaded)) return false;
    const std::uint32_t checksum = ChecksumWithSlotZeroed(image, offset, loaded);
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(&checksum), 4);
    return static_cast<bool>(out);
}

}  // namespace crashreport
