// A checked package's payload: the index of every file's size and CRC-32C, and the LZMA block made from the sources.
#ifndef SETUP_PACK_PAYLOAD_H
#define SETUP_PACK_PAYLOAD_H

#include <cstdint>
#include <string>
#include <vector>

#include "manifest.h"
#include "package/lzma.h"
#include "pe_reader.h"

// The dictionary: the payload rounded up to 64 KiB, up to the setup's window. 16 MiB holds the whole of
// most products; the encoder's memory grows with it (about 190 MiB at 16 MiB).
const uint32_t kMinDictionary = 64 << 10, kMaxDictionary = kLzmaMaxDictionary;
const uint8_t kLzmaLc = 3, kLzmaLp = 0, kLzmaPb = 2;

// The block of a compressed package, in an unlinked temporary file beside the output, and its index.
struct PayloadBlock {
    int fd = -1;
    uint64_t size = 0;      // the block's: 5 bytes of properties, then the stream
    uint64_t payload = 0;   // the listed files' bytes, a twin's again
    uint32_t dictionary = 0;
    std::vector<uint8_t> index;
    PayloadBlock() = default;
    PayloadBlock(const PayloadBlock&) = delete;
    PayloadBlock& operator=(const PayloadBlock&) = delete;
    ~PayloadBlock();
};

// Every listed file's bytes, in list order, as one raw LZMA stream ended by its marker, streamed from the sources
// (a file without one from its bytes) into a temporary file in folder; each file's size and CRC-32C in the index.
bool MakeLzmaBlock(const Package& package, const std::string& folder, PayloadBlock* block, std::string* error);

// The index of a stored package before its files are written: the layout word and a record's room for each.
std::vector<uint8_t> StoredIndex(size_t files);

// What reading a block back finds of one file.
struct UnpackedFile {
    bool whole = false;     // all its recorded bytes came out of the stream
    uint32_t crc = 0;       // of the bytes that came out
    uint64_t packed = 0;    // the block's bytes the decoder took for them
};

// Decodes block by liblzma, cut at the boundaries that sizes record; keeps the bytes of file keep (none if it
// is out of range). False with the damage in problem: properties the setup refuses, a stream that ends early
// or does not end with its marker after the recorded total; the files before the damage are read all the same.
bool UnpackLzmaBlock(ByteSpan block, const std::vector<uint32_t>& sizes, size_t keep, uint32_t* dictionary,
                     std::vector<UnpackedFile>* files, std::vector<uint8_t>* kept, std::string* problem);

#endif
