// setup-pack's commands: build a setup from a manifest and a stub, check a manifest, inspect a setup.
#ifndef SETUP_PACK_PACK_H
#define SETUP_PACK_PACK_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "manifest.h"
#include "pe_reader.h"

// From this payload size on, the page-aligned layout pays for its padding (see README).
const uint64_t kPageAlignThreshold = 1 << 20;

// The resources of stub with the package merged in: the stub's own entries kept, package
// strings and payload entries added, any package entries the stub already carried replaced.
bool MakeResourceItems(ByteSpan stub, const PeImage& image, const Package& package,
                       std::vector<struct ResourceItem>* items, Diagnostics* diags);

// Writes outPath; alignment 0 chooses by payload size.
bool BuildSetup(const Package& package, const std::string& stubPath, uint32_t alignment,
                const std::string& outPath, std::ostream& log, Diagnostics* diags);

// The --inspect report of a setup image held in memory. The checksum is summed over file
// unless given: the command line sums the file by reading it, so as not to page in a mapping.
bool InspectImage(ByteSpan file, std::ostream& out, std::string* error, const uint32_t* fileChecksum = nullptr);

// The command line; returns the exit status (0 done, 1 refused or failed, 2 usage).
int RunSetupPack(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out,
                 std::ostream& err);

#endif
