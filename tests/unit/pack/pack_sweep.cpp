// Inspects every truncation of a setup, and the setup with garbage in each byte of its headers and resource
// directory, in process so that the sanitizers watch every read (a mapped file would hide a read past its end).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "inspect.h"

int main(int argc, char** argv)
{
    std::ifstream in(argc == 2 ? argv[1] : "", std::ios::binary);
    std::vector<uint8_t> good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PeImage image;
    std::string error;
    std::ostringstream sink;
    if (!ReadPeImage(ByteSpan{good.data(), good.size()}, &image, &error) || !InspectImage({good.data(), good.size()}, sink, &error)) {
        std::fprintf(stderr, "pack-sweep: expected a setup that reads: %s\n", error.c_str());
        return 1;
    }
    for (size_t length = 0; length < good.size(); ++length) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + length);
        if (InspectImage({cut.data(), cut.size()}, sink, &error)) {
            std::fprintf(stderr, "pack-sweep: expected an error for the setup cut to %zu bytes; it reads\n", length);
            return 1;
        }
    }
    const PeSection& rsrc = image.sections[image.resourceSection];
    size_t headersEnd = image.sectionTableOffset + 40 * image.sections.size();
    for (size_t at = 0; at < rsrc.rawPointer + rsrc.virtualSize; at = at + 1 == headersEnd ? rsrc.rawPointer : at + 1) {
        for (uint8_t value : {0x00, 0x7F, 0xFF}) {
            std::vector<uint8_t> bad = good;
            bad[at] = value;
            InspectImage({bad.data(), bad.size()}, sink, &error);  // any answer will do
            sink.str("");
        }
    }
    return 0;
}
