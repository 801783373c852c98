// The resources a setup gets: the stub's own, with the package's strings, version block and payload entries merged in.
#ifndef SETUP_PACK_PACKAGE_MERGE_H
#define SETUP_PACK_PACKAGE_MERGE_H

#include <vector>

#include "manifest.h"
#include "payload.h"
#include "pe_reader.h"
#include "resource_writer.h"

// The resources of stub with the package merged in: the stub's own entries kept, package
// strings and payload entries added, any package entries the stub already carried replaced.
// The payload is block, made from the package, or without one each file's numbered entry.
bool MakeResourceItems(ByteSpan stub, const PeImage& image, const Package& package,
                       std::vector<ResourceItem>* items, Diagnostics* diags, const PayloadBlock* block = nullptr);

#endif
