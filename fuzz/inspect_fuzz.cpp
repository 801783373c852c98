// Fuzz target of setup-pack --inspect and its decoders: any bytes get the same report or one-line error in memory and from a file.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include "inspect.h"
#include "model_check.h"
#include "pack.h"
#include "package_view.h"
#include "resource_writer.h"

namespace {

std::string g_file;  // the input as a file for the command line, in memory when /dev/shm is there

// A string block read is encoded again into the bytes read (zeros after), and reads back the same.
void CheckStringBlock(const uint8_t* data, size_t size)
{
    std::u16string got[16], again[16];
    std::string error;
    if (!DecodeStringBlock(ByteSpan{data, size}, got, &error))
        return ExpectOneLine("DecodeStringBlock error", error);
    std::vector<uint8_t> encoded = EncodeStringBlock(got);
    size_t common = std::min(size, encoded.size());
    Expect("a string block encoded again is the bytes read, zeros after",
           std::equal(data, data + common, encoded.begin()) &&
               std::all_of(encoded.begin() + common, encoded.end(), [](uint8_t b) { return b == 0; }));
    Expect("an encoded string block reads back", DecodeStringBlock(ByteSpan{encoded.data(), encoded.size()}, again, &error) &&
           std::equal(got, got + 16, again));
}

// The command line maps the file and sums the checksum by reading it: it must say what the
// in-memory reading says, and a refusal is one line naming the file.
void CheckCommandLine(const uint8_t* data, size_t size, bool accepted, const std::string& report)
{
    std::ofstream(g_file, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::ostringstream out, err;
    int status = RunSetupPack({"--inspect", g_file}, "setup-pack", out, err);
    unlink(g_file.c_str());
    std::string line = err.str(), prefix = "setup-pack: " + g_file + ": ";
    if (accepted && (status != 0 || out.str() != report))
        Fail("--inspect from the file", "status 0 and " + report, std::to_string(status) + " and " + out.str() + line);
    if (!accepted && (status != 1 || line.compare(0, prefix.size(), prefix) != 0 || line.find('\n') != line.size() - 1))
        Fail("--inspect refusal from the file", "status 1 and one line " + prefix + "REASON", std::to_string(status) + " and " + line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_file = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + ("/inspect-fuzz-" + std::to_string(getpid()));
    return 0;
}

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
    else if (!ReadPackage(file, &view, &error))
        Fail("ReadPackage agrees with InspectImage", "accepted", error);
    for (const PeSection& s : view.image.sections)
        Expect("an accepted section lies inside the file", !s.rawSize || s.rawPointer + uint64_t{s.rawSize} <= size);
    for (const ResourceLeaf& leaf : view.image.resources)
        Expect("an accepted resource lies inside the file",
               leaf.fileOffset + leaf.size <= size && LeafBytes(file, leaf).size == leaf.size);
    // Through a file it is slow: a share of the inputs goes, chosen by size so that a replay repeats it.
    if (size % (accepted ? 4 : 16) == 0)
        CheckCommandLine(data, size, accepted, report.str());
    // The decoders meet any bytes too, not only what a well-formed tree leads them to.
    CheckStringBlock(data, size);
    VersionInfo info;
    if (!DecodeVersionBlock(file, &info, &error))
        ExpectOneLine("DecodeVersionBlock error", error);
    return 0;
}
