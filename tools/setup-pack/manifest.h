// The package manifest: reading the INI file, resolving sources and checking every rule a package must meet.
#ifndef SETUP_PACK_MANIFEST_H
#define SETUP_PACK_MANIFEST_H

#include <cstdint>
#include <string>
#include <vector>

struct Diagnostic {
    bool error = true;
    std::string where;  // "file:line" or "file"
    std::string text;
};

struct Diagnostics {
    std::vector<Diagnostic> list;
    void Error(const std::string& where, const std::string& text) { list.push_back({true, where, text}); }
    void Warning(const std::string& where, const std::string& text) { list.push_back({false, where, text}); }
    bool Failed() const;
    std::string Format() const;  // one "where: error: text" line each
};

struct PackageFile {
    std::string listed;  // Windows-1252, as the setup will read it
    std::string made;    // payload entry name, upper case
    std::string source;  // resolved path on this machine
    uint64_t size = 0;
    int line = 0;
    bool stored = false;  // the first file of its made name: its bytes become the entry
};

struct Package {
    std::string name, program, versionText, legal, terms;  // Windows-1252; terms with LF line ends
    std::string publisher, uninstall;  // for the Apps & Features entry; uninstall as [files] lists it
    uint16_t version[4] = {};
    std::vector<std::string> folders;  // parents first
    std::vector<PackageFile> files;
    uint64_t payloadBytes = 0;  // of the stored entries
};

// Longest texts that reach the setup whole, and the id room of the two lists.
const size_t kMaxProductText = 47, kMaxListedName = 127, kMaxTerms = 3332, kTermsLineWarn = 60;
const size_t kMaxPublisher = 127;
const size_t kMaxFolders = 1000, kMaxFiles = 0x10000 - 10000;

// Reads and checks a manifest; false when any error was found (all of them are in diags).
// Source paths are relative to the manifest's folder, then to each of searchDirs.
bool ReadManifest(const std::string& path, const std::vector<std::string>& searchDirs, Package* out,
                  Diagnostics* diags);

// The same from text already in memory; baseDir anchors relative paths.
bool ReadManifestText(const std::string& text, const std::string& displayName, const std::string& baseDir,
                      const std::vector<std::string>& searchDirs, Package* out, Diagnostics* diags);

// Rules for a listed file or folder name (Windows-1252): empty on success, else what is wrong and how to fix it.
std::string CheckListedPath(const std::string& name, size_t maxLength);

// The made name of a listed name: every byte but an ASCII letter an underscore, then upper case.
std::string MadeName(const std::string& listed);

// Terms text (UTF-8) to what string 502 holds; problems carry the line in where.
bool ConvertTerms(const std::string& utf8, const std::string& displayName, std::string* out, Diagnostics* diags);

#endif
