// The package manifest: reading the INI file, resolving sources and checking every rule a package must meet.
#ifndef SETUP_PACK_MANIFEST_H
#define SETUP_PACK_MANIFEST_H

#include <cstdint>
#include <string>
#include <vector>

#include "setup/limits.h"

struct Diagnostic {
    bool error = true;
    std::string where;  // "file:line" or "file"
    std::string text;
};

struct Diagnostics {
    std::vector<Diagnostic> list;
    void Error(const std::string& where, const std::string& text) { list.push_back({true, where, text}); }
    void Warning(const std::string& where, const std::string& text);  // each said once
    bool Failed() const;
    std::string Format() const;  // one "where: error: text" line each
};

struct PackageFile {
    std::u16string listed;  // as the setup will read it
    std::string source;     // resolved path on this machine
    uint64_t size = 0;
    int line = 0;
    bool stored = true;     // its bytes become its entry's data
    size_t sameAs = 0;      // the file whose bytes its entry holds: itself when stored, else an earlier one
    std::vector<uint8_t> bytes;  // without a source: the built-in uninstaller's image, made at packaging
};

struct Package {
    std::u16string name, program, legal, terms;  // terms with LF line ends
    std::u16string publisher, uninstall;          // Apps & Features; uninstall as [files] lists it, or built in
    std::u16string record;                        // the built-in uninstaller's record; empty without one
    bool startMenu = false;                       // a Start menu entry, which the built-in uninstaller removes
    bool isUninstaller = false;                   // the built-in uninstaller's own image: no terms, lists or files
    std::string versionText;                      // digits and dots
    bool x64 = false;                             // architecture = x64: a 64-bit product
    bool perUser = false;                         // scope = user: installed by and for whoever runs the setup
    bool compressed = true;                       // compression = lzma, the default; none stores the files
    uint16_t version[4] = {};
    std::vector<std::u16string> folders;  // parents first
    std::vector<PackageFile> files;  // the built-in uninstaller joins them last when the setup is made
    uint64_t payloadBytes = 0;  // of the stored files
};

// Longest texts that reach the setup whole, in UTF-16 units, and the id room of the two lists.
const size_t kMaxProductText = kProductNameCapacity - 1, kMaxListedName = kListedNameCapacity - 1,
             kMaxTerms = kTermsCapacity - 1, kTermsLineWarn = 60;
static_assert(kProgramFileCapacity == kProductNameCapacity, "one limit is checked for both product texts");
const size_t kMaxPublisher = kPublisherCapacity - 1;

// Reads and checks a manifest; false when any error was found (all of them are in diags).
// Source paths are relative to the manifest's folder, then to each of searchDirs.
bool ReadManifest(const std::string& path, const std::vector<std::string>& searchDirs, Package* out,
                  Diagnostics* diags);

// The same from text already in memory; baseDir anchors relative paths.
bool ReadManifestText(const std::string& text, const std::string& displayName, const std::string& baseDir,
                      const std::vector<std::string>& searchDirs, Package* out, Diagnostics* diags);

// Rules for a listed file or folder name: empty on success, else what is wrong and how to fix it.
std::string CheckListedPath(const std::u16string& name, size_t maxLength);

// Terms text (UTF-8) to what string 502 holds; problems carry the line in where.
bool ConvertTerms(const std::string& utf8, const std::string& displayName, std::u16string* out, Diagnostics* diags);

#endif
