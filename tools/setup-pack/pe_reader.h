// Bounds-checked reading of a PE32 image and its resources from a span of bytes; shared by --inspect and the builder.
#ifndef SETUP_PACK_PE_READER_H
#define SETUP_PACK_PE_READER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

struct PeSection {
    std::string name;
    uint32_t virtualAddress = 0, virtualSize = 0, rawPointer = 0, rawSize = 0, characteristics = 0;
};

// A resource type or name: a 16-bit id or a UTF-16 string, ordered as the loader searches them.
struct ResourceKey {
    bool isName = false;
    uint16_t id = 0;
    std::u16string name;
    static ResourceKey Id(uint16_t id);
    static ResourceKey Name(const std::u16string& name);
};
bool operator<(const ResourceKey& a, const ResourceKey& b);
bool operator==(const ResourceKey& a, const ResourceKey& b);

struct ResourceLeaf {
    ResourceKey type, name;
    uint16_t language = 0;
    uint32_t rva = 0, size = 0, codePage = 0;
    uint64_t fileOffset = 0;  // where the size bytes lie in the file
};

enum : uint16_t { kRtIcon = 3, kRtDialog = 5, kRtString = 6, kRtRcData = 10, kRtGroupIcon = 14, kRtVersion = 16,
                   kRtManifest = 24 };
enum { kDirResource = 2, kDirSecurity = 4, kDirBaseReloc = 5, kDirDebug = 6, kDirBoundImport = 11 };

struct PeImage {
    uint32_t peOffset = 0, optionalOffset = 0, sectionTableOffset = 0;
    uint16_t machine = 0, characteristics = 0, sizeOfOptionalHeader = 0;
    uint32_t sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0, sizeOfHeaders = 0, checkSum = 0;
    uint32_t dirCount = 0;
    uint32_t dirRva[16] = {}, dirSize[16] = {};
    std::vector<PeSection> sections;
    int resourceSection = -1;  // the section holding the resource directory, -1 without resources
    std::vector<ResourceLeaf> resources;
};

// File offsets of the PE32 optional-header fields that a writer changes.
enum : uint32_t {
    kOptSizeOfCode = 4, kOptSizeOfInitializedData = 8, kOptFileAlignment = 36, kOptSizeOfImage = 56,
    kOptSizeOfHeaders = 60, kOptCheckSum = 64, kOptDataDirectories = 96
};

// Headers, section table and the whole resource tree. Every offset and size is checked
// against the span; a malformed image gives false and a one-line reason, never a crash.
bool ReadPeImage(ByteSpan file, PeImage* image, std::string* error);

// The bytes of one resource leaf (checked by ReadPeImage to lie inside the file).
ByteSpan LeafBytes(ByteSpan file, const ResourceLeaf& leaf);

// One string-table block: 16 counted UTF-16 strings.
bool DecodeStringBlock(ByteSpan block, std::u16string out[16], std::string* error);

struct VersionInfo {
    bool present = false, hasFixed = false;
    uint16_t fileVersion[4] = {}, productVersion[4] = {};
    uint32_t fileType = 0;
    std::string stringTable;  // its key, such as 040904e4
    std::map<std::u16string, std::u16string> strings;
    uint32_t translation = 0;  // language in the low word, code page in the high word
};
bool DecodeVersionBlock(ByteSpan block, VersionInfo* out, std::string* error);

#endif
