// Merges a package into the stub's resources: message strings kept, package strings, version and payload replaced.
#include "package_merge.h"

#include <map>

#include "execution_level.h"
#include "resource.h"
#include "unicode.h"

namespace {

const char kWhere[] = "stub";

bool PackageOwned(uint32_t id)
{
    return (id >= IDS_PRODUCT_NAME && id <= IDS_SCOPE) || id >= IDS_SUBDIR_FIRST;
}

uint16_t BlockOf(uint32_t id)
{
    return static_cast<uint16_t>(id / 16 + 1);
}

// What the stub's resources hold besides the entries copied as they are.
struct StubStrings {
    std::map<uint32_t, std::u16string> strings;  // neutral strings, by id
    std::map<uint16_t, uint16_t> foreignBlocks;   // string blocks in another language
    std::vector<std::string> replaced;            // package entries the stub already carried
    int manifests = 0, levelsSet = 0;             // application manifests, and those whose level was set
};

// A neutral string block's strings go into the merge; one in another language is copied as
// it is. Every block is checked, also one that is copied: the setup reads them all.
bool TakeStringBlock(ByteSpan bytes, const ResourceLeaf& leaf, StubStrings* stub, Diagnostics* diags)
{
    std::u16string block[16];
    std::string problem;
    if (!DecodeStringBlock(bytes, block, &problem)) {
        diags->Error(kWhere, "string block " + std::to_string(leaf.name.id) + " (language " +
                                 std::to_string(leaf.language) + "): " + problem);
        return false;
    }
    if (leaf.language != 0) {
        stub->foreignBlocks[leaf.name.id] = leaf.language;
        return true;
    }
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t id = (leaf.name.id - 1u) * 16u + i;
        if (block[i].empty())
            continue;
        if (PackageOwned(id))
            stub->replaced.push_back("string " + std::to_string(id));
        else
            stub->strings[id] = block[i];
    }
    return true;
}

ResourceItem ItemWithBytes(const ResourceKey& type, const ResourceKey& name, uint16_t language,
                           std::vector<uint8_t> bytes)
{
    ResourceItem item;
    item.type = type;
    item.name = name;
    item.language = language;
    item.data.size = bytes.size();
    item.data.bytes = std::move(bytes);
    return item;
}

// Windows reads the level from the manifest before the program runs: a per-user package's says asInvoker. A manifest
// that declares any level also keeps Windows from taking a program named Setup for an installer, so none asks.
void TakeManifest(bool perUser, std::vector<uint8_t>* bytes, StubStrings* stub)
{
    stub->manifests++;
    if (perUser && SetExecutionLevel(bytes, kLevelAsInvoker))
        stub->levelsSet++;
}

bool CheckManifests(bool perUser, const StubStrings& stub, Diagnostics* diags)
{
    if (!perUser || stub.levelsSet > 0)
        return true;
    diags->Error(kWhere, stub.manifests == 0
                             ? "the stub has no application manifest, where a per-user package declares asInvoker so "
                               "that Windows asks for no administrator rights; use a stub linked with one"
                             : "the stub's application manifest declares no execution level (requestedExecutionLevel), "
                               "which a per-user package sets to asInvoker so that Windows asks for no administrator "
                               "rights; use a stub whose manifest has one");
    return false;
}

bool TakeStubResources(ByteSpan stub, const PeImage& image, bool perUser, StubStrings* strings,
                       std::vector<ResourceItem>* items, Diagnostics* diags)
{
    for (const ResourceLeaf& leaf : image.resources) {
        ByteSpan bytes = LeafBytes(stub, leaf);
        if (leaf.type == ResourceKey::Id(kRtString) && !leaf.name.isName && leaf.name.id > 0) {
            if (!TakeStringBlock(bytes, leaf, strings, diags))
                return false;
            if (leaf.language == 0)
                continue;
        }
        if (leaf.type == ResourceKey::Id(kRtVersion)) {
            strings->replaced.push_back("the version block");
        } else if (leaf.type == ResourceKey::Id(kRtRcData)) {
            strings->replaced.push_back("payload entry " + (leaf.name.isName ? Utf16ToUtf8(leaf.name.name)
                                                                             : std::to_string(leaf.name.id)));
        } else {
            std::vector<uint8_t> copy(bytes.data, bytes.data + bytes.size);
            if (leaf.type == ResourceKey::Id(kRtManifest))
                TakeManifest(perUser, &copy, strings);
            items->push_back(ItemWithBytes(leaf.type, leaf.name, leaf.language, std::move(copy)));
        }
    }
    if (!strings->replaced.empty())
        diags->Warning(kWhere, "the stub already carries a package (" + strings->replaced.front() +
                                   (strings->replaced.size() > 1
                                        ? " and " + std::to_string(strings->replaced.size() - 1) + " more"
                                        : "") +
                                   "); the new package replaces it");
    return true;
}

std::map<uint32_t, std::u16string> PackageStrings(const Package& package)
{
    std::map<uint32_t, std::u16string> ours;
    ours[IDS_PRODUCT_NAME] = package.name;
    ours[IDS_PROGRAM_FILE] = package.program;
    ours[IDS_TERMS] = package.terms;
    ours[IDS_PUBLISHER] = package.publisher;
    ours[IDS_UNINSTALL] = package.uninstall;
    ours[IDS_VERSION_TEXT] = std::u16string(package.versionText.begin(), package.versionText.end());
    ours[IDS_ARCHITECTURE] = package.x64 ? u"" ARCHITECTURE_X64 : u"";
    ours[IDS_ROLE] = package.isUninstaller ? u"" ROLE_UNINSTALL : u"";
    ours[IDS_RECORD] = package.record;
    ours[IDS_START_MENU] = package.startMenu ? u"yes" : u"";
    ours[IDS_SCOPE] = package.perUser ? u"" SCOPE_USER : u"";
    for (size_t i = 0; i < package.folders.size(); ++i)
        ours[IDS_SUBDIR_FIRST + static_cast<uint32_t>(i)] = package.folders[i];
    for (size_t i = 0; i < package.files.size(); ++i)
        ours[IDS_FILE_FIRST + static_cast<uint32_t>(i)] = package.files[i].listed;
    return ours;
}

// A block in another language would hide the package's strings from the setup's LoadString.
bool MergePackageStrings(const Package& package, StubStrings* stub, Diagnostics* diags)
{
    for (const auto& s : PackageStrings(package)) {
        uint16_t block = BlockOf(s.first);
        if (stub->foreignBlocks.count(block)) {
            diags->Error(kWhere, "the stub has string block " + std::to_string(block) + " in language " +
                                     std::to_string(stub->foreignBlocks[block]) + ", which would hide package string " +
                                     std::to_string(s.first) + "; keep the stub's strings language neutral");
            return false;
        }
        stub->strings[s.first] = s.second;
    }
    return true;
}

void AddStringBlocks(const std::map<uint32_t, std::u16string>& strings, std::vector<ResourceItem>* items)
{
    for (auto s = strings.begin(); s != strings.end();) {
        uint16_t block = BlockOf(s->first);
        std::u16string entries[16];
        for (; s != strings.end() && BlockOf(s->first) == block; ++s)
            entries[s->first % 16] = s->second;
        items->push_back(ItemWithBytes(ResourceKey::Id(kRtString), ResourceKey::Id(block), 0,
                                       EncodeStringBlock(entries)));
    }
}

void AddVersionBlock(const Package& package, std::vector<ResourceItem>* items)
{
    VersionText version;
    std::copy(package.version, package.version + 4, version.version);
    version.description = u"Setup program for " + package.name;
    version.versionText = std::u16string(package.versionText.begin(), package.versionText.end());
    version.legal = package.legal;
    items->push_back(ItemWithBytes(ResourceKey::Id(kRtVersion), ResourceKey::Id(1), 0, EncodeVersionBlock(version)));
}

// Each file's entry is numbered like its list entry, so no two names can meet in one entry;
// a file with the bytes of an earlier one points at that one's data. A file without a source
// (the built-in uninstaller) brings its bytes. The index follows them, summed as they are written.
void AddStoredEntries(const Package& package, std::vector<ResourceItem>* items)
{
    size_t firstFile = items->size();
    ResourceItem index = ItemWithBytes(ResourceKey::Id(kRtRcData), ResourceKey::Id(IDR_PAYLOAD_INDEX), 0,
                                       StoredIndex(package.files.size()));
    for (size_t i = 0; i < package.files.size(); ++i) {
        const PackageFile& file = package.files[i];
        ResourceItem item = ItemWithBytes(ResourceKey::Id(kRtRcData),
                                          ResourceKey::Id(static_cast<uint16_t>(IDS_FILE_FIRST + i)), 0, {});
        if (file.stored) {
            item.data.path = file.source;
            item.data.bytes = file.bytes;
            item.data.size = file.size;
        } else {
            item.dataOf = static_cast<int>(firstFile + file.sameAs);
        }
        index.checks.push_back(static_cast<int>(firstFile + file.sameAs));
        items->push_back(item);
    }
    items->push_back(index);
}

// The block, streamed from its file, then the index made with it.
void AddLzmaBlock(const PayloadBlock& block, std::vector<ResourceItem>* items)
{
    ResourceItem item = ItemWithBytes(ResourceKey::Id(kRtRcData), ResourceKey::Id(IDR_PAYLOAD_BLOCK), 0, {});
    item.data.fd = block.fd;
    item.data.size = block.size;
    items->push_back(item);
    items->push_back(ItemWithBytes(ResourceKey::Id(kRtRcData), ResourceKey::Id(IDR_PAYLOAD_INDEX), 0, block.index));
}

}  // namespace

bool MakeResourceItems(ByteSpan stub, const PeImage& image, const Package& package,
                       std::vector<ResourceItem>* items, Diagnostics* diags, const PayloadBlock* block)
{
    StubStrings strings;
    if (!TakeStubResources(stub, image, package.perUser, &strings, items, diags) ||
        !CheckManifests(package.perUser, strings, diags) || !MergePackageStrings(package, &strings, diags))
        return false;
    AddStringBlocks(strings.strings, items);
    AddVersionBlock(package, items);
    if (block)
        AddLzmaBlock(*block, items);
    else if (!package.isUninstaller)  // the built-in uninstaller's own image carries no payload
        AddStoredEntries(package, items);
    return true;
}
