// CRC-32C, the check a package's index records for every file: shared by the setup and setup-pack.
#ifndef PACKAGE_CRC32C_H
#define PACKAGE_CRC32C_H

#include <stddef.h>

// Once, before the first UpdateCrc32c: builds the table and looks for the processor's crc32 instruction.
void StartCrc32c();

// The CRC-32C of the bytes that crc was the CRC-32C of, followed by these: 0 to start, the last result to go on.
unsigned UpdateCrc32c(unsigned crc, const unsigned char* bytes, size_t size);

// The same by the table whatever the processor has: the tests hold the two ways to one answer.
unsigned UpdateCrc32cByTable(unsigned crc, const unsigned char* bytes, size_t size);

#endif
