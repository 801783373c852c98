// The --inspect report: what a setup carries and how the setup will find it, from the image alone.
#ifndef SETUP_PACK_INSPECT_H
#define SETUP_PACK_INSPECT_H

#include <cstdint>
#include <ostream>
#include <string>

#include "pe_reader.h"

// The --inspect report of a setup image held in memory. The checksum is summed over file
// unless given: the command line sums the file by reading it, so as not to page in a mapping.
bool InspectImage(ByteSpan file, std::ostream& out, std::string* error, const uint32_t* fileChecksum = nullptr);

#endif
