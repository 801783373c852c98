// Inspects every cut of a setup and every garbled byte of its headers and directory in process, where ASan bounds reads.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "inspect.h"

int main(int argc, char** argv)
{
    std::ifstream in(argc == 2 ? argv[1] : "", std::ios::binary);
    const std::vector<uint8_t> good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PeImage image;
    std::string error;
    std::ofstream sink("/dev/null");
    if (!ReadPeImage({good.data(), good.size()}, &image, &error) || !InspectImage({good.data(), good.size()}, sink, &error))
        return std::fprintf(stderr, "pack-sweep: expected a setup that reads: %s\n", error.c_str()), 1;
    for (size_t length = 0; length < good.size(); ++length) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + length);  // its own buffer, that ASan bounds
        if (InspectImage({cut.data(), cut.size()}, sink, &error))
            return std::fprintf(stderr, "pack-sweep: expected an error for the setup cut to %zu bytes\n", length), 1;
    }
    const PeSection& rsrc = image.sections[image.resourceSection];
    size_t headersEnd = image.sectionTableOffset + 40 * image.sections.size();
    for (size_t at = 0; at < rsrc.rawPointer + rsrc.virtualSize; at = at + 1 == headersEnd ? rsrc.rawPointer : at + 1) {
        for (uint8_t value : {0x00, 0x7F, 0xFF}) {
            std::vector<uint8_t> bad = good;
            bad[at] = value;
            InspectImage({bad.data(), bad.size()}, sink, &error);  // any answer will do
        }
    }
    return 0;
}
