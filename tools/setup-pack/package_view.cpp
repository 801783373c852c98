// Reads a package back as the setup does: strings by language rule, lists to their first gap, entries by number.
#include "package_view.h"

#include "bytes.h"
#include "execution_level.h"
#include "package/resource_name.h"
#include "payload.h"
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
    out->scope = Text(*out, IDS_SCOPE);
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

const char kDamaged[] = ": the setup reports each file it cannot vouch for as damaged";

// The index's records, two words a file, when it is one the setup reads; a note when it is not.
bool ReadIndex(ByteSpan file, const PayloadEntries& entries, size_t listed, std::vector<uint32_t>* records,
               PackageView* out)
{
    auto index = entries.numbered.find(IDR_PAYLOAD_INDEX);
    if (index == entries.numbered.end())
        return false;
    out->indexed = true;
    ByteSpan bytes = LeafBytes(file, *index->second);
    out->layout = bytes.size >= 4 ? Load32(bytes.data) : ~0u;
    if (out->layout != PAYLOAD_STORED && out->layout != PAYLOAD_LZMA)
        out->notes.push_back("the payload index names no layout the setup knows" + std::string(kDamaged));
    else if (bytes.size != 4 + 8 * listed)
        out->notes.push_back("the payload index holds " + std::to_string(bytes.size) + " bytes, where " +
                             std::to_string(listed) + " listed files need " + std::to_string(4 + 8 * listed) +
                             kDamaged);
    else
        for (size_t at = 4; at < bytes.size; at += 4)
            records->push_back(Load32(bytes.data + at));
    return !records->empty() || (listed == 0 && bytes.size == 4);
}

// Stored: each entry's bytes against its record.
void CheckEntries(const std::vector<uint32_t>& records, PackageView* out)
{
    for (size_t i = 0; i < out->files.size(); ++i) {
        PayloadView& f = out->files[i];
        f.checked = true;
        f.recordedSize = records[2 * i];
        f.recordedCrc = records[2 * i + 1];
        f.crc = Crc32c(0, f.bytes.data, f.bytes.size);
        f.intact = f.found && f.size == records[2 * i] && f.crc == f.recordedCrc;
    }
}

// LZMA: the files come out of the block in list order, each cut at its recorded size.
void UnpackFiles(ByteSpan file, const PayloadEntries& entries, const std::vector<uint32_t>& records,
                 PackageView* out)
{
    std::vector<uint32_t> sizes;
    for (size_t i = 0; i < out->files.size(); ++i)
        sizes.push_back(records[2 * i]);
    // The built-in uninstaller's bytes are kept, for its signature: the last file, when the record says it is one.
    size_t keep = out->record.empty() ? sizes.size() : sizes.size() - 1;
    auto block = entries.numbered.find(IDR_PAYLOAD_BLOCK);
    std::vector<UnpackedFile> unpacked(sizes.size());
    std::string problem = "the payload index names an LZMA block, and there is none";
    if (block != entries.numbered.end()) {
        ByteSpan bytes = LeafBytes(file, *block->second);
        out->blockSize = bytes.size;
        if (UnpackLzmaBlock(bytes, sizes, keep, &out->dictionary, &unpacked, &out->unpacked, &problem))
            problem.clear();
    }
    out->blockDamaged = !problem.empty();
    if (out->blockDamaged)
        out->notes.push_back("the LZMA block is damaged: " + problem + kDamaged);
    for (size_t i = 0; i < out->files.size(); ++i) {
        PayloadView& f = out->files[i];
        f.found = unpacked[i].whole;
        f.size = sizes[i];
        f.checked = true;
        f.crc = unpacked[i].crc;
        f.recordedSize = sizes[i];
        f.recordedCrc = records[2 * i + 1];
        f.intact = f.found && f.crc == f.recordedCrc;
        f.packed = unpacked[i].packed;
        if (i == keep)
            f.bytes = ByteSpan{out->unpacked.data(), out->unpacked.size()};
    }
}

void ReadFiles(ByteSpan file, PackageView* out)
{
    PayloadEntries entries = FindPayloadEntries(out->image);
    const uint32_t listEnd = IDS_FILE_FIRST + kMaxFiles;
    uint32_t id = IDS_FILE_FIRST;
    while (id < listEnd && out->strings.count(id))
        ++id;
    std::vector<uint32_t> records;
    bool checked = ReadIndex(file, entries, id - IDS_FILE_FIRST, &records, out);
    for (uint32_t listed = IDS_FILE_FIRST; listed < id; ++listed) {
        if (out->layout == PAYLOAD_LZMA) {
            out->files.emplace_back();
            out->files.back().listedName = out->strings[listed];
        } else {
            out->files.push_back(ReadFile(file, listed, &entries, out));
        }
    }
    NoteUnread(out, id, listEnd, "file");
    if (checked && out->layout == PAYLOAD_LZMA)
        UnpackFiles(file, entries, records, out);
    else if (checked)
        CheckEntries(records, out);
}

// The first manifest in the directory's order that declares one: a linker's stub has one, id 1, the one Windows
// reads for a program.
void ReadExecutionLevel(ByteSpan file, PackageView* out)
{
    for (const ResourceLeaf& leaf : out->image.resources) {
        if (!(leaf.type == ResourceKey::Id(kRtManifest)))
            continue;
        ByteSpan manifest = LeafBytes(file, leaf);
        std::vector<LevelText> levels = FindExecutionLevels(manifest);
        if (!levels.empty()) {
            out->executionLevel.assign(manifest.data + levels[0].at, manifest.data + levels[0].at + levels[0].size);
            return;
        }
    }
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
    ReadExecutionLevel(file, out);
    return ReadVersion(file, out, error);
}
