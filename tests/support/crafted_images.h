// Images made to hurt a reader: the crafted files the converter must refuse
// with a clear message, without a crash and without touching its
// destination. Each is made from what the real tools write (qemu-img,
// ewfacquire), then cut, pointed elsewhere or mixed with another.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "support/test_support.h"

namespace test_support {

struct CraftedImage {
    const char* name;
    const char* kind;  // the converter window's source kind: "QCOW", "VMDK", "EWF", "VDI"
    // Makes the image in `folder` and gives its path; `destination` is the
    // file the conversion will be asked to write.
    std::function<std::string(const std::string& folder, const std::string& destination)> make;
    const char* told;  // a piece of the message the person must read
    // The name of the file the conversion is asked to write, in the image's
    // folder; `make` may make it (as a file the image reads).
    const char* destination = "out.raw";
};

// What the person was told (questions left out).
inline std::vector<std::string> Told(const platform::ScriptedInteraction& ui) {
    std::vector<std::string> texts;
    for (const auto& exchange : ui.log())
        if (exchange.kind == platform::ScriptedInteraction::Exchange::Inform) texts.push_back(exchange.text);
    return texts;
}

namespace crafted {

inline std::string Sh(const std::string& command) {
    const CommandResult result = Run(command);
    if (result.exit_code != 0) throw std::runtime_error(command + ": " + result.output);
    return result.output;
}

// The first `percent` % of what `qemu-img convert -O qcow2` makes of 6 MiB.
inline std::string TruncatedQcow2(const std::string& folder, int percent) {
    const std::string full = folder + "/full.qcow2", cut = folder + "/cut.qcow2";
    Sh("head -c 6291456 /dev/urandom > " + Quote(folder + "/in.raw") + " && qemu-img convert -f raw -O qcow2 " +
       Quote(folder + "/in.raw") + " " + Quote(full));
    const auto size = std::filesystem::file_size(full);
    Sh("head -c " + std::to_string(size * percent / 100) + " " + Quote(full) + " > " + Quote(cut));
    return cut;
}

// A descriptor disk.vmdk in `folder` whose one extent line is `line`.
inline std::string VmdkWithExtentLine(const std::string& folder, const std::string& line) {
    const std::string descriptor = folder + "/disk.vmdk";
    WriteWholeFile(descriptor, "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
                               "createType=\"monolithicFlat\"\n\n# Extent description\n" + line + "\n\n"
                               "# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"2\"\n"
                               "ddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\nddb.adapterType = \"ide\"\n");
    return descriptor;
}

// A descriptor whose one FLAT extent of 2048 sectors is named `extent`.
inline std::string VmdkNaming(const std::string& folder, const std::string& extent) {
    return VmdkWithExtentLine(folder, "RW 2048 FLAT \"" + extent + "\" 0");
}

// The bytes of `path` changed by `change`, written back.
inline void Rewrite(const std::string& path, const std::function<void(std::string&)>& change) {
    std::string bytes = ReadWholeFile(path);
    change(bytes);
    WriteWholeFile(path, bytes);
}

// An extent line that names one file to our check ("ok.raw") and, to a
// reader that takes the text from the first quote to the last and keeps
// its last component, another ("hidden.raw", a link to a file outside the
// image's folder).
inline std::string VmdkExtentLineNamingTwoFiles(const std::string& folder) {
    const std::string inner = folder + "/inner";
    std::filesystem::create_directory(inner);
    Sh("head -c 1048576 /dev/urandom > " + Quote(inner + "/ok.raw") + " && head -c 1048576 /dev/urandom > " +
       Quote(folder + "/secret.raw"));
    std::filesystem::create_symlink(folder + "/secret.raw", inner + "/hidden.raw");
    return VmdkWithExtentLine(inner, "RW 2048 FLAT \"ok.raw\" 0 \"x/hidden.raw\"");
}

// A sparse VMDK whose header counts 2^62 + 1 sectors in grains of one
// sector, a grain table each: its grain directory, 4 bytes an entry, is
// sized past what any count of bytes holds.
inline std::string VmdkGrainDirectoryPastAnySize(const std::string& folder) {
    const std::string image = folder + "/wrap.vmdk";
    Sh("qemu-img create -q -f vmdk " + Quote(image) + " 1M");
    Rewrite(image, [](std::string& b) {
        platform::StoreLe64(&b[12], (1ULL << 62) + 1);  // capacity
        platform::StoreLe64(&b[20], 1);                 // grainSize
        platform::StoreLe32(&b[44], 1);                 // numGTEsPerGT
    });
    return image;
}

// A QCOW2 image of 1 MiB of data whose first L1 entry is 0x30: reserved
// bits only, which a mask of the offset bits reads as no table at all.
inline std::string Qcow2L1EntryOfReservedBits(const std::string& folder) {
    const std::string raw = folder + "/l1.raw", image = folder + "/l1.qcow2";
    Sh("head -c 1048576 /dev/urandom > " + Quote(raw) + " && qemu-img convert -f raw -O qcow2 " + Quote(raw) + " " +
       Quote(image));
    Rewrite(image, [](std::string& b) { platform::StoreBe64(&b[platform::LoadBe64(&b[40])], 0x30); });
    return image;
}

// A sparse VMDK of 16 GiB (grains of one sector, 512 to a table) whose
// 65,536 grain directory entries all name one grain table.
inline std::string VmdkSharedGrainTable(const std::string& folder) {
    const std::string image = folder + "/shared.vmdk";
    Sh("qemu-img create -q -f vmdk " + Quote(image) + " 1M");
    Rewrite(image, [](std::string& b) {
        constexpr std::uint64_t kEntries = 65536, kSectors = kEntries * 512;
        platform::StoreLe64(&b[12], kSectors);                                   // capacity
        platform::StoreLe64(&b[20], 1);                                          // grainSize
        platform::StoreLe32(&b[8], platform::LoadLe32(&b[8]) & ~2u);             // no redundant directory
        const std::uint32_t table = platform::LoadLe32(&b[platform::LoadLe64(&b[56]) * 512]);
        std::string& text = b;
        const std::size_t line = text.find("RW 2048 SPARSE");
        text.replace(line, 14, "RW " + std::to_string(kSectors) + " SPARSE");
        text.erase(text.find('\0', line), std::to_string(kSectors).size() - 4);  // the descriptor keeps its size
        platform::StoreLe64(&b[56], b.size() / 512);                             // gdOffset: a new directory at the end
        for (std::uint64_t i = 0; i < kEntries; ++i) {
            b.append(4, '\0');
            platform::StoreLe32(&b[b.size() - 4], table);
        }
    });
    return image;
}

// A QCOW2 image of 2 GiB in clusters of 512 bytes whose 65,536 L1 entries
// all name one L2 table.
inline std::string Qcow2SharedL2Table(const std::string& folder) {
    const std::string image = folder + "/shared.qcow2";
    Sh("qemu-img create -q -f qcow2 -o cluster_size=512 " + Quote(image) + " 2G");
    Rewrite(image, [](std::string& b) {
        b.resize((b.size() + 511) / 512 * 512);
        const std::uint64_t l2 = b.size();
        b.append(512, '\0');
        const std::uint64_t l1 = platform::LoadBe64(&b[40]);
        for (std::uint64_t i = 0; i < platform::LoadBe32(&b[36]); ++i) platform::StoreBe64(&b[l1 + i * 8], l2 | (1ULL << 63));
    });
    return image;
}

// The first segment of an EWF set of 1 MiB whose first table counts 2^28
// entries in a section said to be 1 GiB long, the file grown (sparse) to
// hold it.
inline std::string EwfTableCountingFarTooMany(const std::string& folder) {
    const std::string raw = folder + "/ewf.raw";
    Sh("head -c 1048576 /dev/urandom > " + Quote(raw) + " && ewfacquire -u -q -c none -t " + Quote(folder + "/many") +
       " " + Quote(raw));
    const std::string first = folder + "/many.E01";
    Rewrite(first, [](std::string& b) {
        for (std::uint64_t at = 13; at + 76 <= b.size(); at = platform::LoadLe64(&b[at + 16])) {
            if (std::string(b.c_str() + at) != "table") continue;
            platform::StoreLe64(&b[at + 24], (1ULL << 30) + 100);  // size
            platform::StoreLe32(&b[at + 76], 1u << 28);            // number_of_entries
            return;
        }
        throw std::runtime_error("no table section");
    });
    std::filesystem::resize_file(first, std::filesystem::file_size(first) + (1ULL << 30) + 4096);
    return first;
}

// A dynamic VHD of 1 MiB whose table counts 2^28 entries, in a file grown
// (sparse) to hold them: 1 GiB of table for a disk of one block.
inline std::string VhdTableFarLargerThanTheDisk(const std::string& folder) {
    const std::string image = folder + "/huge.vhd";
    Sh("qemu-img create -q -f vpc -o subformat=dynamic " + Quote(image) + " 1M");
    constexpr std::uint64_t kEntries = 1ULL << 28;
    std::string footer;
    std::uint64_t table = 0;
    Rewrite(image, [&](std::string& b) {
        footer = b.substr(b.size() - 512);
        const std::uint64_t header = platform::LoadBe64(&footer[16]);
        table = platform::LoadBe64(&b[header + 16]);
        platform::StoreBe32(&b[header + 28], kEntries);
        b.resize(table);
        b.append(4096, '\xff');
    });
    std::filesystem::resize_file(image, table + kEntries * 4);
    std::ofstream(image, std::ios::binary | std::ios::app) << footer;
    return image;
}

// A QCOW2 image of 1 MiB whose refcount table is said to be 16384
// clusters (1 GiB) long, the file grown (sparse) to hold it.
inline std::string Qcow2RefcountTableOfAGigabyte(const std::string& folder) {
    const std::string image = folder + "/refcount.qcow2";
    Sh("qemu-img create -q -f qcow2 " + Quote(image) + " 1M");
    Rewrite(image, [](std::string& b) { platform::StoreBe32(&b[56], 16384); });
    std::filesystem::resize_file(image, (1ULL << 30) + (1 << 16));
    return image;
}

// A sparse VMDK of 1 MiB whose header counts 2^42 sectors: a grain
// directory of 512 MiB by the header, the file grown (sparse) to hold it.
inline std::string VmdkCapacityFarBeyondTheDisk(const std::string& folder) {
    const std::string image = folder + "/capacity.vmdk";
    Sh("qemu-img create -q -f vmdk " + Quote(image) + " 1M");
    std::uint64_t end = 0;
    Rewrite(image, [&](std::string& b) {
        platform::StoreLe64(&b[12], 1ULL << 42);
        const std::uint64_t entries = (1ULL << 42) / (128 * 512);
        end = std::max(platform::LoadLe64(&b[48]), platform::LoadLe64(&b[56])) * 512 + entries * 4;
    });
    std::filesystem::resize_file(image, end);
    return image;
}

// A QCOW2 overlay whose backing file (`backing`, made here) has a line
// break in its name.
inline std::string Qcow2OverBackingNamed(const std::string& folder, const std::string& backing) {
    Sh("qemu-img create -q -f qcow2 " + Quote(backing) + " 4M && cd " + Quote(folder) +
       " && qemu-img create -q -f qcow2 -F qcow2 -b " + Quote(std::filesystem::path(backing).filename().string()) +
       " overlay.qcow2");
    return folder + "/overlay.qcow2";
}

// An EWF set of three segments with its middle one from another acquisition
// of the same size: every chunk checksum matches, the stored MD5 does not.
inline std::string EwfWithForeignSegment(const std::string& folder) {
    for (const char* name : {"ours", "theirs"}) {
        const std::string raw = folder + "/" + name + ".raw";
        Sh("head -c 3145728 /dev/urandom > " + Quote(raw) + " && ewfacquire -u -q -c none -S 1MiB -t " +
           Quote(folder + "/" + name) + " " + Quote(raw));
    }
    Sh("cp " + Quote(folder + "/theirs.E02") + " " + Quote(folder + "/ours.E02"));
    return folder + "/ours.E01";
}

// A VDI of 6 MiB whose header counts 0x20000000 blocks.
inline std::string VdiWithHugeBlockCount(const std::string& folder) {
    const std::string image = folder + "/huge.vdi";
    Sh("qemu-img create -q -f vdi " + Quote(image) + " 6M");
    // cBlocks at offset 384, little-endian.
    Sh("printf '\\000\\000\\000\\040' | dd of=" + Quote(image) + " bs=1 seek=384 conv=notrunc status=none");
    return image;
}

// A dynamic VDI of 6 MiB of data whose file ends where its block 3 begins.
inline std::string VdiCutAtBlock3(const std::string& folder) {
    const std::string raw = folder + "/vdi.raw", image = folder + "/cut.vdi";
    Sh("head -c 6291456 /dev/urandom > " + Quote(raw) + " && qemu-img convert -f raw -O vdi " + Quote(raw) + " " +
       Quote(image));
    // offData at offset 344, little-endian; blocks of 1 MiB in the order written.
    const std::string data = Sh("od -An -tu4 -j344 -N4 " + Quote(image));
    Sh("truncate -s " + std::to_string(std::stoll(data) + 3 * 1048576) + " " + Quote(image));
    return image;
}

}  // namespace crafted

// The table every converter test runs over.
inline std::vector<CraftedImage> CraftedImages() {
    using namespace crafted;
    std::vector<CraftedImage> cases;
    for (int percent : {25, 40, 50})
        cases.push_back({percent == 25 ? "Qcow2CutAt25" : percent == 40 ? "Qcow2CutAt40" : "Qcow2CutAt50", "QCOW",
                         [percent](const std::string& folder, const std::string&) { return TruncatedQcow2(folder, percent); },
                         "lies past the end of the file"});
    // A backing file is read only from the overlay's own folder: one named
    // elsewhere, or linked to from there, is not.
    cases.push_back({"Qcow2BackingFileElsewhere", "QCOW",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directory(folder + "/other");
                         Sh("qemu-img create -q -f qcow2 " + Quote(folder + "/other/base.qcow2") + " 4M && "
                            "qemu-img create -q -f qcow2 -F qcow2 -b " + Quote(folder + "/other/base.qcow2") + " " +
                            Quote(folder + "/overlay.qcow2"));
                         return folder + "/overlay.qcow2";
                     },
                     "qcow backing file not found: "});
    cases.push_back({"Qcow2BackingFileLinkedOutside", "QCOW",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directories(folder + "/inner");
                         std::filesystem::create_symlink(folder + "/base.qcow2", folder + "/inner/base.qcow2");
                         Sh("qemu-img create -q -f qcow2 " + Quote(folder + "/base.qcow2") + " 4M && "
                            "qemu-img create -q -f qcow2 -F qcow2 -b base.qcow2 " + Quote(folder + "/inner/overlay.qcow2"));
                         return folder + "/inner/overlay.qcow2";
                     },
                     "leads out of the image's folder through a symbolic link"});
    cases.push_back({"VmdkExtentAbsolute", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/elsewhere.raw"));
                         return VmdkNaming(folder, folder + "/elsewhere.raw");
                     },
                     "is an absolute path"});
    cases.push_back({"VmdkExtentClimbsOut", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directory(folder + "/inner");
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/secret.raw"));
                         const std::string descriptor = VmdkNaming(folder, "../secret.raw");
                         std::filesystem::rename(descriptor, folder + "/inner/disk.vmdk");
                         return folder + "/inner/disk.vmdk";
                     },
                     "climbs out of the image's folder"});
    cases.push_back({"VmdkExtentLinkedToADevice", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_symlink("/dev/zero", folder + "/disk-flat.vmdk");
                         return VmdkNaming(folder, "disk-flat.vmdk");
                     },
                     "is not a regular file"});
    cases.push_back({"VmdkExtentLinkedOutside", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directory(folder + "/inner");
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/outside.raw"));
                         std::filesystem::create_symlink(folder + "/outside.raw", folder + "/inner/disk-flat.vmdk");
                         const std::string descriptor = VmdkNaming(folder, "disk-flat.vmdk");
                         std::filesystem::rename(descriptor, folder + "/inner/disk.vmdk");
                         return folder + "/inner/disk.vmdk";
                     },
                     "leads out of the image's folder through a symbolic link"});
    // No link is followed to an extent, even one that stays in the folder:
    // the file the library reads is the one our check opened.
    cases.push_back({"VmdkExtentLinkedInside", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/real.raw"));
                         std::filesystem::create_symlink("real.raw", folder + "/disk-flat.vmdk");
                         return VmdkNaming(folder, "disk-flat.vmdk");
                     },
                     "is reached through a symbolic link"});
    cases.push_back({"VmdkExtentIsTheDestination", "VMDK",
                     [](const std::string& folder, const std::string& destination) {
                         return VmdkNaming(folder, std::filesystem::path(destination).filename().string());
                     },
                     "are the same or one holds the other"});
    // An extent line read one way by our check and another by libvmdk.
    cases.push_back({"VmdkExtentLineNamingTwoFiles", "VMDK",
                     [](const std::string& folder, const std::string&) { return VmdkExtentLineNamingTwoFiles(folder); },
                     "holds more than a file name and an offset"});
    // An extent line among the disk database, where libvmdk does not look
    // for one: the library and our check are seen to differ.
    cases.push_back({"VmdkExtentLineAmongTheDiskDatabase", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/one.raw") + " && cp " +
                            Quote(folder + "/one.raw") + " " + Quote(folder + "/two.raw"));
                         const std::string descriptor = VmdkNaming(folder, "one.raw");
                         WriteWholeFile(descriptor, ReadWholeFile(descriptor) + "RW 2048 FLAT \"two.raw\" 0\n");
                         return descriptor;
                     },
                     "libvmdk finds 1 extent lines where our check found 2"});
    // Counts that no file can hold are measured before they are multiplied.
    cases.push_back({"VmdkGrainDirectoryPastAnySize", "VMDK",
                     [](const std::string& folder, const std::string&) { return VmdkGrainDirectoryPastAnySize(folder); },
                     "entries of 4 bytes) lies past the end of the file"});
    cases.push_back({"Qcow2L1EntryOfReservedBits", "QCOW",
                     [](const std::string& folder, const std::string&) { return Qcow2L1EntryOfReservedBits(folder); },
                     "L1 entry 0 0x30 has reserved bits set"});
    // Tables shared by every entry of a directory: refused at the second.
    cases.push_back({"VmdkSharedGrainTable", "VMDK",
                     [](const std::string& folder, const std::string&) { return VmdkSharedGrainTable(folder); },
                     "grain directory entry 1 points at the table of entry 0"});
    cases.push_back({"Qcow2SharedL2Table", "QCOW",
                     [](const std::string& folder, const std::string&) { return Qcow2SharedL2Table(folder); },
                     "L1 entry 1 points at the table of entry 0"});
    cases.push_back({"EwfTableCountingFarTooMany", "EWF",
                     [](const std::string& folder, const std::string&) { return EwfTableCountingFarTooMany(folder); },
                     "number_of_entries 268435456 runs past the section"});
    // The reader's list of the files it reads keeps a name whole, whatever
    // it holds: the backing file is seen to be the destination.
    cases.push_back({"Qcow2BackingFileNamedWithALineBreak", "QCOW",
                     [](const std::string& folder, const std::string& destination) {
                         return Qcow2OverBackingNamed(folder, destination);
                     },
                     "are the same or one holds the other", "nl\nx.qcow2"});
    cases.push_back({"EwfForeignSegment", "EWF",
                     [](const std::string& folder, const std::string&) { return EwfWithForeignSegment(folder); },
                     "checksum errors in the EWF image"});
    cases.push_back({"VdiHugeBlockCount", "VDI",
                     [](const std::string& folder, const std::string&) { return VdiWithHugeBlockCount(folder); },
                     "VDI block map lies past the end of the file"});
    cases.push_back({"VdiCutAtBlock3", "VDI",
                     [](const std::string& folder, const std::string&) { return VdiCutAtBlock3(folder); },
                     "cut.vdi: VDI block 3 lies past the end of the file"});
    return cases;
}

}  // namespace test_support
