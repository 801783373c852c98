// Fuzz target of setup-pack's manifest reader and its rules: any bytes as a manifest, as listed names and as terms.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include "manifest.h"
#include "model_check.h"
#include "unicode.h"

namespace {

// Sources resolve against the sample product's folder, so a good manifest gets all the way
// through the file rules; inputs that could name anything outside it are set aside, since a
// manifest naming /dev/tty or a FIFO would wait for input, which is no fault of the reader.
bool StaysInBaseDir(const std::string& text)
{
    if (text.find("..") != std::string::npos)
        return false;
    for (size_t slash = text.find('/'); slash != std::string::npos; slash = text.find('/', slash + 1)) {
        size_t before = slash ? text.find_last_not_of(" \t\v\f\r", slash - 1) : std::string::npos;
        if (before == std::string::npos || std::string("=:\n").find(text[before]) != std::string::npos)
            return false;
    }
    return true;
}

std::string AsciiUpper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A text the setup can show and Windows can store: no control character but those allowed,
// no surrogate outside a pair.
bool Storable(const std::u16string& text, const std::u16string& allowed = u"")
{
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        bool paired = high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if ((c < 0x20 && allowed.find(c) == std::u16string::npos) || low || (high && !paired))
            return false;
        i += paired;
    }
    return true;
}

// Any name the rules let through: one line of refusal otherwise; within its limit, storable, no
// component a name Windows keeps for a device, and letter case changes nothing.
void CheckListedName(const std::u16string& name, size_t maxLength)
{
    std::string why = CheckListedPath(name, maxLength);
    std::string upper = AsciiUpper(Utf16ToUtf8(name));
    if (!why.empty()) {
        ExpectOneLine("CheckListedPath refusal", why);
    } else if ((maxLength && name.size() > maxLength) || !Storable(name)) {
        Fail("an accepted listed name is within its limit and storable", "so", Visible(name));
    } else {
        for (const char* device : {"CON", "PRN", "AUX", "NUL", "COM1", "LPT1"}) {
            for (size_t at = 0; (at = upper.find(device, at)) != std::string::npos; ++at) {
                size_t end = at + std::strlen(device);
                if ((at == 0 || upper[at - 1] == '\\') && (end == upper.size() || upper[end] == '\\' || upper[end] == '.'))
                    Fail("an accepted listed name has no device name", "none", Visible(name));
            }
        }
    }
    std::u16string upperName = name;
    for (char16_t& c : upperName)
        c = c < 0x80 ? static_cast<char16_t>(std::toupper(c)) : c;
    Expect("CheckListedPath of a name and of it in upper case agree", why.empty(),
           CheckListedPath(upperName, maxLength).empty(), name);
}

// Accepted terms reach the setup whole, and every line of them shows in its list.
void CheckAcceptedTerms(const std::u16string& terms)
{
    if (terms.empty() || terms.size() > kMaxTerms || terms.back() != '\n' || !Storable(terms, u"\t\n"))
        Fail("accepted terms hold 1 to kMaxTerms units, storable, ending in a line feed", "so", Visible(terms));
    Expect("every line of accepted terms shows in the setup's list", std::count(terms.begin(), terms.end(), u'\n'),
           static_cast<std::ptrdiff_t>(ShownLines(terms).size()));
}

void CheckTerms(const std::string& utf8)
{
    std::u16string converted, again;
    Diagnostics diags;
    bool ok = ConvertTerms(utf8, "terms.txt", &converted, &diags);
    Expect("ConvertTerms result against its diagnostics", !diags.Failed(), ok);
    if (!ok)
        return;
    CheckAcceptedTerms(converted);
    // What it made of them, given again, comes out the same.
    Expect("ConvertTerms of its own result succeeds", true,
           ConvertTerms(Utf16ToUtf8(converted), "terms.txt", &again, &diags));
    Expect("ConvertTerms of its own result", converted, again);
}

// The version's numbers as the standard library reads its text.
void CheckVersion(const Package& p)
{
    const std::string& text = p.versionText;
    size_t parts = std::count(text.begin(), text.end(), '.') + 1;
    if (text.empty() || text.size() >= kVersionTextCapacity || parts > 4 || text.find_first_not_of("0123456789.") != text.npos ||
        text.front() == '.' || text.back() == '.' || text.find("..") != text.npos)
        Fail("an accepted version is 1 to 4 numbers and dots, within its capacity", "so", Visible(text));
    const char* at = text.c_str();
    for (int i = 0; i < 4; ++i, at += *at == '.') {
        char* end = const_cast<char*>(at);
        unsigned long number = i < static_cast<int>(parts) ? std::strtoul(at, &end, 10) : 0;
        Expect("a version number as strtoul reads it", number, static_cast<unsigned long>(p.version[i]),
               std::u16string(text.begin(), text.end()));
        at = end;
    }
}

// What the setup needs of any package the reader lets through.
void CheckAcceptedPackage(const Package& p)
{
    if (p.name.empty() || p.name.size() > kMaxProductText || p.program.size() > kMaxProductText ||
        p.publisher.size() > kMaxPublisher || !Storable(p.publisher))
        Fail("accepted product texts are within their limits", "so", Visible(p.name + u"|" + p.program));
    CheckListedName(p.name, 0);
    CheckListedName(p.program, 0);
    CheckVersion(p);
    CheckAcceptedTerms(p.terms);
    if (p.files.empty() || p.files.size() > kMaxFiles || p.folders.size() > kMaxFolders)
        Fail("accepted lists hold 1 to kMaxFiles files, up to kMaxFolders folders", "so",
             std::to_string(p.files.size()) + " files, " + std::to_string(p.folders.size()) + " folders");

    // The setup makes one folder level per entry: each name's parent must come before it.
    std::set<std::u16string> folders, names;
    auto checkName = [&](const std::u16string& name, size_t maxLength) {
        CheckListedName(name, maxLength);
        size_t cut = name.rfind(u'\\');
        if (cut != std::u16string::npos && !folders.count(UpperCase(name.substr(0, cut))))
            Fail("a name's folder is listed before it", Visible(name.substr(0, cut)), Visible(name));
        if (!names.insert(UpperCase(name)).second)
            Fail("each name is listed once, whatever its case", "once", Visible(name));
    };
    for (const std::u16string& folder : p.folders) {
        checkName(folder, 0);
        folders.insert(UpperCase(folder));
    }
    uint64_t payload = 0;
    for (size_t i = 0; i < p.files.size(); ++i) {
        const PackageFile& f = p.files[i];
        checkName(f.listed, kMaxListedName);
        // A file either holds its bytes or shares those of an earlier stored file of its size.
        bool shares = f.sameAs < i && p.files[f.sameAs].stored && p.files[f.sameAs].size == f.size;
        if (f.source.empty() || f.stored != (f.sameAs == i) || (!f.stored && !shares))
            Fail("a file has a source and is stored, or shares an earlier stored file's bytes", "so",
                 Visible(f.listed) + " same as " + std::to_string(f.sameAs));
        payload += f.stored ? f.size : 0;
    }
    Expect("payload bytes", payload, p.payloadBytes);
    if (!p.uninstall.empty() && std::none_of(p.files.begin(), p.files.end(),
                                             [&](const PackageFile& f) { return f.listed == p.uninstall; }))
        Fail("an accepted uninstaller is one of the listed names as listed", "listed", Visible(p.uninstall));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!StaysInBaseDir(text))
        return -1;
    Package package;
    Diagnostics diags;
    bool ok = ReadManifestText(text, "fuzz.ini", FUZZ_SAMPLE_DIR, {}, &package, &diags);
    Expect("ReadManifestText result against its diagnostics", !diags.Failed(), ok);
    for (const Diagnostic& d : diags.list) {
        // One line each: a manifest must not be able to forge lines of the report. A carriage
        // return of a value is still quoted as it stands, hence only line feeds.
        ExpectOneLine("a diagnostic's place", d.where, "\n");
        ExpectOneLine("a diagnostic", d.text, "\n");
    }
    if (ok)
        CheckAcceptedPackage(package);
    CheckTerms(text);
    // Every line, and each side of its first '=', as a listed name.
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t equals = line.find('=');
        CheckListedName(WideUnits(line), kMaxListedName);
        if (equals != std::string::npos) {
            CheckListedName(WideUnits(line.substr(0, equals)), kMaxListedName);
            CheckListedName(WideUnits(line.substr(equals + 1)), kMaxListedName);
        }
    }
    return 0;
}
