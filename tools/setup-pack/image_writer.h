// Writes a setup image: the stub's sections with a new resource section, streamed to a temporary file and renamed into place.
#ifndef SETUP_PACK_IMAGE_WRITER_H
#define SETUP_PACK_IMAGE_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "pe_reader.h"
#include "resource_writer.h"

// The largest image the setup can count on being loaded in a 32-bit process: what is
// left of its 2 GiB address space after the system's and Wine's own mappings.
const uint64_t kMaxImageBytes = 1536ull << 20;

// Compact layout, and the page-aligned one that lets Wine map sections instead of reading them.
const uint32_t kCompactAlignment = 512;
const uint32_t kPageAlignment = 4096;

// The PE checksum: a 16-bit end-around-carry sum of the little-endian words of the file
// (the checksum field counting as zero), plus the file length. Fed as bytes are written.
class PeChecksum {
public:
    void Add(const uint8_t* data, size_t size);
    uint32_t Finish(uint64_t fileSize) const;

private:
    uint64_t sum_ = 0;
    bool odd_ = false;
    uint8_t pending_ = 0;
};

struct ImageResult {
    uint64_t fileSize = 0;
    uint32_t sizeOfImage = 0, checkSum = 0;
};

// On false nothing is left at outPath's folder, and an existing outPath is untouched.
bool WriteImage(ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items,
                uint32_t fileAlignment, const std::string& outPath, ImageResult* result, std::string* error);

// The same image in memory, byte for byte what WriteImage would write: for a small one, such as
// the built-in uninstaller that a setup carries as a payload.
bool WriteImageBytes(ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items,
                     uint32_t fileAlignment, std::vector<uint8_t>* bytes, std::string* error);

#endif
