// The command line of setup-pack and its commands: build a setup or its uninstaller, check and inspect.
#include "pack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bytes.h"
#include "image_writer.h"
#include "inspect.h"
#include "package_merge.h"
#include "signature.h"
#include "unicode.h"

namespace {

// A whole file as a read-only span; the system pages it in as it is read, so even a large
// setup costs no heap.
class MappedFile {
public:
    explicit MappedFile(const std::string& path)
    {
        // Not blocking: a named pipe with no writer would hold the open for ever; it is refused below.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            error_ = std::strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            error_ = "not a regular file";
        } else if (st.st_size == 0) {
            error_ = "the file is empty";
        } else {
            void* at = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (at == MAP_FAILED)
                error_ = std::strerror(errno);
            else
                span_ = ByteSpan{static_cast<const uint8_t*>(at), static_cast<size_t>(st.st_size)};
        }
        if (fd >= 0)
            ::close(fd);
    }
    ~MappedFile()
    {
        if (span_.data)
            ::munmap(const_cast<uint8_t*>(span_.data), span_.size);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool ok() const { return span_.data != nullptr; }
    ByteSpan span() const { return span_; }
    const std::string& error() const { return error_; }

private:
    ByteSpan span_;
    std::string error_;
};

bool ReadStub(const MappedFile& stub, const std::string& stubPath, PeImage* image, Diagnostics* diags)
{
    if (!stub.ok()) {
        diags->Error(stubPath, "cannot read the stub: " + stub.error() + "; give it with --stub");
        return false;
    }
    std::string error;
    if (!ReadPeImage(stub.span(), image, &error)) {
        diags->Error(stubPath, "not a usable stub: " + error);
        return false;
    }
    if (ReadSignature(stub.span(), *image).present)
        diags->Warning(stubPath, "the stub is signed, and the signature cannot cover a new package: it is "
                                 "left out; sign the setup after packaging");
    return true;
}

// The built-in uninstaller's package: the product's identity and the uninstaller's own strings,
// without terms, publisher, lists or files.
Package UninstallerPackage(const Package& setup)
{
    Package uninstaller;
    uninstaller.name = setup.name;
    uninstaller.program = setup.program;
    uninstaller.legal = setup.legal;
    uninstaller.uninstall = setup.uninstall;
    uninstaller.record = setup.record;
    uninstaller.startMenu = setup.startMenu;
    uninstaller.versionText = setup.versionText;
    uninstaller.x64 = setup.x64;
    uninstaller.perUser = setup.perUser;
    std::copy(setup.version, setup.version + 4, uninstaller.version);
    uninstaller.isUninstaller = true;
    return uninstaller;
}

// --uninstaller: the built-in uninstaller alone, compact whatever --align says, for the vendor to sign.
bool WriteUninstaller(ByteSpan stub, const PeImage& image, const Package& package, const Options& o,
                      std::ostream& log, Diagnostics* diags)
{
    std::vector<ResourceItem> items;
    ImageResult result;
    std::string error;
    if (!MakeResourceItems(stub, image, UninstallerPackage(package), &items, diags))
        return false;
    if (!WriteImage(stub, image, items, kCompactAlignment, o.output, &result, &error)) {
        diags->Error(o.output, error);
        return false;
    }
    log << "wrote " << o.output << ": the built-in uninstaller " << Utf16ToUtf8(package.uninstall) << ", "
        << result.fileSize << " bytes\n";
    return true;
}

// The same image in memory, byte for byte.
bool MakeUninstaller(ByteSpan stub, const PeImage& image, const Package& package, const Options& o,
                     std::vector<uint8_t>* bytes, Diagnostics* diags)
{
    std::vector<ResourceItem> items;
    std::string error;
    if (!MakeResourceItems(stub, image, UninstallerPackage(package), &items, diags))
        return false;
    if (!WriteImageBytes(stub, image, items, kCompactAlignment, bytes, &error)) {
        diags->Error(o.output, error);
        return false;
    }
    return true;
}

// --uninstaller-image: the vendor's copy in place of the image made here, if it is that image
// with at most a signature added; the checksum, which signing sums anew, is left out of the comparison.
bool TakeVendorUninstaller(const Options& o, uint32_t checksumAt, std::vector<uint8_t>* made, Diagnostics* diags)
{
    MappedFile given(o.uninstallerImage);
    if (!given.ok()) {
        diags->Error(o.uninstallerImage, "cannot read the uninstaller image: " + given.error());
        return false;
    }
    PeImage image;
    std::string error;
    std::vector<uint8_t> unsignedBytes;
    Put32(made->data() + checksumAt, 0);
    if (!ReadPeImage(given.span(), &image, &error) || !StripSignature(given.span(), image, &unsignedBytes) ||
        unsignedBytes != *made) {
        diags->Error(o.uninstallerImage, "not the uninstaller that " + o.manifest + " makes with this stub: it was "
                                             "made from another manifest or stub; make it again with --uninstaller");
        return false;
    }
    made->assign(given.span().data, given.span().data + given.span().size);
    return true;
}

// The built-in uninstaller joins the setup's files last, its bytes made here or the vendor's copy.
bool AddUninstaller(ByteSpan stub, const PeImage& image, const Options& o, Package* setup, Diagnostics* diags)
{
    PackageFile file;
    if (!MakeUninstaller(stub, image, *setup, o, &file.bytes, diags) ||
        (!o.uninstallerImage.empty() &&
         !TakeVendorUninstaller(o, image.optionalOffset + kOptCheckSum, &file.bytes, diags)))
        return false;
    file.listed = setup->uninstall;
    file.size = file.bytes.size();
    file.sameAs = setup->files.size();
    setup->payloadBytes += file.size;
    setup->files.push_back(std::move(file));
    return true;
}

// What the payload became, for the log.
std::string PayloadSummary(const Package& package, const PayloadBlock& block)
{
    if (package.compressed)
        return std::to_string(package.files.size()) + " files (" + std::to_string(block.payload) +
               " bytes) in an LZMA block of " + std::to_string(block.size) + " bytes";
    size_t stored = 0;
    for (const PackageFile& file : package.files)
        stored += file.stored ? 1 : 0;
    return std::to_string(package.files.size()) + " files with " + std::to_string(stored) + " distinct contents (" +
           std::to_string(package.payloadBytes) + " bytes)";
}

// A compressed package is compact: its block is read through once, so the page-aligned layout, which lets
// Wine map entries that are copied as they stand, would only pad it.
bool WriteSetup(ByteSpan stub, const PeImage& image, const Package& package, const Options& o, std::ostream& log,
                Diagnostics* diags)
{
    PayloadBlock block;
    std::string error;
    if (package.compressed && !MakeLzmaBlock(package, o.output, &block, &error)) {
        diags->Error(o.output, error);
        return false;
    }
    std::vector<ResourceItem> items;
    if (!MakeResourceItems(stub, image, package, &items, diags, package.compressed ? &block : nullptr))
        return false;
    uint32_t alignment = o.alignment;
    if (alignment == 0)
        alignment = !package.compressed && package.payloadBytes >= kPageAlignThreshold ? kPageAlignment
                                                                                       : kCompactAlignment;
    ImageResult result;
    if (!WriteImage(stub, image, items, alignment, o.output, &result, &error)) {
        diags->Error(o.output, error);
        return false;
    }
    log << "wrote " << o.output << ": " << PayloadSummary(package, block) << ", " << package.folders.size()
        << " folders, file alignment " << alignment << ", " << result.fileSize << " bytes\n";
    return true;
}

}  // namespace

bool BuildSetup(const Package& package, const Options& o, std::ostream& log, Diagnostics* diags)
{
    if ((o.uninstaller || !o.uninstallerImage.empty()) && package.record.empty()) {
        diags->Error(o.manifest, std::string(o.uninstaller ? "--uninstaller" : "--uninstaller-image") +
                                     " is for the built-in uninstaller, which the manifest does not name; add "
                                     "'uninstaller = Uninstall.exe' to [product]");
        return false;
    }
    MappedFile stub(o.stub);
    PeImage image;
    if (!ReadStub(stub, o.stub, &image, diags))
        return false;
    if (o.uninstaller)
        return WriteUninstaller(stub.span(), image, package, o, log, diags);
    Package setup = package;
    if (!package.record.empty() && !AddUninstaller(stub.span(), image, o, &setup, diags))
        return false;
    return WriteSetup(stub.span(), image, setup, o, log, diags);
}

namespace {

const char kUsage[] =
    "usage: setup-pack MANIFEST -o SETUP.EXE [--stub STUB] [--align 512|4096] [--search DIR]...\n"
    "       setup-pack MANIFEST -o SETUP.EXE --uninstaller-image UNINSTALL.EXE [the options above]\n"
    "       setup-pack MANIFEST --uninstaller -o UNINSTALL.EXE [--stub STUB] [--search DIR]...\n"
    "       setup-pack --check MANIFEST [--search DIR]...\n"
    "       setup-pack --inspect SETUP.EXE\n"
    "       setup-pack --version\n";

// The stub when none is named: beside the tool, as it is unpacked or built, or where a
// vendor's install puts it, under share/ next to the tool's bin/.
std::string DefaultStub(const std::string& selfPath)
{
    std::string folder = selfPath.substr(0, selfPath.rfind('/') + 1);
    std::string beside = folder + SETUP_PACK_STUB_NAME;
    if (::access(beside.c_str(), F_OK) == 0)
        return beside;
    return folder + "../" SETUP_PACK_STUB_SHARE "/" SETUP_PACK_STUB_NAME;
}

// The checksum of a file read in chunks, its checksum field (at field) counted as zero.
bool StreamChecksum(const std::string& path, uint64_t field, uint32_t* out)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    PeChecksum sum;
    uint64_t at = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        uint64_t n = static_cast<uint64_t>(in.gcount());
        for (uint64_t i = field; i < field + 4; ++i) {
            if (i >= at && i < at + n)
                buffer[i - at] = 0;
        }
        sum.Add(reinterpret_cast<const uint8_t*>(buffer.data()), n);
        at += n;
    }
    *out = sum.Finish(at);
    return !in.bad();
}

int Report(const Diagnostics& diags, std::ostream& err)
{
    err << diags.Format();
    return diags.Failed() ? 1 : 0;
}

const int kGoOn = -1;

void PrintVersion(const std::string& selfPath, std::ostream& out)
{
    std::string stub = DefaultStub(selfPath);
    out << "setup-pack " SETUP_PACK_VERSION "\nstub: " << stub
        << (::access(stub.c_str(), R_OK) == 0 ? "\n" : " (missing: give one with --stub)\n");
}

// Reads the arguments in order, answering --help and --version at once; kGoOn, or the exit status.
int ReadOptions(const std::vector<std::string>& args, const std::string& selfPath, Options* o, std::ostream& out,
                std::ostream& err)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        } else if (a == "--version") {
            PrintVersion(selfPath, out);
            return 0;
        } else if ((a == "-o" || a == "--stub" || a == "--search" || a == "--align" || a == "--inspect" ||
                    a == "--uninstaller-image") && !hasValue) {
            err << "setup-pack: " << a << " needs a value\n" << kUsage;
            return 2;
        } else if (a == "-o") {
            o->output = args[++i];
        } else if (a == "--stub") {
            o->stub = args[++i];
        } else if (a == "--search") {
            o->search.push_back(args[++i]);
        } else if (a == "--inspect") {
            o->inspect = args[++i];
        } else if (a == "--align") {
            std::string v = args[++i];
            if (v != "512" && v != "4096") {
                err << "setup-pack: --align takes 512 (compact) or 4096 (page-aligned)\n";
                return 2;
            }
            o->alignment = static_cast<uint32_t>(std::stoul(v));
        } else if (a == "--check") {
            o->check = true;
        } else if (a == "--uninstaller") {
            o->uninstaller = true;
        } else if (a == "--uninstaller-image") {
            o->uninstallerImage = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            err << "setup-pack: unknown option " << a << "\n" << kUsage;
            return 2;
        } else if (o->manifest.empty()) {
            o->manifest = a;
        } else {
            err << "setup-pack: one manifest at a time (" << o->manifest << ", " << a << ")\n";
            return 2;
        }
    }
    return kGoOn;
}

int RunInspect(const std::string& path, std::ostream& out, std::ostream& err)
{
    MappedFile file(path);
    std::string error;
    uint32_t peOffset = 0, checksum = 0;
    if (!file.ok()) {
        error = file.error();
    } else {
        ByteSpan span = file.span();
        if (span.size >= 0x40)
            std::memcpy(&peOffset, span.data + 0x3C, 4);
        uint64_t field = peOffset + 24ull + kOptCheckSum;
        bool streamed = field + 4 <= span.size && StreamChecksum(path, field, &checksum);
        if (InspectImage(span, out, &error, streamed ? &checksum : nullptr))
            return 0;
    }
    err << "setup-pack: " << path << ": " << error << "\n";
    return 1;
}

int RunBuildOrCheck(const Options& o, const std::string& selfPath, std::ostream& out, std::ostream& err)
{
    Diagnostics diags;
    Package package;
    if (!ReadManifest(o.manifest, o.search, &package, &diags) || o.check) {
        if (o.check && !diags.Failed())
            out << o.manifest << ": fine: " << package.files.size() << " files, " << package.folders.size()
                << " folders, " << package.payloadBytes << " bytes of payload\n";
        return Report(diags, err);
    }
    Options build = o;
    if (build.stub.empty())
        build.stub = DefaultStub(selfPath);
    BuildSetup(package, build, out, &diags);
    return Report(diags, err);
}

}  // namespace

int RunSetupPack(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out,
                 std::ostream& err)
{
    Options o;
    int status = ReadOptions(args, selfPath, &o, out, err);
    if (status != kGoOn)
        return status;
    if (!o.inspect.empty()) {
        if (o.check || !o.manifest.empty() || !o.output.empty()) {
            err << "setup-pack: --inspect stands alone\n" << kUsage;
            return 2;
        }
        return RunInspect(o.inspect, out, err);
    }
    bool uninstaller = o.uninstaller || !o.uninstallerImage.empty();
    if (o.manifest.empty() || o.check == !o.output.empty() || (uninstaller && o.check)) {
        err << kUsage;
        return 2;
    }
    if (o.uninstaller && !o.uninstallerImage.empty()) {
        err << "setup-pack: --uninstaller makes the image that --uninstaller-image takes; give one of them\n";
        return 2;
    }
    return RunBuildOrCheck(o, selfPath, out, err);
}
