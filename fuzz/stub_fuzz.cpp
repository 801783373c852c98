// Fuzz target of setup-pack's build from a stub: any bytes as the stub are refused, or give a setup that reads back whole.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include "image_writer.h"
#include "manifest.h"
#include "model_check.h"
#include "package_merge.h"
#include "package_view.h"
#include "resource.h"

namespace {

const char kPayloadSource[] = FUZZ_SAMPLE_DIR "/ReadMe.txt";

std::string g_output;  // the setup written for each accepted stub, on a memory file system when there is one
std::vector<uint8_t> g_payload;

Package TinyPackage()
{
    Package p;
    p.name = u"Tiny";
    p.program = u"ReadMe.txt";
    p.versionText = "7.0";
    p.version[0] = 7;
    p.legal = u"(C) fuzz";
    p.terms = u"Use it.\n \n\u03A4\u03AD\u03BB\u03BF\u03C2.\n";
    p.folders = {u"docs"};
    PackageFile readMe;
    readMe.listed = u"ReadMe.txt";
    readMe.source = kPayloadSource;
    readMe.size = g_payload.size();
    readMe.stored = true;
    readMe.sameAs = 0;
    // The same bytes under another name: one data entry for both.
    PackageFile copy = readMe;
    copy.listed = u"docs\\Read-Me.txt";
    copy.stored = false;
    p.files = {readMe, copy};
    p.payloadBytes = g_payload.size();
    return p;
}

// The setup that came out must carry exactly the package that went in.
void CheckReadBack(const Package& package)
{
    std::ifstream in(g_output, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(g_output.c_str());
    ByteSpan file{bytes.data(), bytes.size()};
    PackageView view;
    std::string error;
    if (!ReadPackage(file, &view, &error))
        Fail("the written setup reads back", "accepted", error);
    Expect("product, program, terms and folders read back", package.name + u"|" + package.program + u"|" +
           package.terms + u"|docs", view.product + u"|" + view.program + u"|" + view.terms + u"|" +
           (view.folders.empty() ? u"" : view.folders[0]));
    Expect("files read back", size_t(2), view.files.size());
    for (const PayloadView& f : view.files) {
        if (!f.found || !f.numbered || f.size != g_payload.size())
            Fail("payload entry read back", "numbered, " + std::to_string(g_payload.size()) + " bytes",
                 f.madeName + (f.found ? ", " + std::to_string(f.size) + " bytes" : " missing"));
    }
    Expect("the copy's entry shares the data of the first file", uint32_t(IDS_FILE_FIRST), view.files[1].sameBytesAs);
    for (const ResourceLeaf& leaf : view.image.resources) {
        ByteSpan data = LeafBytes(file, leaf);
        if (leaf.type == ResourceKey::Id(kRtRcData) && leaf.name == ResourceKey::Id(IDS_FILE_FIRST) &&
            (data.size != g_payload.size() || !std::equal(data.data, data.data + data.size, g_payload.begin())))
            Fail("payload bytes read back", "the source's bytes", "other bytes");
    }
    Expect("version read back", 7, view.version.hasFixed ? int(view.version.fileVersion[0]) : -1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::ifstream in(kPayloadSource, std::ios::binary);
    g_payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    struct stat st;
    std::string dir = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    g_output = dir + "/stub-fuzz-" + std::to_string(getpid()) + ".exe";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ByteSpan stub{data, size};
    PeImage image;
    std::string error;
    if (!ReadPeImage(stub, &image, &error)) {
        ExpectOneLine("a refused stub's reason", error);
        return 0;
    }
    Package package = TinyPackage();
    std::vector<ResourceItem> items;
    Diagnostics diags;
    if (!MakeResourceItems(stub, image, package, &items, &diags)) {
        Expect("a refused merge says why", true, diags.Failed());
        return 0;
    }
    ImageResult result;
    if (!WriteImage(stub, image, items, kCompactAlignment, g_output, &result, &error)) {
        ExpectOneLine("a refused write's reason", error);
        return 0;
    }
    CheckReadBack(package);
    return 0;
}
