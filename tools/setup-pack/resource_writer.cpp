// Serialises resource directories, string blocks and the version block.
#include "resource_writer.h"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace {

void Put16(std::vector<uint8_t>* out, uint16_t value)
{
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t value)
{
    Put16(out, static_cast<uint16_t>(value));
    Put16(out, static_cast<uint16_t>(value >> 16));
}

void PadTo(std::vector<uint8_t>* out, size_t alignment)
{
    while (out->size() % alignment)
        out->push_back(0);
}

uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// One version node: header, key, value, children; the length covers all but trailing padding.
std::vector<uint8_t> VersionNode(const std::u16string& key, uint16_t type, const std::vector<uint8_t>& value,
                                 uint16_t valueLength, const std::vector<std::vector<uint8_t>>& children)
{
    std::vector<uint8_t> node;
    Put16(&node, 0);
    Put16(&node, valueLength);
    Put16(&node, type);
    for (char16_t c : key)
        Put16(&node, c);
    Put16(&node, 0);
    PadTo(&node, 4);
    node.insert(node.end(), value.begin(), value.end());
    for (const auto& child : children) {
        PadTo(&node, 4);
        node.insert(node.end(), child.begin(), child.end());
    }
    node[0] = static_cast<uint8_t>(node.size());
    node[1] = static_cast<uint8_t>(node.size() >> 8);
    return node;
}

std::vector<uint8_t> TextNode(const std::u16string& key, const std::u16string& text)
{
    std::vector<uint8_t> value;
    for (char16_t c : text)
        Put16(&value, c);
    Put16(&value, 0);
    return VersionNode(key, 1, value, static_cast<uint16_t>(text.size() + 1), {});
}

}  // namespace

bool LayoutResources(const std::vector<ResourceItem>& items, uint32_t sectionRva, ResourceLayout* out,
                     std::string* error)
{
    // Group the items into the three levels, each level in the loader's order.
    std::vector<size_t> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    auto key = [&](size_t i) { return std::tie(items[i].type, items[i].name, items[i].language); };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
    struct NameGroup { ResourceKey name; std::vector<size_t> items; };
    struct TypeGroup { ResourceKey type; std::vector<NameGroup> names; };
    std::vector<TypeGroup> types;
    for (size_t k = 0; k < order.size(); ++k) {
        const ResourceItem& item = items[order[k]];
        if (k > 0 && key(order[k - 1]) == key(order[k])) {
            *error = "two resources share type, name and language";
            return false;
        }
        if (types.empty() || !(types.back().type == item.type))
            types.push_back(TypeGroup{item.type, {}});
        if (types.back().names.empty() || !(types.back().names.back().name == item.name))
            types.back().names.push_back(NameGroup{item.name, {}});
        types.back().names.back().items.push_back(order[k]);
    }

    // Offsets: root, type tables, language tables, data entries, names, then the data.
    uint64_t at = 16 + 8 * types.size();
    std::vector<uint64_t> typeTable, langTable;
    for (const TypeGroup& t : types) {
        typeTable.push_back(at);
        at += 16 + 8 * t.names.size();
    }
    for (const TypeGroup& t : types) {
        for (const NameGroup& n : t.names) {
            langTable.push_back(at);
            at += 16 + 8 * n.items.size();
        }
    }
    // Data entries: one per item with data of its own, in the order of the tables.
    uint64_t entries = at;
    std::vector<uint32_t> entryOf(items.size());
    uint32_t owned = 0;
    for (size_t i : order) {
        if (items[i].dataOf < 0)
            entryOf[i] = static_cast<uint32_t>(entries + 16 * owned++);
    }
    for (size_t i = 0; i < items.size(); ++i) {
        int owner = items[i].dataOf;
        if (owner >= 0 && (static_cast<size_t>(owner) >= i || items[owner].dataOf >= 0)) {
            *error = "a resource shares the data of one that is not an earlier resource with data of its own";
            return false;
        }
        if (owner >= 0)
            entryOf[i] = entryOf[owner];
    }
    at += 16ull * owned;
    std::map<std::u16string, uint64_t> nameOffset;
    for (size_t i : order) {
        for (const ResourceKey* k : {&items[i].type, &items[i].name}) {
            if (k->isName && nameOffset.emplace(k->name, at).second)
                at += 2 + 2 * k->name.size();
        }
    }
    uint64_t dataAt = AlignUp(at, 8);
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

    std::vector<uint8_t>& head = out->head;
    head.clear();
    auto table = [&](const std::vector<const ResourceKey*>& keys, const std::vector<uint32_t>& targets) {
        size_t named = std::count_if(keys.begin(), keys.end(), [](const ResourceKey* k) { return k->isName; });
        Put32(&head, 0);  // characteristics
        Put32(&head, 0);  // no time stamp: builds are reproducible
        Put32(&head, 0);  // version
        Put16(&head, static_cast<uint16_t>(named));
        Put16(&head, static_cast<uint16_t>(keys.size() - named));
        for (size_t k = 0; k < keys.size(); ++k) {
            Put32(&head, keys[k]->isName ? 0x80000000u | static_cast<uint32_t>(nameOffset[keys[k]->name])
                                         : keys[k]->id);
            Put32(&head, targets[k]);
        }
    };
    std::vector<const ResourceKey*> keys;
    std::vector<uint32_t> targets;
    for (size_t t = 0; t < types.size(); ++t) {
        keys.push_back(&types[t].type);
        targets.push_back(0x80000000u | static_cast<uint32_t>(typeTable[t]));
    }
    table(keys, targets);
    size_t langIndex = 0;
    for (const TypeGroup& t : types) {
        keys.clear();
        targets.clear();
        for (const NameGroup& n : t.names) {
            keys.push_back(&n.name);
            targets.push_back(0x80000000u | static_cast<uint32_t>(langTable[langIndex++]));
        }
        table(keys, targets);
    }
    std::vector<ResourceKey> languages;
    for (const TypeGroup& t : types) {
        for (const NameGroup& n : t.names) {
            languages.clear();
            targets.clear();
            for (size_t i : n.items) {
                languages.push_back(ResourceKey::Id(items[i].language));
                targets.push_back(entryOf[i]);
            }
            keys.clear();
            for (const ResourceKey& l : languages)
                keys.push_back(&l);
            table(keys, targets);
        }
    }
    for (size_t i : order) {
        if (items[i].dataOf >= 0)
            continue;
        Put32(&head, sectionRva + out->dataOffset[i]);
        Put32(&head, static_cast<uint32_t>(items[i].data.size));
        Put32(&head, 0);  // code page
        Put32(&head, 0);
    }
    std::vector<std::pair<uint64_t, const std::u16string*>> names;
    for (const auto& n : nameOffset)
        names.emplace_back(n.second, &n.first);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        Put16(&head, static_cast<uint16_t>(n.second->size()));
        for (char16_t c : *n.second)
            Put16(&head, c);
    }
    head.resize(AlignUp(head.size(), 8), 0);
    return true;
}

std::vector<uint8_t> EncodeStringBlock(const std::u16string strings[16])
{
    std::vector<uint8_t> block;
    for (int i = 0; i < 16; ++i) {
        Put16(&block, static_cast<uint16_t>(strings[i].size()));
        for (char16_t c : strings[i])
            Put16(&block, c);
    }
    return block;
}

std::vector<uint8_t> EncodeVersionBlock(const VersionText& text)
{
    const uint16_t* v = text.version;
    std::vector<uint8_t> fixed;
    Put32(&fixed, 0xFEEF04BD);  // signature
    Put32(&fixed, 0x00010000);  // structure version 1.0
    for (int twice = 0; twice < 2; ++twice) {  // file version, then product version
        Put32(&fixed, static_cast<uint32_t>(v[0]) << 16 | v[1]);
        Put32(&fixed, static_cast<uint32_t>(v[2]) << 16 | v[3]);
    }
    Put32(&fixed, 0x3F);  // flags mask
    Put32(&fixed, 0);     // flags
    Put32(&fixed, 0x4);   // 32-bit Windows
    Put32(&fixed, 0x1);   // application
    Put32(&fixed, 0);     // subtype
    Put32(&fixed, 0);     // no date
    Put32(&fixed, 0);
    std::vector<uint8_t> strings = VersionNode(
        u"040904e4", 1, {}, 0,
        {TextNode(u"FileDescription", text.description), TextNode(u"FileVersion", text.versionText),
         TextNode(u"ProductVersion", text.versionText), TextNode(u"LegalCopyright", text.legal)});
    std::vector<uint8_t> translation;
    Put16(&translation, 0x0409);
    Put16(&translation, 1252);
    std::vector<uint8_t> var = VersionNode(u"Translation", 0, translation, 4, {});
    return VersionNode(u"VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()),
                       {VersionNode(u"StringFileInfo", 1, {}, 0, {strings}),
                        VersionNode(u"VarFileInfo", 1, {}, 0, {var})});
}
