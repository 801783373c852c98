// Reads a package back as the setup does: strings by language rule, lists to their first gap, entries by number.
#include "package_view.h"

#include "package/resource_name.h"
#include "resource.h"
#include "setup/limits.h"

namespace {

// The loader upper-cases a name this way before its binary search of the named entries.
std::u16string AsciiUpper(std::u16string text)
{
    for (char16_t& c : text)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    return text;
}

// The setup's LoadString finds a block in the neutral language first; other languages fill gaps.
bool ReadStrings(ByteSpan file, PackageView* out, std::string* error)
{
    std::map<uint16_t, const ResourceLeaf*> blocks;
    for (const ResourceLeaf& leaf : out->image.resources) {
        if (leaf.type == ResourceKey::Id(kRtString) && !leaf.name.isName && leaf.name.id > 0 &&
            (blocks.count(leaf.name.id) == 0 || leaf.language == 0))
            blocks[leaf.name.id] = &leaf;
    }
    for (const auto& block : blocks) {
        std::u16string entries[16];
        std::string problem;
        if (!DecodeStringBlock(LeafBytes(file, *block.second), entries, &problem)) {
            *error = "string block " + std::to_string(block.first) + ": " + problem;
            return false;
        }
        for (int i = 0; i < 16; ++i) {
            if (!entries[i].empty())
                out->strings[(block.first - 1u) * 16u + i] = entries[i];
        }
    }
    return true;
}

std::u16string Text(const PackageView& view, uint32_t id)
{
    auto found = view.strings.find(id);
    return found != view.strings.end() ? found->second : std::u16string();
}

void ReadTexts(PackageView* out)
{
    out->product = Text(*out, IDS_PRODUCT_NAME);
    out->program = Text(*out, IDS_PROGRAM_FILE);
    out->terms = Text(*out, IDS_TERMS);
    out->publisher = Text(*out, IDS_PUBLISHER);
    out->uninstall = Text(*out, IDS_UNINSTALL);
    out->architecture = Text(*out, IDS_ARCHITECTURE);
    out->role = Text(*out, IDS_ROLE);
    out->record = Text(*out, IDS_RECORD);
    out->startMenu = Text(*out, IDS_START_MENU);
    std::u16string terms = out->terms.substr(0, kTermsCapacity - 1);  // what the welcome dialog's buffer takes
    for (size_t start = 0; start < terms.size() && terms[start] != u'\n'; ++out->termsLines) {
        size_t end = terms.find(u'\n', start);
        start = end == std::u16string::npos ? terms.size() : end + 1;
    }
}

// A string the setup never reaches because its list ended at id first.
void NoteUnread(PackageView* out, uint32_t id, uint32_t listEnd, const char* list)
{
    auto next = out->strings.lower_bound(id);
    if (next != out->strings.end() && next->first < listEnd)
        out->notes.push_back("string " + std::to_string(next->first) + " is never read: the " + list +
                             " list ends at " + std::to_string(id));
}

void ReadFolders(PackageView* out)
{
    uint32_t id = IDS_SUBDIR_FIRST;
    for (; id < IDS_FILE_FIRST && out->strings.count(id); ++id)
        out->folders.push_back(out->strings[id]);
    NoteUnread(out, id, IDS_FILE_FIRST, "folder");
}

struct PayloadEntries {
    std::map<std::u16string, const ResourceLeaf*> named;  // by the name in upper case
    std::map<uint32_t, const ResourceLeaf*> numbered;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> firstWithBytes;  // (address, size) -> file id
};

PayloadEntries FindPayloadEntries(const PeImage& image)
{
    PayloadEntries entries;
    for (const ResourceLeaf& leaf : image.resources) {
        if (!(leaf.type == ResourceKey::Id(kRtRcData)))
            continue;
        if (leaf.name.isName)
            entries.named.emplace(AsciiUpper(leaf.name.name), &leaf);
        else
            entries.numbered.emplace(leaf.name.id, &leaf);
    }
    return entries;
}

// The setup looks for the entry numbered like the list entry, then for the made name.
PayloadView ReadFile(ByteSpan image, uint32_t id, PayloadEntries* entries, PackageView* out)
{
    PayloadView file;
    file.listedName = out->strings[id];
    file.madeName = MadeName(file.listedName);
    auto number = entries->numbered.find(id);
    auto name = entries->named.find(std::u16string(file.madeName.begin(), file.madeName.end()));
    const ResourceLeaf* leaf = number != entries->numbered.end() ? number->second
                               : name != entries->named.end()    ? name->second
                                                                 : nullptr;
    file.found = leaf != nullptr;
    file.numbered = number != entries->numbered.end();
    if (leaf) {
        file.size = leaf->size;
        file.bytes = LeafBytes(image, *leaf);
        uint32_t first = entries->firstWithBytes.emplace(std::make_pair(leaf->rva, leaf->size), id).first->second;
        file.sameBytesAs = first != id && leaf->size > 0 ? first : 0;
    } else {
        out->notes.push_back("file " + std::to_string(id) + " has no payload entry, neither numbered nor named " +
                             file.madeName + ": the setup reports it as not extractable");
    }
    return file;
}

void ReadFiles(ByteSpan file, PackageView* out)
{
    PayloadEntries entries = FindPayloadEntries(out->image);
    const uint32_t listEnd = IDS_FILE_FIRST + kMaxFiles;
    uint32_t id = IDS_FILE_FIRST;
    for (; id < listEnd && out->strings.count(id); ++id)
        out->files.push_back(ReadFile(file, id, &entries, out));
    NoteUnread(out, id, listEnd, "file");
}

bool ReadVersion(ByteSpan file, PackageView* out, std::string* error)
{
    for (const ResourceLeaf& leaf : out->image.resources) {
        if (leaf.type == ResourceKey::Id(kRtVersion))
            return DecodeVersionBlock(LeafBytes(file, leaf), &out->version, error);
    }
    return true;
}

}  // namespace

std::string MadeName(const std::u16string& listed)
{
    std::u16string made = listed;
    MakeResourceName(&made[0]);
    // Only ASCII letters and underscores are left.
    made = AsciiUpper(made);
    return std::string(made.begin(), made.end());
}

bool ReadPackage(ByteSpan file, PackageView* out, std::string* error)
{
    *out = PackageView{};
    if (!ReadPeImage(file, &out->image, error) || !ReadStrings(file, out, error))
        return false;
    ReadTexts(out);
    ReadFolders(out);
    ReadFiles(file, out);
    return ReadVersion(file, out, error);
}
