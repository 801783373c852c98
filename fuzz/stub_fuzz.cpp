// Fuzz target of setup-pack's build from a stub: any bytes as the stub are refused in one line, or give a setup that reads back whole.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
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

Package g_package;
std::vector<uint8_t> g_payload;
std::string g_output;  // the setup written for each accepted stub, in memory when /dev/shm is there

// The setup that came out carries exactly the package that went in.
void CheckReadBack()
{
    std::ifstream in(g_output, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(g_output.c_str());
    ByteSpan file{bytes.data(), bytes.size()};
    PackageView view;
    std::string error;
    if (!ReadPackage(file, &view, &error))
        Fail("the written setup reads back", "accepted", error);
    const Package& p = g_package;
    ExpectSame("product, program, terms, folders read back", p.name + u"|" + p.program + u"|" + p.terms + u"|docs",
               view.product + u"|" + view.program + u"|" + view.terms + u"|" + (view.folders.empty() ? u"" : view.folders[0]));
    Expect("version 7 read back", view.version.hasFixed && view.version.fileVersion[0] == 7);
    Expect("two files read back, the second sharing the first's data",
           view.files.size() == 2 && view.files[1].sameBytesAs == IDS_FILE_FIRST);
    for (const PayloadView& f : view.files)
        Expect("a payload entry read back, by number, of the source's size", f.found && f.numbered && f.size == g_payload.size(),
               f.listedName);
    for (const ResourceLeaf& leaf : view.image.resources) {
        ByteSpan data = LeafBytes(file, leaf);
        if (leaf.type == ResourceKey::Id(kRtRcData) && leaf.name == ResourceKey::Id(IDS_FILE_FIRST))
            Expect("payload bytes read back", std::vector<uint8_t>(data.data, data.data + data.size) == g_payload);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Diagnostics diags;
    if (!ReadManifestText(kManifest, "tiny.ini", FUZZ_SAMPLE_DIR, {}, &g_package, &diags))
        Fail("the stub target's manifest", "accepted", diags.Format());
    std::ifstream in(g_package.files[0].source, std::ios::binary);
    g_payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    g_output = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + ("/stub-fuzz-" + std::to_string(getpid()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ByteSpan stub{data, size};
    PeImage image;
    std::string error;
    std::vector<ResourceItem> items;
    Diagnostics diags;
    ImageResult result;
    if (!ReadPeImage(stub, &image, &error))
        ExpectOneLine("a refused stub's reason", error);
    else if (!MakeResourceItems(stub, image, g_package, &items, &diags))
        Expect("a refused merge says why", diags.Failed());
    else if (!WriteImage(stub, image, items, kCompactAlignment, g_output, &result, &error))
        ExpectOneLine("a refused write's reason", error);
    else
        CheckReadBack();
    return 0;
}
