// The resource section a package gets: directory tables, data entries, names and data, in the order the loader needs.
#ifndef SETUP_PACK_RESOURCE_WRITER_H
#define SETUP_PACK_RESOURCE_WRITER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pe_reader.h"

// Data held in memory, or a file's content streamed in at write time.
struct ResourceData {
    std::vector<uint8_t> bytes;
    std::string path;   // non-empty: stream this file; it must still be size bytes long
    int fd = -1;        // else, when open: stream this file from its start (the LZMA block, which has no name)
    uint64_t size = 0;
};

struct ResourceItem {
    ResourceKey type, name;
    uint16_t language = 0;
    ResourceData data;
    // An earlier item whose data entry this one's directory entry points at, sharing its
    // bytes; -1 for an item with data of its own.
    int dataOf = -1;
    // The payload index of a stored package: its data's first word as given, then the size and CRC-32C of each
    // of these earlier items' data (a twin names its owner) as it is written. Data is written in the order of
    // the items, so the index comes after every file it checks and is summed from the very bytes written.
    std::vector<int> checks;
};

// Directory part in memory; where each item's data goes, relative to the section start.
struct ResourceLayout {
    std::vector<uint8_t> head;
    std::vector<uint32_t> dataOffset;  // per item, in the order of the items; a sharing item has its owner's
    uint64_t size = 0;                 // head plus all data, before file alignment
};

// Lays out items for a section at sectionRva. Tables follow the loader's rules: named
// entries before numbered ones, each group sorted, so its binary search finds them.
// Data comes in the order of the items, each aligned to 8 bytes; an item that shares
// another's data has no data entry or bytes of its own.
bool LayoutResources(const std::vector<ResourceItem>& items, uint32_t sectionRva, ResourceLayout* out,
                     std::string* error);

// A string-table block: 16 counted UTF-16 strings, empty ones as a zero count.
std::vector<uint8_t> EncodeStringBlock(const std::u16string strings[16]);

struct VersionText {
    uint16_t version[4] = {};
    std::u16string description, versionText, legal;
};
// A version block: fixed file and product version, type application, one string table
// for US English in code page 1252 and the matching translation entry.
std::vector<uint8_t> EncodeVersionBlock(const VersionText& text);

#endif
