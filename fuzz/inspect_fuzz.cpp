// Fuzz target of setup-pack --inspect: any bytes as a setup executable must get a report or a one-line error.
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
        ExpectSame("--inspect status of an accepted image", "0", std::to_string(status));
        ExpectSame("--inspect report from the file", report, out.str());
        return;
    }
    ExpectSame("--inspect status of a refused image", "1", std::to_string(status));
    std::string line = err.str();
    std::string prefix = "setup-pack: " + g_file + ": ";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.back() != '\n' ||
        line.find('\n') != line.size() - 1)
        ModelMismatch("--inspect refusal", prefix + "REASON", line);
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
        CheckOneLineError("--inspect error", error);
    } else {
        PackageView view;
        if (!ReadPackage(file, &view, &error))
            ModelMismatch("ReadPackage agrees with InspectImage", "accepted", error);
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
