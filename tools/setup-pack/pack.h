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

// Writes outPath; alignment 0 chooses by payload size.
bool BuildSetup(const Package& package, const std::string& stubPath, uint32_t alignment,
                const std::string& outPath, std::ostream& log, Diagnostics* diags);

// The command line; returns the exit status (0 done, 1 refused or failed, 2 usage).
int RunSetupPack(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out,
                 std::ostream& err);

#endif
