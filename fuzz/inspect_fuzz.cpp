// Fuzz target of setup-pack --inspect: any bytes as a setup executable get the same report or one-line error both ways.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include "model_check.h"
#include "inspect.h"
#include "pack.h"
#include "package_view.h"
#include "resource_writer.h"

namespace {

std::string g_file;  // the input as a file for the command line, on a memory file system when there is one

// A block read is the block the builder writes of what was read: the same bytes as far as the
// block goes, empty strings after; and it reads back the same.
void CheckStringBlock(const uint8_t* data, size_t size)
{
    std::u16string got[16], again[16];
    std::string error;
    if (!DecodeStringBlock(ByteSpan{data, size}, got, &error))
        return ExpectOneLine("DecodeStringBlock error", error);
    std::vector<uint8_t> encoded = EncodeStringBlock(got);
    size_t common = std::min(size, encoded.size());
    if (!std::equal(data, data + common, encoded.begin()) ||
        std::any_of(encoded.begin() + common, encoded.end(), [](uint8_t b) { return b != 0; }))
        Fail("a string block encoded again", "the bytes read, zeros after", "other bytes");
    if (!DecodeStringBlock(ByteSpan{encoded.data(), encoded.size()}, again, &error) ||
        !std::equal(got, got + 16, again))
        Fail("an encoded string block reads back", "the strings read", error.empty() ? "other strings" : error);
}

void CheckVersionBlock(const uint8_t* data, size_t size)
{
    VersionInfo info;
    std::string error;
    if (!DecodeVersionBlock(ByteSpan{data, size}, &info, &error))
        ExpectOneLine("DecodeVersionBlock error", error);
}

// Whatever the reader accepts points only inside the file.
void CheckImageBounds(ByteSpan file, const PeImage& image)
{
    for (const PeSection& s : image.sections) {
        if (s.rawSize > 0 && (s.rawPointer > file.size || s.rawSize > file.size - s.rawPointer))
            Fail("an accepted section lies inside the file", "inside", s.name);
    }
    for (const ResourceLeaf& leaf : image.resources) {
        if (leaf.size > 0 && (leaf.fileOffset > file.size || leaf.size > file.size - leaf.fileOffset))
            Fail("an accepted resource lies inside the file", "inside",
                          std::to_string(leaf.fileOffset) + "+" + std::to_string(leaf.size));
        ByteSpan bytes = LeafBytes(file, leaf);
        if (leaf.size > 0 && bytes.data == nullptr)
            Fail("LeafBytes of an accepted resource", "its bytes", "nothing");
    }
}

// The command line maps the file and sums the checksum by reading it: it must say what the
// in-memory reading says, and a refusal is one line naming the file.
void CheckCommandLine(const uint8_t* data, size_t size, bool accepted, const std::string& report)
{
    {
        std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::ostringstream out, err;
    int status = RunSetupPack({"--inspect", g_file}, "setup-pack", out, err);
    unlink(g_file.c_str());
    if (accepted) {
        Expect("--inspect status of an accepted image", 0, status);
        Expect("--inspect report from the file", report, out.str());
        return;
    }
    Expect("--inspect status of a refused image", 1, status);
    std::string line = err.str();
    std::string prefix = "setup-pack: " + g_file + ": ";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.back() != '\n' ||
        line.find('\n') != line.size() - 1)
        Fail("--inspect refusal", prefix + "REASON", line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    struct stat st;
    std::string dir = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    g_file = dir + "/inspect-fuzz-" + std::to_string(getpid()) + ".exe";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // libFuzzer hands over a heap copy of exactly `size` bytes: a read past it is an ASan report.
    ByteSpan file{data, size};
    std::ostringstream report;
    std::string error;
    bool accepted = InspectImage(file, report, &error);
    if (!accepted) {
        ExpectOneLine("--inspect error", error);
    } else {
        PackageView view;
        if (!ReadPackage(file, &view, &error))
            Fail("ReadPackage agrees with InspectImage", "accepted", error);
        CheckImageBounds(file, view.image);
    }
    // Through a file it is slow: a share of the inputs goes, chosen by size so that a replay repeats it.
    if (size % (accepted ? 4 : 16) == 0)
        CheckCommandLine(data, size, accepted, report.str());
    // The decoders meet any bytes too, not only what a well-formed tree leads them to.
    CheckStringBlock(data, size);
    CheckVersionBlock(data, size);
    return 0;
}
