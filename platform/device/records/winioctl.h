// Control codes and the Windows record layouts that travel with them.
//
// The disk library reads and writes these records byte for byte as the
// Windows storage stack defines them, so every struct here is packed to the
// documented offsets and checked by static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

constexpr std::uint32_t CTL_CODE(std::uint32_t type, std::uint32_t function, std::uint32_t method,
                                 std::uint32_t access) {
    return (type << 16) | (access << 14) | (function << 2) | method;
}

enum : std::uint32_t {
    METHOD_BUFFERED = 0,
    METHOD_NEITHER = 3,
    FILE_ANY_ACCESS = 0,
    FILE_READ_ACCESS = 1,
    FILE_WRITE_ACCESS = 2,
    FILE_DEVICE_DISK = 7,
    FILE_DEVICE_FILE_SYSTEM = 9,
    IOCTL_DISK_BASE = FILE_DEVICE_DISK,
    IOCTL_STORAGE_BASE = 0x2d,
    IOCTL_VOLUME_BASE = 0x56,
};

enum : std::uint32_t {
    IOCTL_DISK_GET_DRIVE_GEOMETRY = CTL_CODE(IOCTL_DISK_BASE, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_DISK_GET_PARTITION_INFO_EX = CTL_CODE(IOCTL_DISK_BASE, 0x0012, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_DISK_GET_DRIVE_LAYOUT_EX = CTL_CODE(IOCTL_DISK_BASE, 0x0014, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_DISK_SET_DRIVE_LAYOUT_EX = CTL_CODE(IOCTL_DISK_BASE, 0x0015, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_DISK_CREATE_DISK = CTL_CODE(IOCTL_DISK_BASE, 0x0016, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_DISK_GET_LENGTH_INFO = CTL_CODE(IOCTL_DISK_BASE, 0x0017, METHOD_BUFFERED, FILE_READ_ACCESS),
    IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = CTL_CODE(IOCTL_DISK_BASE, 0x0028, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_DISK_UPDATE_DRIVE_SIZE = CTL_CODE(IOCTL_DISK_BASE, 0x0032, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_DISK_GROW_PARTITION = CTL_CODE(IOCTL_DISK_BASE, 0x0034, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_DISK_GET_CACHE_INFORMATION = CTL_CODE(IOCTL_DISK_BASE, 0x0035, METHOD_BUFFERED, FILE_READ_ACCESS),
    IOCTL_DISK_GET_DISK_ATTRIBUTES = CTL_CODE(IOCTL_DISK_BASE, 0x003c, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_DISK_SET_DISK_ATTRIBUTES = CTL_CODE(IOCTL_DISK_BASE, 0x003d, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_DISK_DELETE_DRIVE_LAYOUT = CTL_CODE(IOCTL_DISK_BASE, 0x0040, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_DISK_UPDATE_PROPERTIES = CTL_CODE(IOCTL_DISK_BASE, 0x0050, METHOD_BUFFERED, FILE_ANY_ACCESS),

    IOCTL_STORAGE_GET_DEVICE_NUMBER = CTL_CODE(IOCTL_STORAGE_BASE, 0x0420, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_STORAGE_PREDICT_FAILURE = CTL_CODE(IOCTL_STORAGE_BASE, 0x0440, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_STORAGE_QUERY_PROPERTY = CTL_CODE(IOCTL_STORAGE_BASE, 0x0500, METHOD_BUFFERED, FILE_ANY_ACCESS),

    IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = CTL_CODE(IOCTL_VOLUME_BASE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_VOLUME_ONLINE = CTL_CODE(IOCTL_VOLUME_BASE, 2, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    IOCTL_VOLUME_OFFLINE = CTL_CODE(IOCTL_VOLUME_BASE, 3, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),

    FSCTL_LOCK_VOLUME = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS),
    FSCTL_UNLOCK_VOLUME = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS),
    FSCTL_DISMOUNT_VOLUME = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS),
    FSCTL_ALLOW_EXTENDED_DASD_IO = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 32, METHOD_NEITHER, FILE_ANY_ACCESS),
    FSCTL_SET_SPARSE = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 49, METHOD_BUFFERED, FILE_ANY_ACCESS),
    FSCTL_EXTEND_VOLUME = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 60, METHOD_BUFFERED, FILE_ANY_ACCESS),
    // Built with no access bits, as the program has always built it.
    FSCTL_SHRINK_VOLUME = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 108, METHOD_BUFFERED, FILE_ANY_ACCESS),
    FSCTL_GET_NTFS_VOLUME_DATA = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 25, METHOD_BUFFERED, FILE_ANY_ACCESS),
    FSCTL_GET_VOLUME_BITMAP = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 27, METHOD_NEITHER, FILE_ANY_ACCESS),
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
    friend bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);

#pragma pack(push, 1)

enum : std::uint32_t { StorageDeviceProperty = 0, StorageAccessAlignmentProperty = 6 };
enum : std::uint32_t { PropertyStandardQuery = 0 };

struct STORAGE_PROPERTY_QUERY {
    std::uint32_t PropertyId;
    std::uint32_t QueryType;
    std::uint8_t AdditionalParameters[4];  // one byte, padded as the compiler pads it on Windows
};
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);

struct STORAGE_DEVICE_DESCRIPTOR {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint8_t DeviceType;
    std::uint8_t DeviceTypeModifier;
    std::uint8_t RemovableMedia;
    std::uint8_t CommandQueueing;
    std::uint32_t VendorIdOffset;
    std::uint32_t ProductIdOffset;
    std::uint32_t ProductRevisionOffset;
    std::uint32_t SerialNumberOffset;
    std::uint32_t BusType;
    std::uint32_t RawPropertiesLength;
    std::uint8_t RawDeviceProperties[4];
};
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28);

enum STORAGE_BUS_TYPE : std::uint32_t {
    BusTypeUnknown = 0,
    BusTypeScsi = 1,
    BusTypeAtapi = 2,
    BusTypeAta = 3,
    BusType1394 = 4,
    BusTypeSsa = 5,
    BusTypeFibre = 6,
    BusTypeUsb = 7,
    BusTypeRAID = 8,
    BusTypeiScsi = 9,
    BusTypeSas = 10,
    BusTypeSata = 11,
    BusTypeSd = 12,
    BusTypeMmc = 13,
    BusTypeVirtual = 14,
    BusTypeFileBackedVirtual = 15,
    BusTypeNvme = 17,
};

struct STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint32_t BytesPerCacheLine;
    std::uint32_t BytesOffsetForCacheAlignment;
    std::uint32_t BytesPerLogicalSector;
    std::uint32_t BytesPerPhysicalSector;
    std::uint32_t BytesOffsetForSectorAlignment;
};
static_assert(sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR) == 28);

enum MEDIA_TYPE : std::uint32_t { Unknown = 0, RemovableMedia = 11, FixedMedia = 12 };

struct DISK_GEOMETRY {
    std::int64_t Cylinders;
    std::uint32_t MediaType;
    std::uint32_t TracksPerCylinder;
    std::uint32_t SectorsPerTrack;
    std::uint32_t BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24);

struct DISK_GEOMETRY_EX {
    DISK_GEOMETRY Geometry;
    std::int64_t DiskSize;
    std::uint8_t Data[8];
};
static_assert(sizeof(DISK_GEOMETRY_EX) == 40);
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == 24);

enum PARTITION_STYLE : std::uint32_t { PARTITION_STYLE_MBR = 0, PARTITION_STYLE_GPT = 1, PARTITION_STYLE_RAW = 2 };

struct PARTITION_INFORMATION_MBR {
    std::uint8_t PartitionType;
    std::uint8_t BootIndicator;
    std::uint8_t RecognizedPartition;
    std::uint8_t Reserved;
    std::uint32_t HiddenSectors;
    GUID PartitionId;
    std::uint8_t Padding[88];
};
static_assert(sizeof(PARTITION_INFORMATION_MBR) == 112);

struct PARTITION_INFORMATION_GPT {
    GUID PartitionType;
    GUID PartitionId;
    std::uint64_t Attributes;
    char16_t Name[36];
};
static_assert(sizeof(PARTITION_INFORMATION_GPT) == 112);

struct PARTITION_INFORMATION_EX {
    std::uint32_t PartitionStyle;
    std::uint32_t Reserved0;
    std::int64_t StartingOffset;
    std::int64_t PartitionLength;
    std::uint32_t PartitionNumber;
    std::uint8_t RewritePartition;
    std::uint8_t IsServicePartition;
    std::uint8_t Reserved1[2];
    union {
        PARTITION_INFORMATION_MBR Mbr;
        PARTITION_INFORMATION_GPT Gpt;
    };
};
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144);
static_assert(offsetof(PARTITION_INFORMATION_EX, StartingOffset) == 8);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionLength) == 16);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionNumber) == 24);
static_assert(offsetof(PARTITION_INFORMATION_EX, RewritePartition) == 28);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) == 32);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) + offsetof(PARTITION_INFORMATION_MBR, HiddenSectors) == 36);
static_assert(offsetof(PARTITION_INFORMATION_EX, Gpt) + offsetof(PARTITION_INFORMATION_GPT, PartitionId) == 48);
static_assert(offsetof(PARTITION_INFORMATION_EX, Gpt) + offsetof(PARTITION_INFORMATION_GPT, Attributes) == 64);
static_assert(offsetof(PARTITION_INFORMATION_EX, Gpt) + offsetof(PARTITION_INFORMATION_GPT, Name) == 72);

struct DRIVE_LAYOUT_INFORMATION_MBR {
    std::uint32_t Signature;
    std::uint32_t CheckSum;
};

struct DRIVE_LAYOUT_INFORMATION_GPT {
    GUID DiskId;
    std::int64_t StartingUsableOffset;
    std::int64_t UsableLength;
    std::uint32_t MaxPartitionCount;
    std::uint32_t Reserved;
};
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION_GPT) == 40);

struct DRIVE_LAYOUT_INFORMATION_EX_HEADER {
    std::uint32_t PartitionStyle;
    std::uint32_t PartitionCount;
    union {
        DRIVE_LAYOUT_INFORMATION_MBR Mbr;
        DRIVE_LAYOUT_INFORMATION_GPT Gpt;
    };
};
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION_EX_HEADER) == 48);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX_HEADER, Gpt) + offsetof(DRIVE_LAYOUT_INFORMATION_GPT, StartingUsableOffset) == 24);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX_HEADER, Gpt) + offsetof(DRIVE_LAYOUT_INFORMATION_GPT, MaxPartitionCount) == 40);

// The most entries one layout record carries: a whole standard GPT array of
// 128, so that no used entry of such a disk is out of reach. A disk with
// more is refused with ERROR_INSUFFICIENT_BUFFER rather than written past
// the record's end.
constexpr int kMaxLayoutEntries = 128;

struct DRIVE_LAYOUT_INFORMATION_EX {
    DRIVE_LAYOUT_INFORMATION_EX_HEADER Header;
    PARTITION_INFORMATION_EX PartitionEntry[kMaxLayoutEntries];
};
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION_EX) == 48 + 128 * 144);

// What IOCTL_DISK_CREATE_DISK is given: a new, empty table of one style.
struct CREATE_DISK_MBR {
    std::uint32_t Signature;
};
struct CREATE_DISK_GPT {
    GUID DiskId;
    std::uint32_t MaxPartitionCount;
};
struct CREATE_DISK {
    std::uint32_t PartitionStyle;
    union {
        CREATE_DISK_MBR Mbr;
        CREATE_DISK_GPT Gpt;
    };
};
static_assert(sizeof(CREATE_DISK) == 24);
static_assert(offsetof(CREATE_DISK, Mbr) == 4);
static_assert(offsetof(CREATE_DISK, Gpt) + offsetof(CREATE_DISK_GPT, MaxPartitionCount) == 20);

// IOCTL_DISK_GROW_PARTITION: a negative count shrinks the partition.
struct DISK_GROW_PARTITION {
    std::uint32_t PartitionNumber;
    std::uint32_t Reserved;
    std::int64_t BytesToGrow;
};
static_assert(sizeof(DISK_GROW_PARTITION) == 16);
static_assert(offsetof(DISK_GROW_PARTITION, BytesToGrow) == 8);

// FSCTL_SHRINK_VOLUME: prepare with the new size, then commit (or abort).
enum : std::uint32_t { ShrinkPrepare = 1, ShrinkCommit = 2, ShrinkAbort = 3 };
struct SHRINK_VOLUME_INFORMATION {
    std::uint32_t ShrinkRequestType;
    std::uint32_t Reserved;
    std::uint64_t Flags;
    std::int64_t NewNumberOfSectors;
};
static_assert(sizeof(SHRINK_VOLUME_INFORMATION) == 24);
static_assert(offsetof(SHRINK_VOLUME_INFORMATION, Flags) == 8);
static_assert(offsetof(SHRINK_VOLUME_INFORMATION, NewNumberOfSectors) == 16);

struct STORAGE_DEVICE_NUMBER {
    std::uint32_t DeviceType;
    std::uint32_t DeviceNumber;
    std::uint32_t PartitionNumber;
};
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);

struct DISK_EXTENT {
    std::uint32_t DiskNumber;
    std::uint32_t Reserved;
    std::int64_t StartingOffset;
    std::int64_t ExtentLength;
};
static_assert(sizeof(DISK_EXTENT) == 24);

struct VOLUME_DISK_EXTENTS {
    std::uint32_t NumberOfDiskExtents;
    std::uint32_t Reserved;
    DISK_EXTENT Extents[1];
};
static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32);

struct DISK_CACHE_INFORMATION {
    std::uint8_t ParametersSavable;
    std::uint8_t ReadCacheEnabled;
    std::uint8_t WriteCacheEnabled;
    std::uint8_t Reserved0;
    std::uint32_t ReadRetentionPriority;
    std::uint32_t WriteRetentionPriority;
    std::uint16_t DisablePrefetchTransferLength;
    std::uint8_t PrefetchScalar;
    std::uint8_t Reserved1;
    std::uint16_t Minimum;
    std::uint16_t Maximum;
    std::uint16_t MaximumBlocks;
    std::uint16_t Reserved2;
};
static_assert(sizeof(DISK_CACHE_INFORMATION) == 24);

struct GET_DISK_ATTRIBUTES {
    std::uint32_t Version;
    std::uint32_t Reserved1;
    std::uint64_t Attributes;
};
static_assert(sizeof(GET_DISK_ATTRIBUTES) == 16);

struct SET_DISK_ATTRIBUTES {
    std::uint32_t Version;
    std::uint8_t Persist;
    std::uint8_t Reserved1[3];
    std::uint64_t Attributes;
    std::uint64_t AttributesMask;
    std::uint32_t Reserved2[4];
};
static_assert(sizeof(SET_DISK_ATTRIBUTES) == 40);
static_assert(offsetof(SET_DISK_ATTRIBUTES, Attributes) == 8);
static_assert(offsetof(SET_DISK_ATTRIBUTES, AttributesMask) == 16);

enum : std::uint64_t { DISK_ATTRIBUTE_OFFLINE = 1, DISK_ATTRIBUTE_READ_ONLY = 2 };

struct STORAGE_PREDICT_FAILURE {
    std::uint32_t PredictFailure;
    std::uint8_t VendorSpecific[512];
};
static_assert(sizeof(STORAGE_PREDICT_FAILURE) == 516);

// FSCTL_GET_NTFS_VOLUME_DATA's reply.
struct NTFS_VOLUME_DATA_BUFFER {
    std::int64_t VolumeSerialNumber;
    std::int64_t NumberSectors;
    std::int64_t TotalClusters;
    std::int64_t FreeClusters;
    std::int64_t TotalReserved;
    std::uint32_t BytesPerSector;
    std::uint32_t BytesPerCluster;
    std::uint32_t BytesPerFileRecordSegment;
    std::uint32_t ClustersPerFileRecordSegment;
    std::int64_t MftValidDataLength;
    std::int64_t MftStartLcn;
    std::int64_t Mft2StartLcn;
    std::int64_t MftZoneStart;
    std::int64_t MftZoneEnd;
};
static_assert(sizeof(NTFS_VOLUME_DATA_BUFFER) == 96);
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, BytesPerCluster) == 44);
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, MftStartLcn) == 64);

// FSCTL_GET_VOLUME_BITMAP: the cluster to start from, and the reply's
// header, followed by one bit per cluster (bit 0 of byte 0 is StartingLcn).
struct STARTING_LCN_INPUT_BUFFER {
    std::int64_t StartingLcn;
};
static_assert(sizeof(STARTING_LCN_INPUT_BUFFER) == 8);

struct VOLUME_BITMAP_BUFFER_HEADER {
    std::int64_t StartingLcn;
    std::int64_t BitmapSize;  // clusters from StartingLcn to the end of the volume
};
static_assert(sizeof(VOLUME_BITMAP_BUFFER_HEADER) == 16);

#pragma pack(pop)

}  // namespace platform
