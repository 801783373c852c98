// Reads the manifest with inih, converts its texts to UTF-16 and checks what the setup needs of a package.
#include "manifest.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include <ini.h>

#include "bytes.h"
#include "image_writer.h"
#include "sources.h"
#include "unicode.h"

namespace {

const size_t kMaxManifestLine = 16 << 10;
const uint64_t kMaxTermsFile = 1 << 20;

std::string Quote(const std::u16string& text)
{
    std::u16string shown;
    for (char16_t c : text) {
        std::string code = c < 0x20 ? Hex(c, 2, "\\x") : std::string();
        if (code.empty())
            shown += c;
        else
            shown.append(code.begin(), code.end());
    }
    return "\"" + Utf16ToUtf8(shown) + "\"";
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

bool IsDeviceName(const std::u16string& component)
{
    // The part before the first dot, trailing spaces dropped, is what Windows compares.
    std::u16string base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ')
        base.pop_back();
    base = UpperCase(base);
    for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (base == device)
            return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0)) {
        char16_t digit = base[3];
        return (digit >= u'0' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

// The raw lines handed to inih, counted, so that every key can be traced to its line.
struct Reader {
    std::vector<std::string> lines;
    size_t next = 0, offset = 0;
    int current = 0;  // 1-based line inih is reading
};

char* ReadLine(char* buffer, int room, void* stream)
{
    Reader* r = static_cast<Reader*>(stream);
    if (r->next >= r->lines.size() || room < 2)
        return nullptr;
    if (r->offset == 0)
        r->current = static_cast<int>(r->next) + 1;
    const std::string& line = r->lines[r->next];
    size_t n = std::min(line.size() - r->offset, static_cast<size_t>(room - 1));
    std::memcpy(buffer, line.data() + r->offset, n);
    buffer[n] = '\0';
    r->offset += n;
    if (r->offset == line.size()) {
        r->next++;
        r->offset = 0;
    }
    return buffer;
}

struct RawEntry {
    std::string key, value;
    int line;
};

// The manifest as inih hands it over, with where its sources are looked for.
struct Collector {
    Reader* reader;
    std::string file, baseDir;
    const std::vector<std::string>* searchDirs;
    Diagnostics* diags;
    std::map<std::string, RawEntry> product;
    std::vector<RawEntry> folders, files;
    std::map<std::string, bool> badSections;

    std::string Where(int line) const { return file + ":" + std::to_string(line); }
};

int OnEntry(void* user, const char* section, const char* name, const char* value)
{
    Collector* c = static_cast<Collector*>(user);
    int line = c->reader->current;
    std::string where = c->Where(line);
    std::string s = Lower(section), key = name;
    const std::string& raw = c->reader->lines[line - 1];
    size_t separator = raw.find_first_of("=:");
    if (separator != std::string::npos && raw[separator] == ':') {
        c->diags->Error(where, "the name before ':' is cut there (':' separates names from values here and "
                               "Windows forbids it in names); write 'name = value'");
        return 1;
    }
    if (key.empty()) {
        c->diags->Error(where, "a value without a name; write 'name = value'");
        return 1;
    }
    if (s == "product") {
        std::string k = Lower(key);
        if (k != "name" && k != "program" && k != "version" && k != "legal" && k != "terms" && k != "publisher" &&
            k != "uninstall" && k != "uninstaller" && k != "startmenu" && k != "architecture" && k != "scope" &&
            k != "compression") {
            c->diags->Error(where, "unknown key '" + key + "' in [product]; expected name, program, version, legal, "
                                   "terms, publisher, uninstall, uninstaller, startmenu, architecture, scope or "
                                   "compression");
        } else if (c->product.count(k)) {
            c->diags->Error(where, "'" + k + "' is given twice (first at line " +
                                   std::to_string(c->product[k].line) + "); keep one");
        } else {
            c->product[k] = RawEntry{key, value, line};
        }
    } else if (s == "folders") {
        if (Lower(key) != "folder")
            c->diags->Error(where, "unknown key '" + key + "' in [folders]; write 'folder = Path\\Of\\Folder'");
        else
            c->folders.push_back(RawEntry{key, value, line});
    } else if (s == "files") {
        c->files.push_back(RawEntry{key, value, line});
    } else if (!c->badSections[s]) {
        c->badSections[s] = true;
        c->diags->Error(where, s.empty() ? "'" + key + "' stands before any section; put it under [product], "
                                           "[folders] or [files]"
                                         : "unknown section [" + std::string(section) +
                                               "]; expected [product], [folders] or [files]");
    }
    return 1;
}

std::string Directory(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The setup reads the text back for its Apps & Features entry.
static_assert(kVersionTextCapacity > 4 * 5 + 3, "four numbers of five digits and three dots must arrive whole");

bool ParseVersion(const std::string& text, uint16_t out[4])
{
    std::string part;
    int count = 0;
    for (int i = 0; i < 4; ++i)
        out[i] = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t dot = text.find('.', start);
        part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(part) > 0xFFFF || count == 4)
            return false;
        out[count++] = static_cast<uint16_t>(std::stoul(part));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return count > 0;
}

// How long a text is as the setup counts it: in UTF-16 units, which differ from characters
// only beyond U+FFFF.
std::string LengthOf(const std::u16string& text)
{
    size_t pairs = 0;
    for (char16_t c : text)
        pairs += c >= 0xDC00 && c <= 0xDFFF;
    return std::to_string(text.size()) + (pairs ? " UTF-16 units (a character beyond U+FFFF takes two)"
                                                : " characters");
}

std::string TooLong(const std::u16string& text, size_t maxLength)
{
    return "is " + LengthOf(text) + " long; the setup reads at most " + std::to_string(maxLength) +
           ", so shorten it";
}

// A product text: present, in UTF-8, without control characters, within length.
bool ProductText(Collector& c, const std::string& key, size_t maxLength, bool required, std::u16string* out)
{
    auto found = c.product.find(key);
    if (found == c.product.end()) {
        if (required)
            c.diags->Error(c.file, "[product] has no '" + key + "'; add '" + key + " = ...'");
        return false;
    }
    std::string where = c.Where(found->second.line), problem;
    if (!Utf8ToUtf16(found->second.value, out, &problem)) {
        c.diags->Error(where, key + " " + problem);
        return false;
    }
    for (char16_t ch : *out) {
        if (ch < 0x20) {
            c.diags->Error(where, key + " holds a control character; remove it");
            return false;
        }
    }
    if (required && out->empty()) {
        c.diags->Error(where, key + " is empty; the setup stops when it has none");
        return false;
    }
    if (maxLength && out->size() > maxLength) {
        c.diags->Error(where, key + " " + TooLong(*out, maxLength));
        return false;
    }
    return true;
}

// A key of two values in either letter case, the default first: whether the other was chosen. Any other
// value is an error at its line, with the advice.
bool ReadChoice(Collector& c, const char* key, const std::string& standard, const std::string& other,
                const std::string& advice)
{
    std::u16string text;
    if (!ProductText(c, key, 0, false, &text))
        return false;
    std::string value = Lower(Utf16ToUtf8(text));
    if (value != standard && value != other)
        c.diags->Error(c.Where(c.product[key].line), std::string(key) + " " + Quote(text) + " is neither " + standard +
                                                         " nor " + other + "; " + advice);
    return value == other;
}

// The lines inih reads, each kept with its line end; a line with a NUL byte or over the
// limit is reported and read as an empty one, so that the lines after it keep their numbers.
Reader SplitLines(const std::string& text, const std::string& displayName, Diagnostics* diags)
{
    Reader reader;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
        at = end == std::string::npos ? text.size() : end + 1;
        int number = static_cast<int>(reader.lines.size()) + 1;
        if (line.find('\0') != std::string::npos) {
            diags->Error(displayName + ":" + std::to_string(number), "the line holds a NUL byte; remove it");
            line = "\n";
        } else if (line.size() > kMaxManifestLine) {
            diags->Error(displayName + ":" + std::to_string(number), "the line is longer than " +
                                                                        std::to_string(kMaxManifestLine) + " bytes");
            line = "\n";
        }
        reader.lines.push_back(line);
    }
    return reader;
}

void ParseIni(Collector* c)
{
    // The library's settings are process-wide; set them for each read.
    ini_use_stack = false;
    ini_allow_realloc = true;
    ini_max_line = static_cast<int>(kMaxManifestLine) + 3;
    ini_allow_multiline = false;
    ini_allow_inline_comments = true;
    ini_allow_no_value = false;
    ini_stop_on_first_error = false;
    ini_allow_bom = true;
    int bad = ini_parse_stream(ReadLine, c->reader, OnEntry, c);
    if (bad > 0)
        c->diags->Error(c->Where(bad), "expected '[section]' or 'name = value'");
    else if (bad < 0)
        c->diags->Error(c->file, "out of memory while reading");
}

void ReadProductTexts(Collector& c, Package* out)
{
    if (ProductText(c, "name", kMaxProductText, true, &out->name)) {
        std::string why = CheckListedPath(out->name, 0);
        if (!why.empty() || out->name.find(u'\\') != std::u16string::npos)
            c.diags->Warning(c.Where(c.product["name"].line),
                             "the product name is also the default destination folder, and as a folder name it " +
                                 (why.empty() ? std::string("holds a backslash") : why));
    }
    if (ProductText(c, "program", kMaxProductText, true, &out->program)) {
        std::string why = CheckListedPath(out->program, 0);
        if (!why.empty())
            c.diags->Error(c.Where(c.product["program"].line), "program " + Quote(out->program) + " " + why);
    }
    std::u16string version;
    if (ProductText(c, "version", 0, true, &version) &&
        !ParseVersion(out->versionText = Utf16ToUtf8(version), out->version))
        c.diags->Error(c.Where(c.product["version"].line),
                       "version " + Quote(version) + " is not 1 to 4 numbers up to 65535 joined by dots, "
                       "such as 7.0 or 7.0.2.15");
    if (!ProductText(c, "legal", 0, false, &out->legal) && !c.product.count("legal"))
        c.diags->Warning(c.file, "[product] has no 'legal'; the version block's legal notice stays empty");
}

void ReadTerms(Collector& c, Package* out)
{
    std::u16string termsName;
    if (!ProductText(c, "terms", 0, true, &termsName))
        return;
    std::string path = Resolve(c.product["terms"].value, c.baseDir, *c.searchDirs);
    uint64_t termsSize = 0;
    std::string problem;
    bool regular = ProbeSource(path, &termsSize, &problem);
    std::ifstream in;
    if (regular)
        in.open(path, std::ios::binary);
    if (!regular || !in) {
        c.diags->Error(c.Where(c.product["terms"].line), "cannot read the terms file " + path + ": " +
                                                             (regular ? std::strerror(errno) : problem));
        return;
    }
    std::string body((kMaxTermsFile + 1), '\0');
    in.read(&body[0], static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<size_t>(in.gcount()));
    if (body.size() > kMaxTermsFile)
        c.diags->Error(path, "the terms file is over 1 MiB; the setup reads at most " + std::to_string(kMaxTerms) +
                                 " characters");
    else
        ConvertTerms(body, path, &out->terms, c.diags);
}

// The folders the setup makes, each once whatever its letter case, parents first.
struct FolderList {
    std::vector<std::u16string>* folders;
    std::map<std::u16string, int> seen;  // upper-case folder -> line that needs it

    void Add(const std::u16string& folder, int line)
    {
        if (seen.emplace(UpperCase(folder), line).second)
            folders->push_back(folder);
    }

    void AddParents(const std::u16string& path, int line)
    {
        for (size_t cut = path.find(u'\\'); cut != std::u16string::npos; cut = path.find(u'\\', cut + 1))
            Add(path.substr(0, cut), line);
    }
};

// The listed name of a [files] line: valid, and not listed before in any letter case.
bool ReadListedName(Collector& c, const RawEntry& raw, const std::map<std::u16string, size_t>& byUpper,
                    const Package& package, std::u16string* listed)
{
    std::string where = c.Where(raw.line), problem;
    if (!Utf8ToUtf16(raw.key, listed, &problem)) {
        c.diags->Error(where, "the listed name " + problem);
        return false;
    }
    std::string why = CheckListedPath(*listed, kMaxListedName);
    if (!why.empty()) {
        c.diags->Error(where, "the listed name " + Quote(*listed) + " " + why);
        return false;
    }
    auto earlier = byUpper.find(UpperCase(*listed));
    if (earlier != byUpper.end()) {
        c.diags->Error(where, Quote(*listed) + " is listed already at line " +
                                  std::to_string(package.files[earlier->second].line) +
                                  " (letter case does not tell names apart on Windows); list it once");
        return false;
    }
    return true;
}

bool ReadSource(Collector& c, const RawEntry& raw, PackageFile* file)
{
    std::string where = c.Where(raw.line), problem;
    if (raw.value.empty()) {
        c.diags->Error(where, "no source file; write '" + raw.key + " = path/to/file'");
        return false;
    }
    file->source = Resolve(raw.value, c.baseDir, *c.searchDirs);
    if (!ProbeSource(file->source, &file->size, &problem)) {
        std::string looked = c.baseDir;
        for (const std::string& dir : *c.searchDirs)
            looked += ", " + dir;
        c.diags->Error(where, "cannot read the source file " + raw.value + " (" + problem + "; looked in " + looked +
                                  ")");
        return false;
    }
    return true;
}

// Files: names, sources, duplicates and shared bytes.
void ReadFiles(Collector& c, FolderList* folders, std::map<std::u16string, size_t>* byUpper, Package* out)
{
    SameBytes sameBytes;
    for (const RawEntry& raw : c.files) {
        PackageFile file;
        file.line = raw.line;
        if (!ReadListedName(c, raw, *byUpper, *out, &file.listed))
            continue;
        folders->AddParents(file.listed, raw.line);
        if (!ReadSource(c, raw, &file))
            continue;
        (*byUpper)[UpperCase(file.listed)] = out->files.size();
        out->files.push_back(file);
        PackageFile& added = out->files.back();
        added.sameAs = sameBytes.Find(out->files, out->files.size() - 1);
        added.stored = added.sameAs == out->files.size() - 1;
        out->payloadBytes += added.stored ? added.size : 0;
    }
}

void ReadFolders(Collector& c, FolderList* folders)
{
    for (const RawEntry& raw : c.folders) {
        std::u16string folder;
        std::string where = c.Where(raw.line), problem;
        if (!Utf8ToUtf16(raw.value, &folder, &problem)) {
            c.diags->Error(where, "the folder " + problem);
            continue;
        }
        std::string why = CheckListedPath(folder, 0);
        if (!why.empty()) {
            c.diags->Error(where, "the folder " + Quote(folder) + " " + why);
            continue;
        }
        folders->AddParents(folder, raw.line);
        folders->Add(folder, raw.line);
    }
}

// What the two lists must be as a whole: no name both a file and a folder, each within its ids.
void CheckLists(Collector& c, const FolderList& folders, const std::map<std::u16string, size_t>& byUpper,
                const Package& out)
{
    for (const PackageFile& file : out.files) {
        auto clash = folders.seen.find(UpperCase(file.listed));
        if (clash != folders.seen.end())
            c.diags->Error(c.Where(file.line), Quote(file.listed) + " is listed as a file, but line " +
                                                   std::to_string(clash->second) + " needs a folder of that name");
    }
    if (c.files.empty())
        c.diags->Error(c.file, "[files] lists no files; add 'Name.ext = path/to/file' lines");
    size_t listed = out.files.size() + c.product.count("uninstaller");  // the built-in uninstaller comes last
    if (listed > kMaxFiles)
        c.diags->Error(c.file, std::to_string(listed) + " files" +
                                   (c.product.count("uninstaller") ? " with the built-in uninstaller" : "") +
                                   "; the file list has room for " + std::to_string(kMaxFiles));
    if (out.folders.size() > kMaxFolders)
        c.diags->Error(c.file, std::to_string(out.folders.size()) + " folders; the folder list holds at most " +
                                   std::to_string(kMaxFolders) + " (strings " + std::to_string(IDS_SUBDIR_FIRST) +
                                   " on, with the one before " + std::to_string(IDS_FILE_FIRST) +
                                   " left empty to end it), so list fewer folders");
    if (!out.program.empty() && !byUpper.count(UpperCase(out.program)))
        c.diags->Warning(c.Where(c.product["program"].line), "program " + Quote(out.program) +
                                                                 " is not among the listed files: starting it after "
                                                                 "the install would fail");
}

// The Apps & Features entry is a registry key named after the product.
void CheckEntryKey(Collector& c, const Package& out)
{
    if (out.name.find(u'\\') != std::u16string::npos)
        c.diags->Error(c.Where(c.product["name"].line),
                       "the product name names the Apps & Features entry's registry key, where a backslash would "
                       "make a key of its own under another name; remove the backslash");
}

// A vendor's own uninstaller: one of the listed names (a listed file with a fault of its own
// has its own error), kept as [files] spells it.
void ReadListedUninstaller(Collector& c, Package* out)
{
    std::u16string uninstall;
    if (!ProductText(c, "uninstall", 0, false, &uninstall))
        return;
    CheckEntryKey(c, *out);
    std::u16string wanted = UpperCase(uninstall), listed;
    std::string problem;
    for (const RawEntry& raw : c.files) {
        if (Utf8ToUtf16(raw.key, &listed, &problem) && UpperCase(listed) == wanted) {
            out->uninstall = listed;
            return;
        }
    }
    c.diags->Error(c.Where(c.product["uninstall"].line),
                   "uninstall " + Quote(uninstall) + " is not among the listed files; name the uninstaller as "
                   "[files] lists it, or list it there");
}

// What a name the setup writes at the top of the destination would meet: a listed file or a
// needed folder of that name in any letter case; empty when it meets neither.
std::string ClashOf(const std::u16string& name, const FolderList& folders,
                    const std::map<std::u16string, size_t>& byUpper, const Package& out)
{
    auto file = byUpper.find(UpperCase(name));
    if (file != byUpper.end())
        return "a listed file (line " + std::to_string(out.files[file->second].line) + ")";
    auto folder = folders.seen.find(UpperCase(name));
    if (folder != folders.seen.end())
        return "a folder that line " + std::to_string(folder->second) + " needs";
    return "";
}

// The built-in uninstaller: a program at the top of the destination, with its record beside it
// under the same name ending in .dat; the setup writes both, so no listed name may take either.
void ReadBuiltInUninstaller(Collector& c, const FolderList& folders, const std::map<std::u16string, size_t>& byUpper,
                            Package* out)
{
    std::u16string name;
    if (!ProductText(c, "uninstaller", 0, false, &name))
        return;
    std::string where = c.Where(c.product["uninstaller"].line);
    if (c.product.count("uninstall")) {
        c.diags->Error(where, "'uninstaller' makes the built-in uninstaller and 'uninstall' names a listed one of "
                              "your own; keep one of them");
        return;
    }
    CheckEntryKey(c, *out);
    std::string why = CheckListedPath(name, kMaxListedName), clash = ClashOf(name, folders, byUpper, *out);
    if (why.empty() && name.find(u'\\') != std::u16string::npos)
        why = "is in a folder; the built-in uninstaller goes at the top of the destination, so give a plain file name";
    else if (why.empty() && (name.size() < 4 || UpperCase(name.substr(name.size() - 4)) != u".EXE"))
        why = "does not end in .exe; the built-in uninstaller is a program, so name it such as Uninstall.exe";
    else if (why.empty() && !clash.empty())
        why = "is also the name of " + clash + "; the setup writes the built-in uninstaller under it, so rename "
              "one of them";
    if (!why.empty()) {
        c.diags->Error(where, "uninstaller " + Quote(name) + " " + why);
        return;
    }
    std::u16string record = name.substr(0, name.size() - 4) + u".dat";
    clash = ClashOf(record, folders, byUpper, *out);
    if (!clash.empty()) {
        c.diags->Error(where, "the uninstaller's record " + Quote(record) + " (its name with .dat for .exe) is also "
                              "the name of " + clash + "; rename one of them");
        return;
    }
    out->uninstall = name;
    out->record = record;
}

// A Start menu entry that nothing removes would outlive the product: only the built-in
// uninstaller knows of it.
void ReadStartMenu(Collector& c, Package* out)
{
    std::u16string value;
    if (!ProductText(c, "startmenu", 0, false, &value))
        return;
    std::string where = c.Where(c.product["startmenu"].line), choice = Lower(Utf16ToUtf8(value));
    if (choice != "yes" && choice != "no")
        c.diags->Error(where, "startmenu " + Quote(value) + " is neither yes nor no");
    else if (choice == "yes" && !c.product.count("uninstaller"))
        c.diags->Error(where, "the Start menu entry is removed only by the built-in uninstaller; add "
                              "'uninstaller = Uninstall.exe', or leave the entry out");
    else
        out->startMenu = choice == "yes";
}

// The Apps & Features keys: the publisher shown, and the uninstaller, a listed file or built in.
void ReadUninstallEntry(Collector& c, const FolderList& folders, const std::map<std::u16string, size_t>& byUpper,
                        Package* out)
{
    bool entry = c.product.count("uninstall") || c.product.count("uninstaller");
    if (ProductText(c, "publisher", kMaxPublisher, false, &out->publisher) && !entry)
        c.diags->Warning(c.Where(c.product["publisher"].line),
                         "the publisher is shown only in the Apps & Features entry, which a package gets with "
                         "'uninstaller' or 'uninstall'; add one of them or drop the publisher");
    ReadBuiltInUninstaller(c, folders, byUpper, out);
    if (!c.product.count("uninstaller"))
        ReadListedUninstaller(c, out);
    ReadStartMenu(c, out);
}

// A first look at the size; the builder checks the exact image against the same limit. A compressed
// package's image is known only once it is compressed, but its index records each size in 32 bits.
void CheckImageSize(Collector& c, const Package& out)
{
    for (const PackageFile& file : out.files) {
        if (out.compressed && file.size > 0xFFFFFFFF)
            c.diags->Error(c.Where(file.line), Quote(file.listed) + " is " + std::to_string(file.size >> 20) +
                                                   " MiB; a compressed package records each file's size in 32 bits, "
                                                   "so its files must be under 4 GiB. Leave it out or split it");
    }
    if (out.compressed)
        return;
    const uint64_t margin = 1 << 20;
    uint64_t estimate = margin;
    for (const PackageFile& file : out.files)
        estimate += file.stored ? file.size + 8 : 0;
    if (estimate > kMaxImageBytes)
        c.diags->Error(c.file, "the payload is " + std::to_string(out.payloadBytes >> 20) +
                                   " MiB; a 32-bit setup can count on loading an image of at most " +
                                   std::to_string(kMaxImageBytes >> 20) +
                                   " MiB. Leave large files out or split the product into more than one setup");
}

// The lines of a terms file, BOM dropped, ended by CR, LF or CR LF.
std::vector<std::string> TermsFileLines(const std::string& utf8)
{
    std::string text = utf8.compare(0, 3, "\xEF\xBB\xBF") == 0 ? utf8.substr(3) : utf8;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of("\r\n", at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

// One line of the terms onto out with its line feed; false for a line the setup could not show.
bool ConvertTermsLine(const std::string& utf8, const std::string& where, std::u16string* out, Diagnostics* diags)
{
    std::u16string line;
    std::string problem;
    // The setup's list ends at an empty line: one between paragraphs, as nearly every terms
    // text has, is stored as the single space that shows as one.
    if (utf8.empty()) {
        *out += u" \n";
        return true;
    }
    if (!Utf8ToUtf16(utf8, &line, &problem)) {
        diags->Error(where, "the line " + problem);
        return false;
    }
    bool ok = true;
    for (char16_t c : line) {
        if (c < 0x20 && c != '\t') {
            diags->Error(where, "the line holds a control character; remove it");
            ok = false;
            break;
        }
    }
    if (line.size() > kTermsLineWarn)
        diags->Warning(where, "the line is " + LengthOf(line) + " long; the terms list has no horizontal "
                              "scroll bar, so beyond about " + std::to_string(kTermsLineWarn) + " they may not show");
    *out += line + u"\n";
    return ok;
}

}  // namespace

// A stub is read for a setup and again for its built-in uninstaller: what it warns of is said once.
void Diagnostics::Warning(const std::string& where, const std::string& text)
{
    for (const Diagnostic& d : list) {
        if (!d.error && d.where == where && d.text == text)
            return;
    }
    list.push_back({false, where, text});
}

bool Diagnostics::Failed() const
{
    for (const Diagnostic& d : list) {
        if (d.error)
            return true;
    }
    return false;
}

std::string Diagnostics::Format() const
{
    std::string out;
    for (const Diagnostic& d : list)
        out += d.where + (d.error ? ": error: " : ": warning: ") + d.text + "\n";
    return out;
}

std::string CheckListedPath(const std::u16string& name, size_t maxLength)
{
    if (name.empty())
        return "is empty";
    if (maxLength && name.size() > maxLength)
        return TooLong(name, maxLength);
    if (name[0] == '\\' || name[0] == '/')
        return "starts with a " + std::string(name[0] == '/' ? "slash" : "backslash") +
               "; list names relative to the destination folder";
    if (name.size() >= 2 && name[1] == ':' && ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z'))
        return "has a drive; list names relative to the destination folder";
    for (char16_t c : name) {
        if (c < 0x20)
            return "holds a control character; remove it";
        if (c < 0x80 && std::strchr("<>:\"/|?*", static_cast<char>(c)))
            return std::string("holds '") + static_cast<char>(c) + "', which Windows forbids in file names" +
                   (c == '/' ? "; separate folders with a backslash" : "; remove it");
    }
    size_t start = 0;
    while (true) {
        size_t end = name.find(u'\\', start);
        std::u16string part = name.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty())
            return "has an empty folder name (two backslashes in a row, or one at the end)";
        if (part == u".." || part == u".")
            return "contains '" + Utf16ToUtf8(part) + "', which would step out of its folder; list the real path";
        if (part.back() == '.' || part.back() == ' ')
            return "has the name " + Quote(part) + ", which ends in a " + (part.back() == '.' ? "dot" : "space") +
                   " that Windows drops; remove it";
        if (IsDeviceName(part))
            return "has the name " + Quote(part) + ", which Windows reserves for a device; rename it";
        if (end == std::u16string::npos)
            return "";
        start = end + 1;
    }
}

bool ConvertTerms(const std::string& utf8, const std::string& displayName, std::u16string* out, Diagnostics* diags)
{
    std::vector<std::string> lines = TermsFileLines(utf8);
    size_t used = lines.size();
    while (used > 0 && lines[used - 1].empty())
        --used;
    if (used == 0) {
        diags->Error(displayName, "the terms text is empty; the setup shows it for the user to accept");
        return false;
    }
    if (used < lines.size())
        diags->Warning(displayName + ":" + std::to_string(used + 1), "empty lines at the end are left out");
    out->clear();
    bool ok = true;
    for (size_t i = 0; i < used; ++i)
        ok = ConvertTermsLine(lines[i], displayName + ":" + std::to_string(i + 1), out, diags) && ok;
    if (ok && out->size() > kMaxTerms) {
        diags->Error(displayName, "the terms text is " + LengthOf(*out) + " with line feeds; the setup reads at most " +
                                      std::to_string(kMaxTerms) + ", so shorten it");
        ok = false;
    }
    return ok;
}

bool ReadManifestText(const std::string& text, const std::string& displayName, const std::string& baseDir,
                      const std::vector<std::string>& searchDirs, Package* out, Diagnostics* diags)
{
    *out = Package{};
    Reader reader = SplitLines(text, displayName, diags);
    Collector c{&reader, displayName, baseDir, &searchDirs, diags, {}, {}, {}, {}};
    ParseIni(&c);
    ReadProductTexts(c, out);
    // x64: the setup refuses the product on 32-bit Windows and keeps its registry entries in the 64-bit view.
    out->x64 = ReadChoice(c, "architecture", "x86", "x64",
                          "write 'architecture = x64' for a 64-bit product, or leave it out for a 32-bit one");
    // user: the setup runs with its user's rights and writes to that user's own folders and registry only.
    out->perUser = ReadChoice(c, "scope", "machine", "user",
                              "write 'scope = user' for a product each person installs for themselves without "
                              "administrator rights, or leave it out for one installed for every user of the machine");
    // One LZMA block of every file makes the smallest setup, stored entries the fastest install.
    out->compressed = !ReadChoice(c, "compression", "lzma", "none",
                                  "write 'compression = none' for the fastest install, or leave it out for the "
                                  "smallest setup");
    ReadTerms(c, out);
    FolderList folders{&out->folders, {}};
    std::map<std::u16string, size_t> byUpper;  // listed name in upper case -> its file
    ReadFiles(c, &folders, &byUpper, out);
    ReadFolders(c, &folders);
    CheckLists(c, folders, byUpper, *out);
    ReadUninstallEntry(c, folders, byUpper, out);
    CheckImageSize(c, *out);
    return !diags->Failed();
}

bool ReadManifest(const std::string& path, const std::vector<std::string>& searchDirs, Package* out,
                  Diagnostics* diags)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        diags->Error(path, std::string("cannot read the manifest: ") + std::strerror(errno));
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return ReadManifestText(text.str(), path, Directory(path), searchDirs, out, diags);
}
