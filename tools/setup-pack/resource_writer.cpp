// Serialises resource directories, string blocks and the version block.
#include "resource_writer.h"

#include <algorithm>
#include <numeric>
#include <tuple>

#include "bytes.h"

namespace {

void AppendUtf16(std::vector<uint8_t>* out, const std::u16string& text)
{
    for (char16_t c : text)
        Append16(out, c);
}

void PadTo(std::vector<uint8_t>* out, size_t alignment)
{
    while (out->size() % alignment)
        out->push_back(0);
}

// One version node: header, key, value, children; the length covers all but trailing padding.
std::vector<uint8_t> VersionNode(const std::u16string& key, uint16_t type, const std::vector<uint8_t>& value,
                                 uint16_t valueLength, const std::vector<std::vector<uint8_t>>& children)
{
    std::vector<uint8_t> node;
    Append16(&node, 0);
    Append16(&node, valueLength);
    Append16(&node, type);
    AppendUtf16(&node, key);
    Append16(&node, 0);
    PadTo(&node, 4);
    node.insert(node.end(), value.begin(), value.end());
    for (const auto& child : children) {
        PadTo(&node, 4);
        node.insert(node.end(), child.begin(), child.end());
    }
    Put16(node.data(), static_cast<uint16_t>(node.size()));
    return node;
}

std::vector<uint8_t> TextNode(const std::u16string& key, const std::u16string& text)
{
    std::vector<uint8_t> value;
    AppendUtf16(&value, text);
    Append16(&value, 0);
    return VersionNode(key, 1, value, static_cast<uint16_t>(text.size() + 1), {});
}

struct NameGroup {
    ResourceKey name;
    std::vector<size_t> items;
};

struct TypeGroup {
    ResourceKey type;
    std::vector<NameGroup> names;
};

// The directory of a resource section, planned before any byte of it is written.
struct Tree {
    std::vector<size_t> order;  // the items in the loader's order
    std::vector<TypeGroup> types;
    std::vector<uint64_t> typeTable, langTable;      // where each table starts
    std::vector<uint32_t> entryOf;                   // per item: its data entry, a sharing item its owner's
    std::map<std::u16string, uint64_t> nameOffset;   // where each name's counted string starts
};

bool GroupItems(const std::vector<ResourceItem>& items, Tree* tree, std::string* error)
{
    tree->order.resize(items.size());
    std::iota(tree->order.begin(), tree->order.end(), 0);
    auto key = [&](size_t i) { return std::tie(items[i].type, items[i].name, items[i].language); };
    std::sort(tree->order.begin(), tree->order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
    std::vector<TypeGroup>& types = tree->types;
    for (size_t k = 0; k < tree->order.size(); ++k) {
        const ResourceItem& item = items[tree->order[k]];
        if (k > 0 && key(tree->order[k - 1]) == key(tree->order[k])) {
            *error = "two resources share type, name and language";
            return false;
        }
        if (types.empty() || !(types.back().type == item.type))
            types.push_back(TypeGroup{item.type, {}});
        if (types.back().names.empty() || !(types.back().names.back().name == item.name))
            types.back().names.push_back(NameGroup{item.name, {}});
        types.back().names.back().items.push_back(tree->order[k]);
    }
    return true;
}

// Root, type tables, then language tables; returns where they end.
uint64_t PlaceTables(Tree* tree)
{
    uint64_t at = 16 + 8 * tree->types.size();
    for (const TypeGroup& t : tree->types) {
        tree->typeTable.push_back(at);
        at += 16 + 8 * t.names.size();
    }
    for (const TypeGroup& t : tree->types) {
        for (const NameGroup& n : t.names) {
            tree->langTable.push_back(at);
            at += 16 + 8 * n.items.size();
        }
    }
    return at;
}

// Data entries: one per item with data of its own, in the order of the tables.
bool PlaceDataEntries(const std::vector<ResourceItem>& items, Tree* tree, uint64_t* at, std::string* error)
{
    tree->entryOf.assign(items.size(), 0);
    uint32_t owned = 0;
    for (size_t i : tree->order) {
        if (items[i].dataOf < 0)
            tree->entryOf[i] = static_cast<uint32_t>(*at + 16 * owned++);
    }
    for (size_t i = 0; i < items.size(); ++i) {
        int owner = items[i].dataOf;
        if (owner >= 0 && (static_cast<size_t>(owner) >= i || items[owner].dataOf >= 0)) {
            *error = "a resource shares the data of one that is not an earlier resource with data of its own";
            return false;
        }
        if (owner >= 0)
            tree->entryOf[i] = tree->entryOf[owner];
    }
    *at += 16ull * owned;
    return true;
}

void PlaceNames(const std::vector<ResourceItem>& items, Tree* tree, uint64_t* at)
{
    for (size_t i : tree->order) {
        for (const ResourceKey* k : {&items[i].type, &items[i].name}) {
            if (k->isName && tree->nameOffset.emplace(k->name, *at).second)
                *at += 2 + 2 * k->name.size();
        }
    }
}

// Each item's data, in the order of the items, aligned to 8 after the directory.
bool PlaceData(const std::vector<ResourceItem>& items, uint64_t directoryEnd, ResourceLayout* out, std::string* error)
{
    uint64_t dataAt = AlignUp(directoryEnd, 8);
    out->dataOffset.assign(items.size(), 0);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].dataOf >= 0) {
            out->dataOffset[i] = out->dataOffset[items[i].dataOf];
            continue;
        }
        if (dataAt + items[i].data.size > 0x7FFFFFFF) {
            *error = "the resources pass 2 GiB";
            return false;
        }
        out->dataOffset[i] = static_cast<uint32_t>(dataAt);
        dataAt = AlignUp(dataAt + items[i].data.size, 8);
    }
    out->size = dataAt;
    return true;
}

// One table: named entries first (the keys come sorted so), each pointing at its target.
void WriteTable(const Tree& tree, const std::vector<const ResourceKey*>& keys, const std::vector<uint32_t>& targets,
                std::vector<uint8_t>* head)
{
    size_t named = std::count_if(keys.begin(), keys.end(), [](const ResourceKey* k) { return k->isName; });
    Append32(head, 0);  // characteristics
    Append32(head, 0);  // no time stamp: builds are reproducible
    Append32(head, 0);  // version
    Append16(head, static_cast<uint16_t>(named));
    Append16(head, static_cast<uint16_t>(keys.size() - named));
    for (size_t k = 0; k < keys.size(); ++k) {
        Append32(head, keys[k]->isName ? 0x80000000u | static_cast<uint32_t>(tree.nameOffset.at(keys[k]->name))
                                       : keys[k]->id);
        Append32(head, targets[k]);
    }
}

void WriteTables(const std::vector<ResourceItem>& items, const Tree& tree, std::vector<uint8_t>* head)
{
    std::vector<const ResourceKey*> keys;
    std::vector<uint32_t> targets;
    for (size_t t = 0; t < tree.types.size(); ++t) {
        keys.push_back(&tree.types[t].type);
        targets.push_back(0x80000000u | static_cast<uint32_t>(tree.typeTable[t]));
    }
    WriteTable(tree, keys, targets, head);
    size_t langIndex = 0;
    for (const TypeGroup& t : tree.types) {
        keys.clear();
        targets.clear();
        for (const NameGroup& n : t.names) {
            keys.push_back(&n.name);
            targets.push_back(0x80000000u | static_cast<uint32_t>(tree.langTable[langIndex++]));
        }
        WriteTable(tree, keys, targets, head);
    }
    std::vector<ResourceKey> languages;
    for (const TypeGroup& t : tree.types) {
        for (const NameGroup& n : t.names) {
            languages.clear();
            targets.clear();
            for (size_t i : n.items) {
                languages.push_back(ResourceKey::Id(items[i].language));
                targets.push_back(tree.entryOf[i]);
            }
            keys.clear();
            for (const ResourceKey& l : languages)
                keys.push_back(&l);
            WriteTable(tree, keys, targets, head);
        }
    }
}

void WriteDataEntries(const std::vector<ResourceItem>& items, const Tree& tree, uint32_t sectionRva,
                      ResourceLayout* out)
{
    for (size_t i : tree.order) {
        if (items[i].dataOf >= 0)
            continue;
        Append32(&out->head, sectionRva + out->dataOffset[i]);
        Append32(&out->head, static_cast<uint32_t>(items[i].data.size));
        Append32(&out->head, 0);  // code page
        Append32(&out->head, 0);
    }
}

void WriteNames(const Tree& tree, std::vector<uint8_t>* head)
{
    std::vector<std::pair<uint64_t, const std::u16string*>> names;
    for (const auto& n : tree.nameOffset)
        names.emplace_back(n.second, &n.first);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        Append16(head, static_cast<uint16_t>(n.second->size()));
        AppendUtf16(head, *n.second);
    }
}

}  // namespace

bool LayoutResources(const std::vector<ResourceItem>& items, uint32_t sectionRva, ResourceLayout* out,
                     std::string* error)
{
    Tree tree;
    if (!GroupItems(items, &tree, error))
        return false;
    uint64_t at = PlaceTables(&tree);
    if (!PlaceDataEntries(items, &tree, &at, error))
        return false;
    PlaceNames(items, &tree, &at);
    if (!PlaceData(items, at, out, error))
        return false;
    out->head.clear();
    WriteTables(items, tree, &out->head);
    WriteDataEntries(items, tree, sectionRva, out);
    WriteNames(tree, &out->head);
    out->head.resize(AlignUp(out->head.size(), 8), 0);
    return true;
}

std::vector<uint8_t> EncodeStringBlock(const std::u16string strings[16])
{
    std::vector<uint8_t> block;
    for (int i = 0; i < 16; ++i) {
        Append16(&block, static_cast<uint16_t>(strings[i].size()));
        AppendUtf16(&block, strings[i]);
    }
    return block;
}

std::vector<uint8_t> EncodeVersionBlock(const VersionText& text)
{
    const uint16_t* v = text.version;
    std::vector<uint8_t> fixed;
    Append32(&fixed, 0xFEEF04BD);  // signature
    Append32(&fixed, 0x00010000);  // structure version 1.0
    for (int twice = 0; twice < 2; ++twice) {  // file version, then product version
        Append32(&fixed, static_cast<uint32_t>(v[0]) << 16 | v[1]);
        Append32(&fixed, static_cast<uint32_t>(v[2]) << 16 | v[3]);
    }
    Append32(&fixed, 0x3F);  // flags mask
    Append32(&fixed, 0);     // flags
    Append32(&fixed, 0x4);   // 32-bit Windows
    Append32(&fixed, 0x1);   // application
    Append32(&fixed, 0);     // subtype
    Append32(&fixed, 0);     // no date
    Append32(&fixed, 0);
    std::vector<uint8_t> strings = VersionNode(
        u"040904e4", 1, {}, 0,
        {TextNode(u"FileDescription", text.description), TextNode(u"FileVersion", text.versionText),
         TextNode(u"ProductVersion", text.versionText), TextNode(u"LegalCopyright", text.legal)});
    std::vector<uint8_t> translation;
    Append16(&translation, 0x0409);
    Append16(&translation, 1252);
    std::vector<uint8_t> var = VersionNode(u"Translation", 0, translation, 4, {});
    return VersionNode(u"VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()),
                       {VersionNode(u"StringFileInfo", 1, {}, 0, {strings}),
                        VersionNode(u"VarFileInfo", 1, {}, 0, {var})});
}
