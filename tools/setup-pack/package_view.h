// What a setup carries, read back the way the setup reads it; shared by --inspect and the tests.
#ifndef SETUP_PACK_PACKAGE_VIEW_H
#define SETUP_PACK_PACKAGE_VIEW_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pe_reader.h"

struct PayloadView {
    std::u16string listedName;
    std::string madeName;     // the entry's name by the made-name rule, looked for when none is numbered
    bool found = false;
    bool numbered = false;    // found by its list entry's number, not by the made name
    uint32_t size = 0;
    uint32_t sameBytesAs = 0; // an earlier file whose entry holds these very bytes, or 0
    ByteSpan bytes;           // the entry's data, within the file; from a block, the package view's unpacked
    bool checked = false;     // the payload index records its size and CRC-32C
    uint32_t crc = 0;         // of its bytes as found
    uint32_t recordedSize = 0, recordedCrc = 0;
    bool intact = false;      // checked, found whole, and of the size and CRC-32C recorded
    uint64_t packed = 0;      // in an LZMA block: the block's bytes its part of the stream took
};

// The payload entry name of a listed name by the setup's made-name rule, in upper case.
std::string MadeName(const std::u16string& listed);

struct PackageView {
    PeImage image;
    std::map<uint32_t, std::u16string> strings;  // every non-empty string, by id
    std::u16string product, program, terms, publisher, uninstall;
    std::u16string architecture;  // "x64", or empty for a 32-bit product
    std::u16string role, record, startMenu;  // the built-in uninstaller's strings
    std::u16string scope;           // SCOPE_USER, or empty for a per-machine product
    std::string executionLevel;     // of the first application manifest that declares one; empty when none does
    int termsLines = 0;  // list lines the welcome dialog shows
    std::vector<std::u16string> folders;
    std::vector<PayloadView> files;
    VersionInfo version;
    std::vector<std::string> notes;  // things a reader should know: entries never read, missing payload
    // The payload index; a package made before it has none, and its entries are not checked.
    bool indexed = false;
    uint32_t layout = 0;             // the index's first word: PAYLOAD_STORED, PAYLOAD_LZMA or unknown
    uint64_t blockSize = 0;          // of the LZMA block, its properties included
    uint32_t dictionary = 0;
    bool blockDamaged = false;       // a note says how: the setup refuses the block whatever its files
    std::vector<uint8_t> unpacked;   // the built-in uninstaller's image as it came out of the block
};
bool ReadPackage(ByteSpan file, PackageView* out, std::string* error);

#endif
