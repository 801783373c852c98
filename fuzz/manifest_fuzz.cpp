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
#include "package/resource_name.h"

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

// Windows-1252 upper case as the file system folds names.
unsigned char Upper1252(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<unsigned char>(c - 0x20);
    switch (c) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return c;
    }
}

std::string Upper(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(Upper1252(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// Names Windows keeps for devices: the part before the first dot, trailing spaces dropped.
bool IsDevice(const std::string& component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::string upper;
    for (char c : base)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    static const std::set<std::string> kDevices{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (kDevices.count(upper))
        return true;
    if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0)) {
        unsigned char d = static_cast<unsigned char>(upper[3]);
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;  // superscripts 1, 2, 3
    }
    return false;
}

// A name the setup can append to its destination and create as it stands on Windows.
bool ValidListedPath(const std::string& name, size_t maxLength)
{
    if (name.empty() || (maxLength && name.size() > maxLength) || name[0] == '\\')
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || std::string("<>:\"/|?*").find(static_cast<char>(c)) != std::string::npos)
            return false;
    }
    for (const std::string& part : Components(name)) {
        if (part.empty() || part == "." || part == ".." || part.back() == '.' || part.back() == ' ' ||
            IsDevice(part))
            return false;
    }
    return true;
}

std::string ModelMadeName(const std::string& listed)
{
    std::string made = listed;
    for (char& c : made) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
        else if (!(c >= 'A' && c <= 'Z'))
            c = '_';
    }
    return made;
}

void CheckListedName(const std::string& name)
{
    std::string why = CheckListedPath(name, kMaxListedName);
    bool valid = ValidListedPath(name, kMaxListedName);
    if (why.empty() != valid)
        ModelMismatch(("CheckListedPath of " + Visible(name) + " says: " + why).c_str(),
                      valid ? "accepted" : "refused", why.empty() ? "accepted" : "refused");
    if (name.find('\0') == std::string::npos) {
        ExpectSame("MadeName", ModelMadeName(name), MadeName(name));
        // The setup makes the entry name with its own rule; the builder's must agree with it.
        ExactBuffer setupSide = ExactText(name);
        MakeResourceName(setupSide.data());
        ExpectSame("MadeName against the setup's MakeResourceName, upper-cased", Upper(setupSide.data()),
                   Upper(MadeName(name)));
    }
}

std::vector<std::string> TermsLinesAsTheSetupShowsThem(const std::string& terms)
{
    std::vector<std::string> lines;
    ExactBuffer buffer = ExactText(terms);
    SplitTermsLines(buffer.data(), [](void* c, const char* line) {
        static_cast<std::vector<std::string>*>(c)->push_back(line);
    }, &lines);
    return lines;
}

// Accepted terms reach the setup whole, and every line of them shows in its list.
void CheckAcceptedTerms(const std::string& terms)
{
    if (terms.empty() || terms.size() > kMaxTerms || terms.back() != '\n')
        ModelMismatch("accepted terms hold 1 to 3332 characters and end in a line feed", "so",
                      terms.substr(0, 80));
    for (unsigned char c : terms) {
        if (c < 0x20 && c != '\t' && c != '\n')
            ModelMismatch("accepted terms hold no control character", "none", terms);
    }
    size_t feeds = 0;
    for (char c : terms)
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
    std::string converted;
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
        ExpectSame("ConvertTerms text", expected, converted);
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

// What the setup needs of any package the reader lets through.
void CheckAcceptedPackage(const Package& p)
{
    auto text = [](unsigned char c) { return c >= 0x20; };
    if (p.name.empty() || p.name.size() > kMaxProductText)
        ModelMismatch("accepted product name holds 1 to 47 characters", "so", p.name);
    for (unsigned char c : p.name) {
        if (!text(c))
            ModelMismatch("accepted product name holds no control character", "none", p.name);
    }
    if (p.program.size() > kMaxProductText || !ValidListedPath(p.program, 0))
        ModelMismatch("accepted program is a valid name of up to 47 characters", "so", p.program);
    uint16_t version[4];
    if (!ModelVersion(p.versionText, version))
        ModelMismatch("accepted version is 1 to 4 numbers up to 65535", "so", p.versionText);
    for (int i = 0; i < 4; ++i) {
        if (version[i] != p.version[i])
            ModelMismatch("version numbers", std::to_string(version[i]), std::to_string(p.version[i]));
    }
    CheckAcceptedTerms(p.terms);

    if (p.files.empty() || p.files.size() > kMaxFiles)
        ModelMismatch("accepted file list holds 1 to 55536 files", "so", std::to_string(p.files.size()));
    if (p.folders.size() > kMaxFolders)
        ModelMismatch("accepted folder list holds up to 1000 folders", "so", std::to_string(p.folders.size()));

    std::map<std::string, size_t> folderAt;
    for (size_t i = 0; i < p.folders.size(); ++i) {
        const std::string& folder = p.folders[i];
        if (!ValidListedPath(folder, 0))
            ModelMismatch("accepted folder is a valid name", "so", folder);
        if (!folderAt.emplace(Upper(folder), i).second)
            ModelMismatch("each folder is listed once", "once", folder);
        size_t cut = folder.rfind('\\');
        // The setup makes one level per entry: a parent must come first.
        if (cut != std::string::npos && !folderAt.count(Upper(folder.substr(0, cut))))
            ModelMismatch("a folder's parent is listed before it", folder.substr(0, cut), folder);
    }

    std::set<std::string> listed, stored;
    uint64_t payload = 0;
    for (const PackageFile& f : p.files) {
        if (!ValidListedPath(f.listed, kMaxListedName))
            ModelMismatch("accepted listed name is valid", "so", f.listed);
        if (!listed.insert(Upper(f.listed)).second)
            ModelMismatch("each listed name is listed once, whatever its case", "once", f.listed);
        ExpectSame("made name of an accepted file", ModelMadeName(f.listed), f.made);
        if (f.stored != (stored.count(f.made) == 0))
            ModelMismatch(("the first file of made name " + f.made + " is the one stored").c_str(),
                          stored.count(f.made) ? "not stored" : "stored", f.stored ? "stored" : "not stored");
        if (f.stored) {
            stored.insert(f.made);
            payload += f.size;
        }
        if (f.source.empty())
            ModelMismatch("an accepted file has a source", "a path", "");
        size_t cut = f.listed.rfind('\\');
        if (cut != std::string::npos && !folderAt.count(Upper(f.listed.substr(0, cut))))
            ModelMismatch("the folder of a listed file is created first", f.listed.substr(0, cut), f.listed);
        if (folderAt.count(Upper(f.listed)))
            ModelMismatch("no name is both a file and a folder", "distinct", f.listed);
    }
    if (payload != p.payloadBytes)
        ModelMismatch("payload bytes", std::to_string(payload), std::to_string(p.payloadBytes));
    bool uninstallListed = std::any_of(p.files.begin(), p.files.end(),
                                       [&](const PackageFile& f) { return f.listed == p.uninstall; });
    if (!p.uninstall.empty() && !uninstallListed)
        ModelMismatch("an accepted uninstaller is one of the listed names as listed", "listed", p.uninstall);
    if (p.publisher.size() > kMaxPublisher || std::find_if_not(p.publisher.begin(), p.publisher.end(), text) !=
                                                  p.publisher.end())
        ModelMismatch("an accepted publisher holds up to 127 characters and no control character", "so",
                      p.publisher);
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
        CheckListedName(line);
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            CheckListedName(line.substr(0, equals));
            CheckListedName(line.substr(equals + 1));
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
