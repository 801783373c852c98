// Fuzz target of setup-pack --inspect and its decoders: any bytes get one report or a one-line error, alike in memory and from a file.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include "inspect.h"
#include "model_check.h"
#include "pack.h"
#include "package_view.h"
#include "resource_writer.h"

namespace {

// The command line maps the file and sums the checksum by reading it: it must say what the
// in-memory reading says, or refuse in one line naming the file.
void CheckCommandLine(const uint8_t* data, size_t size, bool accepted, const std::string& report)
{
    static const std::string file = ScratchFile("inspect");
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
    std::ostringstream out, err;
    int status = RunSetupPack({"--inspect", file}, "setup-pack", out, err);
    unlink(file.c_str());
    std::string got = std::to_string(status) + " " + out.str() + err.str();
    std::string expected = accepted ? "0 " + report : "1 setup-pack: " + file + ": ";
    if (accepted ? got != expected : got.compare(0, expected.size(), expected) != 0 || got.find('\n') != got.size() - 1)
        Fail("--inspect from the file: its status, then the report or one line of refusal", expected, got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // libFuzzer hands over a heap copy of exactly `size` bytes: a read past it is an ASan report.
    ByteSpan file{data, size};
    std::ostringstream report;
    std::string error;
    PackageView view;
    bool accepted = InspectImage(file, report, &error);
    if (!accepted)
        ExpectOneLine("--inspect error", error);
    else
        Expect("ReadPackage agrees with InspectImage", ReadPackage(file, &view, &error));
    for (const ResourceLeaf& leaf : view.image.resources)
        Expect("an accepted resource lies inside the file",
               leaf.fileOffset + leaf.size <= size && LeafBytes(file, leaf).size == leaf.size);
    // Through a file it is slow: a share of the inputs goes, chosen by size so that a replay repeats it.
    if (size % (accepted ? 4 : 16) == 0)
        CheckCommandLine(data, size, accepted, report.str());

    // The decoders meet any bytes too, not only what a well-formed tree leads them to; a string
    // block read is written again and reads back the same.
    std::u16string strings[16], again[16];
    VersionInfo info;
    if (!DecodeVersionBlock(file, &info, &error))
        ExpectOneLine("DecodeVersionBlock error", error);
    bool read = DecodeStringBlock(file, strings, &error);
    if (!read)
        ExpectOneLine("DecodeStringBlock error", error);
    std::vector<uint8_t> encoded = EncodeStringBlock(strings);
    Expect("a string block read, encoded again, reads back the same",
           !read || (DecodeStringBlock(ByteSpan{encoded.data(), encoded.size()}, again, &error) &&
                     std::equal(strings, strings + 16, again)));
    return 0;
}
