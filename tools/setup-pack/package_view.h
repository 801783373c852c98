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
    ByteSpan bytes;           // the entry's data, within the file
};

// The payload entry name of a listed name by the setup's made-name rule, in upper case.
std::string MadeName(const std::u16string& listed);

struct PackageView {
    PeImage image;
    std::map<uint32_t, std::u16string> strings;  // every non-empty string, by id
    std::u16string product, program, terms, publisher, uninstall;
    std::u16string architecture;  // "x64", or empty for a 32-bit product
    std::u16string role, record, startMenu;  // the built-in uninstaller's strings
    int termsLines = 0;  // list lines the welcome dialog shows
    std::vector<std::u16string> folders;
    std::vector<PayloadView> files;
    VersionInfo version;
    std::vector<std::string> notes;  // things a reader should know: entries never read, missing payload
};
bool ReadPackage(ByteSpan file, PackageView* out, std::string* error);

#endif
