// Fuzz target of setup-pack on any bytes as an image: inspected alike in memory and from a file, and built from as a stub.
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>
#include "execution_level.h"
#include "image_writer.h"
#include "inspect.h"
#include "manifest.h"
#include "model_check.h"
#include "pack.h"
#include "package_merge.h"
#include "package_view.h"

namespace {

// Two names for the same bytes (one data entry for both), a folder, non-ASCII terms.
const char kManifest[] = "[product]\nname = Tiny\nprogram = ReadMe.txt\nversion = 7.0\nterms = terms.txt\n"
                         "[folders]\nfolder = docs\n[files]\nReadMe.txt = ReadMe.txt\ndocs\\Read-Me.txt = ReadMe.txt\n";
// The image as a file for the command line, and the setup built: in memory when /dev/shm is there.
const std::string kScratch = (access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/") + std::to_string(getpid());
const std::string kImageFile = kScratch + "-image.exe", kSetupFile = kScratch + "-setup.exe";

std::vector<uint8_t> Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// --inspect on a file maps it and sums the checksum by reading it: it must say what the reading
// in memory says, or refuse in one line naming the file.
void CheckInspect(ByteSpan image)
{
    std::ostringstream report, out, err;
    std::string error;
    PackageView view;
    bool accepted = InspectImage(image, report, &error);
    if (!accepted)
        ExpectOneLine("--inspect error", error);
    else
        Expect("ReadPackage agrees with InspectImage", ReadPackage(image, &view, &error));
    for (const ResourceLeaf& leaf : view.image.resources)
        Expect("an accepted resource lies inside the file",
               leaf.fileOffset + leaf.size <= image.size && LeafBytes(image, leaf).size == leaf.size);
    // Through a file it is slow: a share of the inputs goes, chosen by size so that a replay repeats it.
    if (image.size % (accepted ? 4 : 16) != 0)
        return;
    std::ofstream(kImageFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data), image.size);
    int status = RunSetupPack({"--inspect", kImageFile}, "setup-pack", out, err);
    unlink(kImageFile.c_str());
    std::string got = std::to_string(status) + " " + out.str() + err.str();
    std::string expected = accepted ? "0 " + report.str() : "1 setup-pack: " + kImageFile + ": ";
    if (accepted ? got != expected : got.compare(0, expected.size(), expected) != 0 || got.find('\n') != got.size() - 1)
        Fail("--inspect from the file: its status, then the report or one line of refusal", expected, got);
}

// The setup built carries exactly the package that went in, its payload once for both names.
void CheckReadBack(const Package& p, const std::vector<uint8_t>& bytes)
{
    static const std::vector<uint8_t> payload = Bytes(p.files[0].source);
    ByteSpan file{bytes.data(), bytes.size()};
    PackageView view;
    std::string error;
    if (!ReadPackage(file, &view, &error))
        Fail("the setup built reads back", "accepted", error);
    std::u16string folder = view.folders.empty() ? u"" : view.folders[0];
    ExpectSame("product, program, terms, folder, version read back",
               p.name + u"|" + p.program + u"|" + p.terms + u"|docs|7",
               view.product + u"|" + view.program + u"|" + view.terms + u"|" + folder + u"|" +
                   (view.version.hasFixed ? std::u16string(1, u'0' + view.version.fileVersion[0]) : u"-"));
    Expect("a per-user setup's manifest asks for no rights", !p.perUser || view.executionLevel == kLevelAsInvoker);
    Expect("two files read back by number, the second sharing the first's data", view.files.size() == 2 &&
           view.files[0].numbered && view.files[1].numbered && view.files[1].sameBytesAs == IDS_FILE_FIRST);
    for (const ResourceLeaf& leaf : view.image.resources) {
        ByteSpan data = LeafBytes(file, leaf);
        if (leaf.type == ResourceKey::Id(kRtRcData) && leaf.name == ResourceKey::Id(IDS_FILE_FIRST))
            Expect("payload bytes read back", std::vector<uint8_t>(data.data, data.data + data.size) == payload);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // libFuzzer hands over a heap copy of exactly `size` bytes: a read past it is an ASan report.
    ByteSpan image{data, size};
    CheckInspect(image);

    // The same bytes as the stub of a build.
    static Package package;
    Diagnostics diags;
    if (package.files.empty() && !ReadManifestText(kManifest, "tiny.ini", FUZZ_SAMPLE_DIR, {}, &package, &diags))
        Fail("the image target's manifest", "accepted", diags.Format());
    package.perUser = size % 2;  // its manifest's level edited, or left as it is
    std::string error;
    PeImage stub;
    std::vector<ResourceItem> items;
    ImageResult result;
    if (!ReadPeImage(image, &stub, &error))
        ExpectOneLine("a refused stub's reason", error);
    else if (!MakeResourceItems(image, stub, package, &items, &diags))
        Expect("a refused merge says why", diags.Failed());
    else if (!WriteImage(image, stub, items, kCompactAlignment, kSetupFile, &result, &error))
        ExpectOneLine("a refused write's reason", error);
    else
        CheckReadBack(package, Bytes(kSetupFile));
    unlink(kSetupFile.c_str());
    return 0;
}
