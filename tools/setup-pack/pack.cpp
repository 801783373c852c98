// The three commands of setup-pack and the merge of a package into the stub's resources.
#include "pack.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <map>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_writer.h"
#include "resource.h"
#include "resource_writer.h"
#include "signature.h"
#include "unicode.h"

namespace {

// A whole file as a read-only span; the system pages it in as it is read, so even a large
// setup costs no heap.
class MappedFile {
public:
    explicit MappedFile(const std::string& path)
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

bool PackageOwned(uint32_t id)
{
    return (id >= IDS_PRODUCT_NAME && id <= IDS_VERSION_TEXT) || id >= IDS_SUBDIR_FIRST;
}

// Characters, not bytes, so that columns line up with accented names.
size_t Width(const std::string& utf8)
{
    size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

std::string Hex32(uint32_t value)
{
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0') << value;
    return text.str();
}

}  // namespace

bool MakeResourceItems(ByteSpan stub, const PeImage& image, const Package& package,
                       std::vector<ResourceItem>* items, Diagnostics* diags)
{
    const std::string where = "stub";
    std::map<uint32_t, std::u16string> strings;  // neutral strings, by id
    std::map<uint16_t, uint16_t> foreignBlocks;   // string blocks in another language
    std::vector<std::string> replaced;
    for (const ResourceLeaf& leaf : image.resources) {
        ByteSpan bytes = LeafBytes(stub, leaf);
        if (leaf.type == ResourceKey::Id(kRtString) && !leaf.name.isName && leaf.name.id > 0) {
            // Every block is checked, also one that is copied as it is: the setup reads them all.
            std::u16string block[16];
            std::string problem;
            if (!DecodeStringBlock(bytes, block, &problem)) {
                diags->Error(where, "string block " + std::to_string(leaf.name.id) + " (language " +
                                        std::to_string(leaf.language) + "): " + problem);
                return false;
            }
            if (leaf.language != 0) {
                foreignBlocks[leaf.name.id] = leaf.language;
            } else {
                for (uint32_t i = 0; i < 16; ++i) {
                    uint32_t id = (leaf.name.id - 1u) * 16u + i;
                    if (block[i].empty())
                        continue;
                    if (PackageOwned(id))
                        replaced.push_back("string " + std::to_string(id));
                    else
                        strings[id] = block[i];
                }
                continue;
            }
        }
        if (leaf.type == ResourceKey::Id(kRtVersion)) {
            replaced.push_back("the version block");
            continue;
        }
        if (leaf.type == ResourceKey::Id(kRtRcData)) {
            replaced.push_back("payload entry " + (leaf.name.isName ? Utf16ToUtf8(leaf.name.name)
                                                                    : std::to_string(leaf.name.id)));
            continue;
        }
        ResourceItem item{leaf.type, leaf.name, leaf.language, {}};
        item.data.bytes.assign(bytes.data, bytes.data + bytes.size);
        item.data.size = bytes.size;
        items->push_back(item);
    }
    if (!replaced.empty())
        diags->Warning(where, "the stub already carries a package (" + replaced.front() +
                                  (replaced.size() > 1 ? " and " + std::to_string(replaced.size() - 1) + " more" : "") +
                                  "); the new package replaces it");

    std::map<uint32_t, std::u16string> ours;
    ours[IDS_PRODUCT_NAME] = package.name;
    ours[IDS_PROGRAM_FILE] = package.program;
    ours[IDS_TERMS] = package.terms;
    ours[IDS_PUBLISHER] = package.publisher;
    ours[IDS_UNINSTALL] = package.uninstall;
    ours[IDS_VERSION_TEXT] = std::u16string(package.versionText.begin(), package.versionText.end());
    for (size_t i = 0; i < package.folders.size(); ++i)
        ours[IDS_SUBDIR_FIRST + static_cast<uint32_t>(i)] = package.folders[i];
    for (size_t i = 0; i < package.files.size(); ++i)
        ours[IDS_FILE_FIRST + static_cast<uint32_t>(i)] = package.files[i].listed;
    for (const auto& s : ours) {
        uint16_t block = static_cast<uint16_t>(s.first / 16 + 1);
        if (foreignBlocks.count(block)) {
            diags->Error(where, "the stub has string block " + std::to_string(block) + " in language " +
                                    std::to_string(foreignBlocks[block]) + ", which would hide package string " +
                                    std::to_string(s.first) + "; keep the stub's strings language neutral");
            return false;
        }
        strings[s.first] = s.second;
    }
    for (auto s = strings.begin(); s != strings.end();) {
        uint16_t block = static_cast<uint16_t>(s->first / 16 + 1);
        std::u16string entries[16];
        for (; s != strings.end() && s->first / 16 + 1 == block; ++s)
            entries[s->first % 16] = s->second;
        ResourceItem item{ResourceKey::Id(kRtString), ResourceKey::Id(block), 0, {}};
        item.data.bytes = EncodeStringBlock(entries);
        item.data.size = item.data.bytes.size();
        items->push_back(item);
    }

    VersionText version;
    std::copy(package.version, package.version + 4, version.version);
    version.description = u"Setup program for " + package.name;
    version.versionText = std::u16string(package.versionText.begin(), package.versionText.end());
    version.legal = package.legal;
    ResourceItem versionItem{ResourceKey::Id(kRtVersion), ResourceKey::Id(1), 0, {}};
    versionItem.data.bytes = EncodeVersionBlock(version);
    versionItem.data.size = versionItem.data.bytes.size();
    items->push_back(versionItem);

    // Each file's entry is numbered like its list entry, so no two names can meet in one entry;
    // a file with the bytes of an earlier one points at that one's data.
    size_t firstFile = items->size();
    for (size_t i = 0; i < package.files.size(); ++i) {
        const PackageFile& file = package.files[i];
        ResourceItem item{ResourceKey::Id(kRtRcData), ResourceKey::Id(static_cast<uint16_t>(IDS_FILE_FIRST + i)), 0,
                          {}};
        if (file.stored) {
            item.data.path = file.source;
            item.data.size = file.size;
        } else {
            item.dataOf = static_cast<int>(firstFile + file.sameAs);
        }
        items->push_back(item);
    }
    return true;
}

bool BuildSetup(const Package& package, const std::string& stubPath, uint32_t alignment,
                const std::string& outPath, std::ostream& log, Diagnostics* diags)
{
    MappedFile stub(stubPath);
    if (!stub.ok()) {
        diags->Error(stubPath, "cannot read the stub: " + stub.error() + "; give it with --stub");
        return false;
    }
    PeImage image;
    std::string error;
    if (!ReadPeImage(stub.span(), &image, &error)) {
        diags->Error(stubPath, "not a usable stub: " + error);
        return false;
    }
    if (ReadSignature(stub.span(), image).present)
        diags->Warning(stubPath, "the stub is signed, and the signature cannot cover a new package: it is "
                                 "left out; sign the setup after packaging");
    std::vector<ResourceItem> items;
    if (!MakeResourceItems(stub.span(), image, package, &items, diags))
        return false;
    if (alignment == 0)
        alignment = package.payloadBytes >= kPageAlignThreshold ? kPageAlignment : kCompactAlignment;
    ImageResult result;
    if (!WriteImage(stub.span(), image, items, alignment, outPath, &result, &error)) {
        diags->Error(outPath, error);
        return false;
    }
    size_t stored = 0;
    for (const PackageFile& file : package.files)
        stored += file.stored ? 1 : 0;
    log << "wrote " << outPath << ": " << package.files.size() << " files with " << stored << " distinct contents ("
        << package.payloadBytes << " bytes), " << package.folders.size() << " folders, file alignment "
        << alignment << ", " << result.fileSize << " bytes\n";
    return true;
}

bool InspectImage(ByteSpan file, std::ostream& out, std::string* error, const uint32_t* fileChecksum)
{
    PackageView view;
    if (!ReadPackage(file, &view, error))
        return false;
    const PeImage& image = view.image;
    uint64_t field = image.optionalOffset + kOptCheckSum;
    uint32_t computed;
    if (fileChecksum) {
        computed = *fileChecksum;
    } else {
        PeChecksum sum;
        const uint8_t zero[4] = {};
        sum.Add(file.data, static_cast<size_t>(field));
        sum.Add(zero, 4);
        sum.Add(file.data + field + 4, file.size - static_cast<size_t>(field) - 4);
        computed = sum.Finish(file.size);
    }
    out << "image:     PE32, " << image.sections.size() << " sections, file alignment " << image.fileAlignment
        << ", " << file.size << " bytes, checksum " << Hex32(image.checkSum)
        << (image.checkSum == computed ? " (correct)" : " (should be " + Hex32(computed) + ")") << "\n";
    SignatureView signature = ReadSignature(file, image);
    out << "signed:    "
        << (!signature.present ? "no" : signature.problem.empty() ? "yes, by " + signature.signer
                                                                  : "unreadable: " + signature.problem)
        << "\n";
    out << "product:   " << Utf16ToUtf8(view.product) << "\n";
    out << "program:   " << Utf16ToUtf8(view.program) << "\n";
    std::string version = view.version.strings.count(u"FileVersion")
                              ? Utf16ToUtf8(view.version.strings[u"FileVersion"]) : std::string("(none)");
    out << "version:   " << version;
    if (view.version.hasFixed) {
        const uint16_t* v = view.version.fileVersion;
        out << " (" << v[0] << "." << v[1] << "." << v[2] << "." << v[3] << ")";
    }
    out << "\n";
    if (view.version.strings.count(u"LegalCopyright"))
        out << "legal:     " << Utf16ToUtf8(view.version.strings[u"LegalCopyright"]) << "\n";
    out << "publisher: " << (view.publisher.empty() ? "(none)" : Utf16ToUtf8(view.publisher)) << "\n";
    out << "uninstall: " << (view.uninstall.empty() ? "(none: no Apps & Features entry)" : Utf16ToUtf8(view.uninstall))
        << "\n";
    out << "terms:     " << view.termsLines << " lines, " << view.terms.size() << " characters\n";
    out << "folders:   " << view.folders.size() << "\n";
    for (size_t i = 0; i < view.folders.size(); ++i)
        out << "  " << IDS_SUBDIR_FIRST + i << "  " << Utf16ToUtf8(view.folders[i]) << "\n";
    uint64_t total = 0;
    for (const PayloadView& f : view.files)
        total += f.size;
    out << "files:     " << view.files.size() << ", " << total << " bytes\n";
    size_t width = 0;
    for (const PayloadView& f : view.files)
        width = std::max(width, Width(Utf16ToUtf8(f.listedName)));
    for (size_t i = 0; i < view.files.size(); ++i) {
        const PayloadView& f = view.files[i];
        std::string name = Utf16ToUtf8(f.listedName);
        std::string entry = f.numbered ? "numbered" : "by name " + f.madeName;
        if (!f.found)
            entry = "neither numbered nor by name " + f.madeName;
        else if (f.sameBytesAs != 0)
            entry += ", the bytes of " + std::to_string(f.sameBytesAs);
        out << "  " << IDS_FILE_FIRST + i << "  " << name << std::string(width - Width(name), ' ') << "  "
            << std::setw(10) << (f.found ? std::to_string(f.size) : std::string("missing")) << "  " << entry << "\n";
    }
    for (const std::string& note : view.notes)
        out << "note: " << note << "\n";
    return true;
}

namespace {

const char kUsage[] =
    "usage: setup-pack MANIFEST -o SETUP.EXE [--stub STUB] [--align 512|4096] [--search DIR]...\n"
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

}  // namespace

int RunSetupPack(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out,
                 std::ostream& err)
{
    std::string manifest, output, stub, inspect;
    std::vector<std::string> search;
    bool check = false;
    uint32_t alignment = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        } else if (a == "--version") {
            std::string stub = DefaultStub(selfPath);
            out << "setup-pack " SETUP_PACK_VERSION "\nstub: " << stub
                << (::access(stub.c_str(), R_OK) == 0 ? "\n" : " (missing: give one with --stub)\n");
            return 0;
        } else if ((a == "-o" || a == "--stub" || a == "--search" || a == "--align" || a == "--inspect") && !hasValue) {
            err << "setup-pack: " << a << " needs a value\n" << kUsage;
            return 2;
        } else if (a == "-o") {
            output = args[++i];
        } else if (a == "--stub") {
            stub = args[++i];
        } else if (a == "--search") {
            search.push_back(args[++i]);
        } else if (a == "--inspect") {
            inspect = args[++i];
        } else if (a == "--align") {
            std::string v = args[++i];
            if (v != "512" && v != "4096") {
                err << "setup-pack: --align takes 512 (compact) or 4096 (page-aligned)\n";
                return 2;
            }
            alignment = static_cast<uint32_t>(std::stoul(v));
        } else if (a == "--check") {
            check = true;
        } else if (!a.empty() && a[0] == '-') {
            err << "setup-pack: unknown option " << a << "\n" << kUsage;
            return 2;
        } else if (manifest.empty()) {
            manifest = a;
        } else {
            err << "setup-pack: one manifest at a time (" << manifest << ", " << a << ")\n";
            return 2;
        }
    }
    if (!inspect.empty()) {
        if (check || !manifest.empty() || !output.empty()) {
            err << "setup-pack: --inspect stands alone\n" << kUsage;
            return 2;
        }
        MappedFile file(inspect);
        std::string error;
        uint32_t peOffset = 0, checksum = 0;
        if (!file.ok()) {
            error = file.error();
        } else {
            ByteSpan span = file.span();
            if (span.size >= 0x40)
                std::memcpy(&peOffset, span.data + 0x3C, 4);
            uint64_t field = peOffset + 24ull + kOptCheckSum;
            bool streamed = field + 4 <= span.size && StreamChecksum(inspect, field, &checksum);
            if (InspectImage(span, out, &error, streamed ? &checksum : nullptr))
                return 0;
        }
        err << "setup-pack: " << inspect << ": " << error << "\n";
        return 1;
    }
    if (manifest.empty() || check == !output.empty()) {
        err << kUsage;
        return 2;
    }
    Diagnostics diags;
    Package package;
    if (!ReadManifest(manifest, search, &package, &diags) || check) {
        if (check && !diags.Failed())
            out << manifest << ": fine: " << package.files.size() << " files, " << package.folders.size()
                << " folders, " << package.payloadBytes << " bytes of payload\n";
        return Report(diags, err);
    }
    if (stub.empty())
        stub = DefaultStub(selfPath);
    BuildSetup(package, stub, alignment, output, out, &diags);
    return Report(diags, err);
}
