// Fuzz target of setup-pack's manifest reader and its rules: any bytes as a manifest, as listed names and as terms.
#include <algorithm>
#include <cstdint>
#include <regex>
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
    for (size_t slash = text.find('/'); slash != std::string::npos; slash = text.find('/', slash + 1)) {
        size_t before = slash ? text.find_last_not_of(" \t\v\f\r", slash - 1) : std::string::npos;
        if (before == std::string::npos || std::string("=:\n").find(text[before]) != std::string::npos)
            return false;
    }
    return text.find("..") == std::string::npos;
}

// A text the setup can show and Windows can store: no control character but those allowed, no
// surrogate outside a pair.
bool Storable(const std::u16string& text, const std::u16string& allowed = u"")
{
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool paired = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if ((c < 0x20 && allowed.find(c) == allowed.npos) || (c >= 0xD800 && c <= 0xDFFF && !paired))
            return false;
        i += paired;
    }
    return true;
}

// Any name: refused in one line, or within its limit and without a component that is a name
// Windows keeps for a device; and letter case changes nothing.
void CheckListedName(const std::u16string& name, size_t maxLength)
{
    std::string why = CheckListedPath(name, maxLength);
    std::u16string upper = AsciiUpper(name);
    Expect("CheckListedPath of a name and of it in upper case agree", why.empty(),
           CheckListedPath(upper, maxLength).empty(), name);
    if (!why.empty())
        return ExpectOneLine("CheckListedPath refusal", why);
    bool device = false;
    for (const char16_t* reserved : {u"CON", u"PRN", u"AUX", u"NUL", u"COM1", u"LPT1"}) {
        for (size_t at = upper.find(reserved), end; at != upper.npos; at = upper.find(reserved, at + 1)) {
            end = at + std::char_traits<char16_t>::length(reserved);
            device = device || ((at == 0 || upper[at - 1] == u'\\') && (end == upper.size() || upper[end] == u'\\' ||
                                                                      upper[end] == u'.'));
        }
    }
    Expect("an accepted name is within its limit, no device", true, (!maxLength || name.size() <= maxLength) && !device,
           name);
}

// Accepted terms reach the setup whole, and every line of them shows in its list.
void CheckAcceptedTerms(const std::u16string& terms)
{
    Expect("accepted terms: 1 to kMaxTerms units, storable, a line feed at the end, every line shown", true,
           !terms.empty() && terms.size() <= kMaxTerms && terms.back() == '\n' && Storable(terms, u"\t\n") &&
               ShownLines(terms).size() == static_cast<size_t>(std::count(terms.begin(), terms.end(), u'\n')),
           terms);
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
    // What it made of them, given again as a file of its own (which may open with a byte-order
    // mark), comes out the same.
    ConvertTerms("\xEF\xBB\xBF" + Utf16ToUtf8(converted), "terms.txt", &again, &diags);
    Expect("ConvertTerms of its own result", converted, again);
}

// What the setup needs of any package the reader lets through.
void CheckAcceptedPackage(const Package& p)
{
    if (p.name.empty() || p.name.size() > kMaxProductText || p.program.size() > kMaxProductText ||
        p.publisher.size() > kMaxPublisher || p.files.empty() ||
        p.files.size() > kMaxFiles || p.folders.size() > kMaxFolders || p.versionText.size() >= kVersionTextCapacity)
        Fail("an accepted package is within the limits the setup reads it under", "so", Visible(p.name));
    CheckListedName(p.name, 0);
    CheckListedName(p.program, 0);
    Expect("accepted product texts are storable", true, Storable(p.name) && Storable(p.program) && Storable(p.publisher),
           p.name);
    CheckAcceptedTerms(p.terms);
    // The version's numbers as the standard library reads its text of 1 to 4 numbers with dots between.
    static const std::regex kVersion("(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?(?:\\.(\\d+))?");
    std::smatch numbers;
    Expect("an accepted version is 1 to 4 numbers with dots between", true, std::regex_match(p.versionText, numbers, kVersion));
    for (int i = 0; i < 4; ++i)
        Expect("a version number", numbers[i + 1].matched ? std::stoul(numbers[i + 1]) : 0ul,
               static_cast<unsigned long>(p.version[i]), std::u16string(p.versionText.begin(), p.versionText.end()));

    // The setup makes one folder level per entry: each name's parent must come before it.
    std::set<std::u16string> folders, names;
    auto checkName = [&](const std::u16string& name, size_t maxLength) {
        CheckListedName(name, maxLength);
        Expect("an accepted name is storable", true, Storable(name), name);
        size_t cut = name.rfind(u'\\');
        if (cut != std::u16string::npos && !folders.count(UpperCase(name.substr(0, cut))))
            Fail("a name's folder is listed before it", Visible(name.substr(0, cut)), Visible(name));
        Expect("each name is listed once, whatever its case", true, names.insert(UpperCase(name)).second, name);
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
        Expect("a file has a source and is stored, or shares an earlier stored file's bytes", true,
               !f.source.empty() && f.stored == (f.sameAs == i) && (f.stored || shares), f.listed);
        payload += f.stored ? f.size : 0;
    }
    Expect("payload bytes", payload, p.payloadBytes);
    Expect("an accepted uninstaller is one of the listed names as listed", true, p.uninstall.empty() ||
           std::any_of(p.files.begin(), p.files.end(), [&](const PackageFile& f) { return f.listed == p.uninstall; }));
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
        size_t equals = std::min(line.find('='), line.size());
        for (const std::string& name : {line, line.substr(0, equals), line.substr(std::min(equals + 1, line.size()))})
            CheckListedName(WideUnits(name), kMaxListedName);
    }
    return 0;
}
