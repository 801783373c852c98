// Fuzz target of setup-pack's manifest reader and its rules: any bytes as a manifest, as a listed name and as terms.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "manifest.h"
#include "model_check.h"
#include "dialogs/terms_lines.h"
#include "unicode.h"

namespace {

// Sources resolve against the sample product's folder, so a good manifest gets all the way
// through the file rules; inputs that could name anything outside it are set aside, since a
// manifest naming /dev/tty or a FIFO would wait for input, which is no fault of the reader.
const char kBaseDir[] = FUZZ_SAMPLE_DIR;

bool StaysInBaseDir(const std::string& text)
{
    if (text.find("..") != std::string::npos)
        return false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t separator = line.find_first_of("=:");
        if (separator != std::string::npos) {
            size_t value = separator + 1;
            while (value < line.size() && std::isspace(static_cast<unsigned char>(line[value])))
                ++value;
            if (value < line.size() && line[value] == '/')
                return false;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

// Case-blind as the builder compares names; the rules checked here are the structure around it.
std::u16string Upper(const std::u16string& text)
{
    return UpperCase(text);
}

std::vector<std::u16string> Components(const std::u16string& path)
{
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        parts.push_back(path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
        if (end == std::u16string::npos)
            return parts;
        start = end + 1;
    }
}

// Names Windows keeps for devices: the part before the first dot, trailing spaces dropped.
bool IsDevice(const std::u16string& component)
{
    std::u16string base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ')
        base.pop_back();
    std::u16string upper;
    for (char16_t c : base)
        upper += static_cast<char16_t>(c >= u'a' && c <= u'z' ? c - 32 : c);
    static const std::set<std::u16string> kDevices{u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    if (kDevices.count(upper))
        return true;
    if (upper.size() == 4 && (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0)) {
        char16_t d = upper[3];
        return (d >= u'0' && d <= u'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;  // superscripts 1, 2, 3
    }
    return false;
}

// A name the setup can append to its destination and create as it stands on Windows.
bool ValidListedPath(const std::u16string& name, size_t maxLength)
{
    if (name.empty() || (maxLength && name.size() > maxLength) || name[0] == u'\\')
        return false;
    for (char16_t c : name) {
        if (c < 0x20 || std::u16string(u"<>:\"/|?*").find(c) != std::u16string::npos)
            return false;
    }
    for (const std::u16string& part : Components(name)) {
        if (part.empty() || part == u"." || part == u".." || part.back() == u'.' || part.back() == u' ' ||
            IsDevice(part))
            return false;
    }
    return true;
}

void CheckListedName(const std::u16string& name)
{
    std::string why = CheckListedPath(name, kMaxListedName);
    bool valid = ValidListedPath(name, kMaxListedName);
    if (why.empty() != valid)
        ModelMismatch(("CheckListedPath of " + Visible(name) + " says: " + why).c_str(),
                      valid ? "accepted" : "refused", why.empty() ? "accepted" : "refused");
}

std::vector<std::u16string> TermsLinesAsTheSetupShowsThem(const std::u16string& terms)
{
    std::vector<std::u16string> lines;
    ExactBuffer buffer = ExactText(terms);
    SplitTermsLines(buffer.data(), [](void* c, const char16_t* line) {
        static_cast<std::vector<std::u16string>*>(c)->push_back(line);
    }, &lines);
    return lines;
}

// Accepted terms reach the setup whole, and every line of them shows in its list.
void CheckAcceptedTerms(const std::u16string& terms)
{
    if (terms.empty() || terms.size() > kMaxTerms || terms.back() != '\n')
        ModelMismatch("accepted terms hold 1 to kMaxTerms units and end in a line feed", "so",
                      Visible(terms.substr(0, 80)));
    for (char16_t c : terms) {
        if (c < 0x20 && c != '\t' && c != '\n')
            ModelMismatch("accepted terms hold no control character", "none", Visible(terms));
        if (c >= 0xD800 && c <= 0xDFFF)
            ModelMismatch("accepted terms hold no surrogate outside a pair", "none", Visible(terms));
    }
    size_t feeds = 0;
    for (char16_t c : terms)
        feeds += c == '\n';
    size_t shown = TermsLinesAsTheSetupShowsThem(terms).size();
    if (shown != feeds)
        ModelMismatch("every line of accepted terms shows in the setup's list", std::to_string(feeds) + " lines",
                      std::to_string(shown) + " lines");
}

// For plain ASCII terms the whole rule fits in a few lines: split at CR LF, CR or LF,
// drop empty lines at the end, and refuse empty or control-character lines and oversize.
void CheckTerms(const std::string& utf8)
{
    std::u16string converted;
    Diagnostics diags;
    bool ok = ConvertTerms(utf8, "terms.txt", &converted, &diags);
    ExpectSame("ConvertTerms result against its diagnostics", !diags.Failed(), ok);
    if (ok)
        CheckAcceptedTerms(converted);

    for (unsigned char c : utf8) {
        if (c >= 0x80)
            return;
    }
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\r' || utf8[i] == '\n') {
            lines.push_back(line);
            line.clear();
            if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')
                ++i;
        } else {
            line += utf8[i];
        }
    }
    if (!line.empty())
        lines.push_back(line);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    bool expectOk = !lines.empty();
    std::string expected;
    for (const std::string& l : lines) {
        if (l.empty())
            expectOk = false;
        for (unsigned char c : l) {
            if (c < 0x20 && c != '\t')
                expectOk = false;
        }
        expected += l + "\n";
    }
    if (expected.size() > kMaxTerms)
        expectOk = false;
    ExpectSame("ConvertTerms accepts these ASCII terms", expectOk, ok);
    if (ok)
        ExpectSame("ConvertTerms text", std::u16string(expected.begin(), expected.end()), converted);
}

bool ModelVersion(const std::string& text, uint16_t out[4])
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (parts.size() > 4)
        return false;
    for (size_t i = 0; i < 4; ++i)
        out[i] = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& p = parts[i];
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long value = std::stoul(p);
        if (value > 0xFFFF)
            return false;
        out[i] = static_cast<uint16_t>(value);
    }
    return true;
}

// A text the setup can show and Windows can store: no control character, no lone surrogate.
bool Storable(const std::u16string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (c < 0x20 || low || (high && (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)))
            return false;
        i += high;
    }
    return true;
}

// What the setup needs of any package the reader lets through.
void CheckAcceptedPackage(const Package& p)
{
    if (p.name.empty() || p.name.size() > kMaxProductText || !Storable(p.name))
        ModelMismatch("accepted product name holds 1 to kMaxProductText units, none a control or lone surrogate", "so",
                      Visible(p.name));
    if (p.program.size() > kMaxProductText || !ValidListedPath(p.program, 0) || !Storable(p.program))
        ModelMismatch("accepted program is a valid name of up to kMaxProductText units", "so", Visible(p.program));
    uint16_t version[4];
    if (!ModelVersion(p.versionText, version))
        ModelMismatch("accepted version is 1 to 4 numbers up to 65535", "so", p.versionText);
    for (int i = 0; i < 4; ++i) {
        if (version[i] != p.version[i])
            ModelMismatch("version numbers", std::to_string(version[i]), std::to_string(p.version[i]));
    }
    CheckAcceptedTerms(p.terms);

    if (p.files.empty() || p.files.size() > kMaxFiles)
        ModelMismatch("accepted file list holds 1 to kMaxFiles files", "so", std::to_string(p.files.size()));
    if (p.folders.size() > kMaxFolders)
        ModelMismatch("accepted folder list holds up to kMaxFolders folders", "so", std::to_string(p.folders.size()));

    std::map<std::u16string, size_t> folderAt;
    for (size_t i = 0; i < p.folders.size(); ++i) {
        const std::u16string& folder = p.folders[i];
        if (!ValidListedPath(folder, 0) || !Storable(folder))
            ModelMismatch("accepted folder is a valid name", "so", Visible(folder));
        if (!folderAt.emplace(Upper(folder), i).second)
            ModelMismatch("each folder is listed once", "once", Visible(folder));
        size_t cut = folder.rfind(u'\\');
        // The setup makes one level per entry: a parent must come first.
        if (cut != std::u16string::npos && !folderAt.count(Upper(folder.substr(0, cut))))
            ModelMismatch("a folder's parent is listed before it", Visible(folder.substr(0, cut)), Visible(folder));
    }

    std::set<std::u16string> listed;
    uint64_t payload = 0;
    for (size_t i = 0; i < p.files.size(); ++i) {
        const PackageFile& f = p.files[i];
        if (!ValidListedPath(f.listed, kMaxListedName) || !Storable(f.listed))
            ModelMismatch("accepted listed name is valid", "so", Visible(f.listed));
        if (!listed.insert(Upper(f.listed)).second)
            ModelMismatch("each listed name is listed once, whatever its case", "once", Visible(f.listed));
        // A file either holds its bytes or shares those of an earlier stored file of its size.
        bool shares = f.sameAs < i && p.files[f.sameAs].stored && p.files[f.sameAs].size == f.size;
        if (f.stored != (f.sameAs == i) || (!f.stored && !shares))
            ModelMismatch("a file is stored, or shares an earlier stored file's bytes", "so",
                          Visible(f.listed) + " same as " + std::to_string(f.sameAs));
        if (f.stored)
            payload += f.size;
        if (f.source.empty())
            ModelMismatch("an accepted file has a source", "a path", "");
        size_t cut = f.listed.rfind(u'\\');
        if (cut != std::u16string::npos && !folderAt.count(Upper(f.listed.substr(0, cut))))
            ModelMismatch("the folder of a listed file is created first", Visible(f.listed.substr(0, cut)),
                          Visible(f.listed));
        if (folderAt.count(Upper(f.listed)))
            ModelMismatch("no name is both a file and a folder", "distinct", Visible(f.listed));
    }
    if (payload != p.payloadBytes)
        ModelMismatch("payload bytes", std::to_string(payload), std::to_string(p.payloadBytes));
    bool uninstallListed = std::any_of(p.files.begin(), p.files.end(),
                                       [&](const PackageFile& f) { return f.listed == p.uninstall; });
    if (!p.uninstall.empty() && !uninstallListed)
        ModelMismatch("an accepted uninstaller is one of the listed names as listed", "listed", Visible(p.uninstall));
    if (p.publisher.size() > kMaxPublisher || !Storable(p.publisher))
        ModelMismatch("an accepted publisher is short enough and holds no control or lone surrogate", "so",
                      Visible(p.publisher));
}

void CheckManifest(const std::string& text)
{
    Package package;
    Diagnostics diags;
    bool ok = ReadManifestText(text, "fuzz.ini", kBaseDir, {}, &package, &diags);
    ExpectSame("ReadManifestText result against its diagnostics", !diags.Failed(), ok);
    for (const Diagnostic& d : diags.list) {
        if (d.where.empty() || d.text.empty())
            ModelMismatch("every diagnostic says where and what", "both", d.where + " / " + d.text);
        // One line each: a manifest must not be able to forge lines of the report.
        if (d.text.find('\n') != std::string::npos || d.where.find('\n') != std::string::npos)
            ModelMismatch("a diagnostic is one line", "no line break", d.where + ": " + d.text);
    }
    if (ok)
        CheckAcceptedPackage(package);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!StaysInBaseDir(text))
        return -1;
    CheckManifest(text);
    CheckTerms(text);
    // Every line, and each side of its first '=', as a listed name.
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        CheckListedName(WideUnits(line));
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            CheckListedName(WideUnits(line.substr(0, equals)));
            CheckListedName(WideUnits(line.substr(equals + 1)));
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
