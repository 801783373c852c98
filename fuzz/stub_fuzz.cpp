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
        ModelMismatch("the written setup reads back", "accepted", error);
    ExpectSame("product read back", package.name, view.product);
    ExpectSame("program read back", package.program, view.program);
    ExpectSame("terms read back", package.terms, view.terms);
    if (view.folders.size() != 1 || view.folders[0] != u"docs")
        ModelMismatch("folders read back", "docs", std::to_string(view.folders.size()) + " folders");
    if (view.files.size() != 2)
        ModelMismatch("files read back", "2", std::to_string(view.files.size()));
    for (const PayloadView& f : view.files) {
        if (!f.found || !f.numbered || f.size != g_payload.size())
            ModelMismatch("payload entry read back", "numbered, " + std::to_string(g_payload.size()) + " bytes",
                          f.madeName + (f.found ? ", " + std::to_string(f.size) + " bytes" : " missing"));
    }
    if (view.files[1].sameBytesAs != IDS_FILE_FIRST)
        ModelMismatch("the copy's entry shares the data of the first file", std::to_string(IDS_FILE_FIRST),
                      std::to_string(view.files[1].sameBytesAs));
    for (const ResourceLeaf& leaf : view.image.resources) {
        if (leaf.type == ResourceKey::Id(kRtRcData) && leaf.name == ResourceKey::Id(IDS_FILE_FIRST)) {
            ByteSpan data = LeafBytes(file, leaf);
            if (data.size != g_payload.size() || !std::equal(data.data, data.data + data.size, g_payload.begin()))
                ModelMismatch("payload bytes read back", "the source's bytes", "other bytes");
        }
    }
    if (!view.version.hasFixed || view.version.fileVersion[0] != 7)
        ModelMismatch("version read back", "7.0.0.0", "another or none");
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
        if (error.empty() || error.find('\n') != std::string::npos)
            ModelMismatch("a refused stub gets a one-line reason", "a reason", error);
        return 0;
    }
    Package package = TinyPackage();
    std::vector<ResourceItem> items;
    Diagnostics diags;
    if (!MakeResourceItems(stub, image, package, &items, &diags)) {
        if (!diags.Failed())
            ModelMismatch("a refused merge says why", "an error", diags.Format());
        return 0;
    }
    ImageResult result;
    if (!WriteImage(stub, image, items, kCompactAlignment, g_output, &result, &error)) {
        if (error.empty())
            ModelMismatch("a refused write says why", "a reason", "");
        return 0;
    }
    CheckReadBack(package);
    return 0;
}
