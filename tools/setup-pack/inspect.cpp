// Prints the --inspect report: the image and its signature, the package's texts and lists, each file's entry.
#include "inspect.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>

#include "bytes.h"
#include "execution_level.h"
#include "image_writer.h"
#include "package_view.h"
#include "resource.h"
#include "signature.h"
#include "unicode.h"

namespace {

// Characters, not bytes, so that columns line up with accented names.
size_t Width(const std::string& utf8)
{
    size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

uint32_t SumFile(ByteSpan file, const PeImage& image)
{
    uint64_t field = image.optionalOffset + kOptCheckSum;
    PeChecksum sum;
    const uint8_t zero[4] = {};
    sum.Add(file.data, static_cast<size_t>(field));
    sum.Add(zero, 4);
    sum.Add(file.data + field + 4, file.size - static_cast<size_t>(field) - 4);
    return sum.Finish(file.size);
}

void PrintImage(ByteSpan file, const PeImage& image, uint32_t computed, std::ostream& out)
{
    out << "image:     PE32, " << image.sections.size() << " sections, file alignment " << image.fileAlignment
        << ", " << file.size << " bytes, checksum " << Hex(image.checkSum, 8)
        << (image.checkSum == computed ? " (correct)" : " (should be " + Hex(computed, 8) + ")") << "\n";
    SignatureView signature = ReadSignature(file, image);
    out << "signed:    "
        << (!signature.present ? "no" : signature.problem.empty() ? "yes, by " + signature.signer
                                                                  : "unreadable: " + signature.problem)
        << "\n";
}

// A text from the image as it is, but for bytes that would break the report's lines.
std::string Shown(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text)
        shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : Hex(c, 2, "\\x");
    return shown;
}

// Who the setup installs for, and the level Windows reads from the manifest before it runs the setup.
void PrintScope(const PackageView& view, std::ostream& out)
{
    bool perUser = view.scope == u"" SCOPE_USER;
    out << "scope:     " << (view.scope.empty() ? "machine" : Utf16ToUtf8(view.scope)) << " (manifest: "
        << (view.executionLevel.empty() ? "none" : Shown(view.executionLevel));
    if (perUser && view.executionLevel != kLevelAsInvoker)
        out << "; not asInvoker: Windows asks for administrator rights";
    out << ")";
    if (!view.scope.empty() && !perUser)
        out << " (unknown: the setup reports the package as corrupt)";
    out << "\n";
}

void PrintTexts(const PackageView& view, std::ostream& out)
{
    const std::map<std::u16string, std::u16string>& strings = view.version.strings;
    out << "product:   " << Utf16ToUtf8(view.product) << "\n";
    out << "program:   " << Utf16ToUtf8(view.program) << "\n";
    auto version = strings.find(u"FileVersion");
    out << "version:   " << (version != strings.end() ? Utf16ToUtf8(version->second) : std::string("(none)"));
    if (view.version.hasFixed) {
        const uint16_t* v = view.version.fileVersion;
        out << " (" << v[0] << "." << v[1] << "." << v[2] << "." << v[3] << ")";
    }
    out << "\n";
    auto legal = strings.find(u"LegalCopyright");
    if (legal != strings.end())
        out << "legal:     " << Utf16ToUtf8(legal->second) << "\n";
    out << "publisher: " << (view.publisher.empty() ? "(none)" : Utf16ToUtf8(view.publisher)) << "\n";
    out << "uninstall: " << (view.uninstall.empty() ? "(none: no Apps & Features entry)" : Utf16ToUtf8(view.uninstall))
        << "\n";
    std::string architecture = view.architecture.empty() ? "x86" : Utf16ToUtf8(view.architecture);
    if (!view.architecture.empty() && view.architecture != u"" ARCHITECTURE_X64)
        architecture += " (unknown: the setup reports the package as corrupt)";
    out << "architecture: " << architecture << "\n";
    PrintScope(view, out);
    out << "terms:     " << view.termsLines << " lines, " << view.terms.size() << " characters\n";
}

// Whether the vendor signed the setup's built-in uninstaller: its last listed file, by string 504.
std::string UninstallerSignature(const PackageView& view)
{
    if (view.files.empty() || view.files.back().listedName != view.uninstall || !view.files.back().found)
        return "missing: it is not the last listed file with its payload entry";
    PeImage image;
    std::string error;
    if (!ReadPeImage(view.files.back().bytes, &image, &error))
        return "not an image: " + error;
    SignatureView signature = ReadSignature(view.files.back().bytes, image);
    return !signature.present ? "signed: no"
           : signature.problem.empty() ? "signed: yes, by " + signature.signer
                                       : "signed: unreadable: " + signature.problem;
}

// The built-in uninstaller: an uninstaller's own image says what it is, a setup carries one.
void PrintUninstaller(const PackageView& view, std::ostream& out)
{
    if (view.role == u"" ROLE_UNINSTALL)
        out << "role:      uninstall (the built-in uninstaller; record " << Utf16ToUtf8(view.record) << ")\n";
    else if (!view.role.empty())
        out << "role:      " << Utf16ToUtf8(view.role) << " (unknown)\n";
    else if (!view.record.empty())
        out << "uninstaller: built-in " << Utf16ToUtf8(view.uninstall) << ", " << UninstallerSignature(view) << "\n";
    out << "start menu: " << (view.startMenu.empty() ? "no" : "yes") << "\n";
}

void PrintFolders(const PackageView& view, std::ostream& out)
{
    out << "folders:   " << view.folders.size() << "\n";
    for (size_t i = 0; i < view.folders.size(); ++i)
        out << "  " << IDS_SUBDIR_FIRST + i << "  " << Utf16ToUtf8(view.folders[i]) << "\n";
}

// A size as a vendor reads it: in MiB or KiB when it is a whole number of them.
std::string SizeText(uint64_t bytes)
{
    return bytes != 0 && bytes % (1 << 20) == 0 ? std::to_string(bytes >> 20) + " MiB"
           : bytes != 0 && bytes % 1024 == 0  ? std::to_string(bytes >> 10) + " KiB"
                                              : std::to_string(bytes) + " bytes";
}

// The listed files' bytes, a twin's again.
uint64_t TotalSize(const PackageView& view)
{
    uint64_t total = 0;
    for (const PayloadView& f : view.files)
        total += f.size;
    return total;
}

// How the payload is kept, and whether every file is as its index records it.
void PrintPayload(const PackageView& view, std::ostream& out)
{
    uint64_t total = TotalSize(view);
    size_t damaged = 0, checked = 0;
    for (const PayloadView& f : view.files) {
        checked += f.checked ? 1 : 0;
        damaged += f.checked && !f.intact ? 1 : 0;
    }
    std::string state = checked < view.files.size() ? "the index is damaged"
                        : damaged                   ? std::to_string(damaged) + " of the files damaged"
                        : view.blockDamaged         ? "every file intact, but the block is damaged"
                                                    : "every file intact";
    out << "payload:   ";
    if (!view.indexed) {
        out << "stored, unchecked (no payload index: a package made before it)\n";
    } else if (view.layout == PAYLOAD_STORED) {
        out << "stored in numbered entries: " << state << "\n";
    } else if (view.layout == PAYLOAD_LZMA && checked == view.files.size()) {
        char share[16];
        std::snprintf(share, sizeof share, "%.1f", total ? 100.0 * view.blockSize / total : 0.0);
        out << "LZMA, one block of " << view.blockSize << " bytes for " << total << " bytes of files (" << share
            << " %), dictionary " << SizeText(view.dictionary) << ": " << state << "\n";
    } else {
        out << (view.layout == PAYLOAD_LZMA ? "LZMA" : "unknown layout " + std::to_string(view.layout)) << ": "
            << state << "\n";
    }
}

// Why a file is not as the index records it.
std::string Damage(const PayloadView& f)
{
    return !f.found                     ? "damaged: the block does not hold it whole"
           : f.size != f.recordedSize ? "damaged: the index records " + std::to_string(f.recordedSize) + " bytes"
                                        : "damaged: CRC-32C " + Hex(f.crc, 8) + " where the index records " +
                                              Hex(f.recordedCrc, 8);
}

// How the setup finds the file's bytes.
std::string EntryOf(const PackageView& view, const PayloadView& f)
{
    std::string status = !f.checked ? "" : f.intact ? ", intact" : ", " + Damage(f);
    if (view.indexed && view.layout == PAYLOAD_LZMA) {
        if (!f.checked)
            return "in the block, unread";
        std::string packed = std::to_string(f.packed);
        return "in the block " + std::string(10 - std::min<size_t>(10, packed.size()), ' ') + packed + status;
    }
    if (!f.found)
        return "neither numbered nor by name " + f.madeName;
    std::string entry = f.numbered ? "numbered" : "by name " + f.madeName;
    entry = f.sameBytesAs != 0 ? entry + ", the bytes of " + std::to_string(f.sameBytesAs) : entry;
    return f.intact ? entry : entry + status;  // stored files the index vouches for keep their line as it was
}

void PrintFiles(const PackageView& view, std::ostream& out)
{
    size_t width = 0;
    for (const PayloadView& f : view.files)
        width = std::max(width, Width(Utf16ToUtf8(f.listedName)));
    out << "files:     " << view.files.size() << ", " << TotalSize(view) << " bytes\n";
    for (size_t i = 0; i < view.files.size(); ++i) {
        const PayloadView& f = view.files[i];
        std::string name = Utf16ToUtf8(f.listedName);
        out << "  " << IDS_FILE_FIRST + i << "  " << name << std::string(width - Width(name), ' ') << "  "
            << std::setw(10) << (f.found || (f.checked && view.layout == PAYLOAD_LZMA) ? std::to_string(f.size) : "missing")
            << "  " << EntryOf(view, f) << "\n";
    }
}

}  // namespace

bool InspectImage(ByteSpan file, std::ostream& out, std::string* error, const uint32_t* fileChecksum)
{
    PackageView view;
    if (!ReadPackage(file, &view, error))
        return false;
    PrintImage(file, view.image, fileChecksum ? *fileChecksum : SumFile(file, view.image), out);
    PrintTexts(view, out);
    PrintUninstaller(view, out);
    PrintFolders(view, out);
    PrintPayload(view, out);
    PrintFiles(view, out);
    for (const std::string& note : view.notes)
        out << "note: " << note << "\n";
    return true;
}
