// The application manifest's requested execution level: found in the manifest's text and set, every other byte kept.
#ifndef SETUP_PACK_EXECUTION_LEVEL_H
#define SETUP_PACK_EXECUTION_LEVEL_H

#include <cstddef>
#include <string>
#include <vector>

#include "pe_reader.h"

// The level a per-user package's setup and uninstaller run at: the rights of whoever starts them.
const char kLevelAsInvoker[] = "asInvoker";

// Where the value of each requestedExecutionLevel element's level attribute lies, between its quotes.
struct LevelText {
    size_t at = 0, size = 0;
};
std::vector<LevelText> FindExecutionLevels(ByteSpan manifest);

// Sets each such value to level; false when the manifest has none.
bool SetExecutionLevel(std::vector<uint8_t>* manifest, const std::string& level);

#endif
