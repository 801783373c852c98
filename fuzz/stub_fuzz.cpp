// Fuzz target of setup-pack's build from a stub: any bytes as the stub are refused in one line, or give a setup that reads back whole.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>
#include "image_writer.h"
#include "manifest.h"
#include "model_check.h"
#include "package_merge.h"
#include "package_view.h"

namespace {

// Two names for the same bytes (one data entry for both), a folder, non-ASCII terms.
const char kManifest[] = "[product]\nname = Tiny\nprogram = ReadMe.txt\nversion = 7.0\nterms = terms.txt\n"
                         "[folders]\nfolder = docs\n[files]\nReadMe.txt = ReadMe.txt\ndocs\\Read-Me.txt = ReadMe.txt\n";

std::vector<uint8_t> Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The setup written carries exactly the package that went in, its payload once for both names.
void CheckReadBack(const Package& p, const std::vector<uint8_t>& bytes)
{
    static const std::vector<uint8_t> payload = Bytes(p.files[0].source);
    ByteSpan file{bytes.data(), bytes.size()};
    PackageView view;
    std::string error;
    if (!ReadPackage(file, &view, &error))
        Fail("the written setup reads back", "accepted", error);
    std::u16string folder = view.folders.empty() ? u"" : view.folders[0];
    ExpectSame("product, program, terms, folder, version read back",
               p.name + u"|" + p.program + u"|" + p.terms + u"|docs|7",
               view.product + u"|" + view.program + u"|" + view.terms + u"|" + folder + u"|" +
                   (view.version.hasFixed ? std::u16string(1, u'0' + view.version.fileVersion[0]) : u"-"));
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
    static Package package;
    static const std::string written = ScratchFile("stub");
    Diagnostics diags;
    if (package.files.empty() && !ReadManifestText(kManifest, "tiny.ini", FUZZ_SAMPLE_DIR, {}, &package, &diags))
        Fail("the stub target's manifest", "accepted", diags.Format());
    ByteSpan stub{data, size};
    PeImage image;
    std::string error;
    std::vector<ResourceItem> items;
    ImageResult result;
    if (!ReadPeImage(stub, &image, &error))
        ExpectOneLine("a refused stub's reason", error);
    else if (!MakeResourceItems(stub, image, package, &items, &diags))
        Expect("a refused merge says why", diags.Failed());
    else if (!WriteImage(stub, image, items, kCompactAlignment, written, &result, &error))
        ExpectOneLine("a refused write's reason", error);
    else
        CheckReadBack(package, Bytes(written));
    unlink(written.c_str());
    return 0;
}
