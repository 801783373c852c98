// Fuzz target of setup-pack --inspect: any bytes as a setup executable must get a report or a one-line error.
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include "model_check.h"
#include "pack.h"
#include "pe_reader.h"
#include "resource_writer.h"

namespace {

void CheckOneLineError(const char* what, const std::string& error)
{
    if (error.empty() || error.find_first_of("\r\n") != std::string::npos)
        ModelMismatch(what, "a one-line reason", error);
}

// A block is 16 counted UTF-16 strings; it may stop after any whole string.
bool ModelStringBlock(const uint8_t* data, size_t size, std::u16string out[16])
{
    size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        out[i].clear();
        if (at == size)
            continue;
        if (size - at < 2)
            return false;
        size_t length = data[at] | data[at + 1] << 8;
        at += 2;
        if ((size - at) / 2 < length)
            return false;
        for (size_t c = 0; c < length; ++c, at += 2)
            out[i].push_back(static_cast<char16_t>(data[at] | data[at + 1] << 8));
    }
    return true;
}

std::string Units(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
        out += std::to_string(c) + ",";
    return out;
}

void CheckStringBlock(const uint8_t* data, size_t size)
{
    std::u16string got[16], expected[16];
    std::string error;
    bool ok = DecodeStringBlock(ByteSpan{data, size}, got, &error);
    ExpectSame("DecodeStringBlock accepts the block", ModelStringBlock(data, size, expected), ok);
    if (!ok) {
        CheckOneLineError("DecodeStringBlock error", error);
        return;
    }
    for (int i = 0; i < 16; ++i)
        ExpectSame("string block entry", Units(expected[i]), Units(got[i]));
    // What the builder writes, the reader reads back unchanged.
    std::vector<uint8_t> encoded = EncodeStringBlock(got);
    std::u16string again[16];
    if (!DecodeStringBlock(ByteSpan{encoded.data(), encoded.size()}, again, &error))
        ModelMismatch("an encoded string block decodes", "accepted", error);
    for (int i = 0; i < 16; ++i)
        ExpectSame("string block round trip", Units(got[i]), Units(again[i]));
}

void CheckVersionBlock(const uint8_t* data, size_t size)
{
    VersionInfo info;
    std::string error;
    if (!DecodeVersionBlock(ByteSpan{data, size}, &info, &error))
        CheckOneLineError("DecodeVersionBlock error", error);
}

// Whatever the reader accepts points only inside the file.
void CheckImageBounds(ByteSpan file, const PeImage& image)
{
    for (const PeSection& s : image.sections) {
        if (s.rawSize > 0 && (s.rawPointer > file.size || s.rawSize > file.size - s.rawPointer))
            ModelMismatch("an accepted section lies inside the file", "inside", s.name);
    }
    for (const ResourceLeaf& leaf : image.resources) {
        if (leaf.size > 0 && (leaf.fileOffset > file.size || leaf.size > file.size - leaf.fileOffset))
            ModelMismatch("an accepted resource lies inside the file", "inside",
                          std::to_string(leaf.fileOffset) + "+" + std::to_string(leaf.size));
        ByteSpan bytes = LeafBytes(file, leaf);
        if (leaf.size > 0 && bytes.data == nullptr)
            ModelMismatch("LeafBytes of an accepted resource", "its bytes", "nothing");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // libFuzzer hands over a heap copy of exactly `size` bytes: a read past it is an ASan report.
    ByteSpan file{data, size};
    std::ostringstream report;
    std::string error;
    if (!InspectImage(file, report, &error)) {
        CheckOneLineError("--inspect error", error);
    } else {
        PackageView view;
        if (!ReadPackage(file, &view, &error))
            ModelMismatch("ReadPackage agrees with InspectImage", "accepted", error);
        CheckImageBounds(file, view.image);
    }
    // The decoders meet any bytes too, not only what a well-formed tree leads them to.
    CheckStringBlock(data, size);
    CheckVersionBlock(data, size);
    return 0;
}
