// A manifest's source files on this machine: where they are, whether they can be read, which hold the same bytes.
#ifndef SETUP_PACK_SOURCES_H
#define SETUP_PACK_SOURCES_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "manifest.h"

// The first folder in which source exists, manifest folder (base) first; an absolute source as it is.
std::string Resolve(const std::string& source, const std::string& base, const std::vector<std::string>& search);

// A readable regular file: its size, or what is wrong.
bool ProbeSource(const std::string& path, uint64_t* size, std::string* problem);

// Payload is read and copied in chunks of this size: memory stays bounded by it.
const size_t kChunk = 1 << 20;

// What a chunk read goes to; false stops the reading (with the reason where the taker keeps it).
typedef std::function<bool(const uint8_t* data, size_t size)> TakeChunk;

// Reads the size bytes of an open file, from its start, in chunks of buffer's size and hands each to take. The
// file must still be size bytes long; name says which file in the error.
bool ReadChunks(int fd, const std::string& name, uint64_t size, std::vector<uint8_t>* buffer, const TakeChunk& take,
                std::string* error);

// Writes all the bytes to an open file, through short writes and interruptions: "" or why it could not
// (a write that takes nothing counts as a full disk).
std::string WriteAll(int fd, const uint8_t* data, size_t size);

// The same for a source by its path: opened, read, closed.
bool ReadSourceChunks(const std::string& path, uint64_t size, std::vector<uint8_t>* buffer, const TakeChunk& take,
                      std::string* error);

// Files with the same bytes share one payload entry's data. Only files of one size are
// compared, first by a hash of their first block, then whole, so that a payload of files that
// all differ is not read an extra time, nor each file held against every other.
class SameBytes {
public:
    // The earlier stored file with the bytes of files[i], or i itself for none.
    size_t Find(const std::vector<PackageFile>& files, size_t i);

private:
    static const size_t kSeen = ~size_t(0);

    std::map<uint64_t, size_t> alone_;  // size -> its only stored file so far, kSeen once there are more
    std::map<std::pair<uint64_t, size_t>, std::vector<size_t>> byHead_;  // (size, head hash) -> stored files
};

#endif
