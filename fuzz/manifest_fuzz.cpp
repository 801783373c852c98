// Fuzz target of setup-pack's manifest reader and its rules: any bytes as a manifest and as terms.
#include <set>
#include "dialogs/terms_lines.h"
#include "manifest.h"
#include "model_check.h"
#include "unicode.h"

namespace {

// Sources resolve in the sample product's folder; a manifest that could name a file outside it
// is set aside, since one naming /dev/tty or a FIFO would wait for input.
bool StaysInBaseDir(const std::string& text)
{
    for (size_t slash = text.find('/'); slash != std::string::npos; slash = text.find('/', slash + 1)) {
        size_t before = slash ? text.find_last_not_of(" \t\v\f\r", slash - 1) : std::string::npos;
        if (before == std::string::npos || std::string("=:\n").find(text[before]) != std::string::npos)
            return false;
    }
    return text.find("..") == std::string::npos;
}

// A text the setup can show and Windows can store: no control character but those allowed, no lone surrogate.
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

// Accepted terms reach the setup whole: its list shows every line of them, and the text converted
// again, as a file of its own with a byte-order mark, comes out the same.
void CheckTerms(const std::string& utf8)
{
    std::u16string terms, again;
    Diagnostics diags;
    bool ok = ConvertTerms(utf8, "terms.txt", &terms, &diags);
    Expect("ConvertTerms result against its diagnostics", ok == !diags.Failed());
    if (!ok)
        return;
    ExactBuffer buffer(terms);
    std::u16string shown;
    SplitTermsLines(buffer.data(), [](void* context, const char16_t* line) {
        *static_cast<std::u16string*>(context) += std::u16string(line) + u"\n";
    }, &shown);
    Expect("accepted terms: 1 to kMaxTerms units, storable, a line feed at the end, every line shown",
           !terms.empty() && terms.size() <= kMaxTerms && terms.back() == '\n' && Storable(terms, u"\t\n") &&
               shown == terms, terms);
    ConvertTerms("\xEF\xBB\xBF" + Utf16ToUtf8(terms), "terms.txt", &again, &diags);
    ExpectSame("ConvertTerms of its own result", terms, again);
}

// What the setup needs of any package the reader lets through.
void CheckAcceptedPackage(const Package& p)
{
    Expect("an accepted package is within the limits the setup reads it under, its texts storable",
           !p.name.empty() && p.name.size() <= kMaxProductText && p.program.size() <= kMaxProductText &&
               p.publisher.size() <= kMaxPublisher && !p.files.empty() && p.files.size() <= kMaxFiles &&
               p.folders.size() <= kMaxFolders && p.versionText.size() < kVersionTextCapacity &&
               Storable(p.name) && Storable(p.program) && Storable(p.publisher), p.name);
    CheckTerms(Utf16ToUtf8(p.terms));

    // The setup makes one folder level per entry: each name's parent comes before it, and no name twice.
    std::set<std::u16string> folders, names;
    auto checkName = [&](const std::u16string& name, size_t maxLength) {
        size_t cut = name.rfind(u'\\');
        Expect("an accepted name passes the rules, in upper case too, is storable, listed once, after its folder",
               CheckListedPath(name, maxLength).empty() && CheckListedPath(AsciiUpper(name), maxLength).empty() &&
                   Storable(name) && names.insert(UpperCase(name)).second &&
                   (cut == name.npos || folders.count(UpperCase(name.substr(0, cut)))), name);
    };
    for (const std::u16string& folder : p.folders) {
        checkName(folder, 0);
        folders.insert(UpperCase(folder));
    }
    uint64_t payload = 0;
    for (size_t i = 0; i < p.files.size(); ++i) {
        const PackageFile& f = p.files[i];
        checkName(f.listed, kMaxListedName);
        bool shares = f.sameAs < i && p.files[f.sameAs].stored && p.files[f.sameAs].size == f.size;
        Expect("a file has a source and is stored, or shares an earlier stored file's bytes",
               !f.source.empty() && f.stored == (f.sameAs == i) && (f.stored || shares), f.listed);
        payload += f.stored ? f.size : 0;
    }
    Expect("payload bytes are the stored files' sizes", payload == p.payloadBytes);
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
    Expect("ReadManifestText result against its diagnostics", ok == !diags.Failed());
    // One line each, so that a manifest cannot forge lines of the report; a carriage return in a
    // value is quoted as it stands.
    for (const Diagnostic& d : diags.list) {
        ExpectOneLine("a diagnostic's place", d.where, "\n");
        ExpectOneLine("a diagnostic", d.text, "\n");
    }
    if (ok)
        CheckAcceptedPackage(package);
    CheckTerms(text);
    return 0;
}
