// setup-pack's commands: build a setup from a manifest and a stub, check a manifest, inspect a setup.
#ifndef SETUP_PACK_PACK_H
#define SETUP_PACK_PACK_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "manifest.h"

// From this payload size on, the page-aligned layout pays for its padding (see README).
const uint64_t kPageAlignThreshold = 1 << 20;

// The command line's words.
struct Options {
    std::string manifest, output, stub, inspect;
    std::vector<std::string> search;
    bool check = false;
    uint32_t alignment = 0;        // of the setup; 0 chooses by payload size
    bool uninstaller = false;      // write the built-in uninstaller alone, for the vendor to sign
    std::string uninstallerImage;  // the vendor's signed copy of it, for the setup to carry
};

// Writes the setup, or with o.uninstaller its built-in uninstaller, at o.output.
bool BuildSetup(const Package& package, const Options& o, std::ostream& log, Diagnostics* diags);

// The command line; returns the exit status (0 done, 1 refused or failed, 2 usage).
int RunSetupPack(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out,
                 std::ostream& err);

#endif
