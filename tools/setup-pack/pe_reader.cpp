// Reads PE32 headers, the resource tree, string blocks and the version block with every access checked.
#include "pe_reader.h"

#include <algorithm>
#include <set>

#include "bytes.h"

namespace {

// More entries than any package needs (its most files and a few thousand string blocks);
// it bounds the walk when tables overlap one another.
const uint64_t kMaxResourceEntries = 200000;

// Little-endian reads that first check the span; each returns false past the end.
bool Get16(ByteSpan s, uint64_t offset, uint16_t* out)
{
    if (offset > s.size || s.size - offset < 2)
        return false;
    *out = Load16(s.data + offset);
    return true;
}

bool Get32(ByteSpan s, uint64_t offset, uint32_t* out)
{
    if (offset > s.size || s.size - offset < 4)
        return false;
    *out = Load32(s.data + offset);
    return true;
}

ByteSpan Sub(ByteSpan s, uint64_t offset, uint64_t size)
{
    if (offset > s.size || s.size - offset < size)
        return ByteSpan{};
    return ByteSpan{s.data + offset, static_cast<size_t>(size)};
}

// UTF-16 from a file, shown in ASCII with '?' for everything else, so that it prints on one line.
std::string Printable(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 && c >= 0x20 ? static_cast<char>(c) : '?');
    return out;
}

std::string KeyText(const ResourceKey& key)
{
    return key.isName ? "\"" + Printable(key.name) + "\"" : std::to_string(key.id);
}

// The one section whose raw data holds [rva, rva + size); the file offset in *offset.
bool MapRange(const PeImage& image, uint64_t fileSize, uint32_t rva, uint32_t size, uint64_t* offset)
{
    for (const PeSection& s : image.sections) {
        uint64_t start = s.virtualAddress;
        if (rva < start || rva - start >= s.rawSize)
            continue;
        uint64_t within = rva - start;
        if (size > s.rawSize - within)
            return false;
        *offset = s.rawPointer + within;
        return *offset + size <= fileSize;
    }
    return false;
}

// Walks the three levels of the resource directory (type, name, language). Each table
// may be visited once, so a loop or a shared table is refused and the walk is bounded
// by the size of the section.
struct TreeWalker {
    ByteSpan file;
    ByteSpan tree;  // from the resource root to the end of its section's raw data
    PeImage* image;
    std::string* error;
    std::set<uint32_t> visited;
    uint64_t entries = 0;

    bool Fail(const std::string& text)
    {
        *error = "resource directory: " + text;
        return false;
    }

    bool ReadKey(uint32_t field, ResourceKey* key)
    {
        if (!(field & 0x80000000u)) {
            if (field > 0xFFFF)
                return Fail("entry id " + Hex(field) + " is not a 16-bit id");
            *key = ResourceKey::Id(static_cast<uint16_t>(field));
            return true;
        }
        uint32_t at = field & 0x7FFFFFFFu;
        uint16_t length;
        if (!Get16(tree, at, &length) || Sub(tree, at + 2ull, 2ull * length).data == nullptr)
            return Fail("a name at offset " + Hex(at) + " runs past the section");
        key->isName = true;
        key->id = 0;
        key->name.resize(length);
        for (uint16_t i = 0; i < length; ++i) {
            uint16_t c = 0;
            Get16(tree, at + 2ull + 2ull * i, &c);
            key->name[i] = c;
        }
        return true;
    }

    bool Table(uint32_t at, int level, ResourceLeaf path)
    {
        if (!visited.insert(at).second)
            return Fail("the table at offset " + Hex(at) + " is reached twice (a loop or a shared table)");
        uint16_t named, ids;
        if (!Get16(tree, at + 12ull, &named) || !Get16(tree, at + 14ull, &ids))
            return Fail("the table at offset " + Hex(at) + " runs past the section");
        uint64_t count = static_cast<uint64_t>(named) + ids;
        if (Sub(tree, at + 16ull, count * 8).data == nullptr && count > 0)
            return Fail("the " + std::to_string(count) + " entries of the table at offset " + Hex(at) +
                        " run past the section");
        entries += count;
        if (entries > kMaxResourceEntries)
            return Fail("more than " + std::to_string(kMaxResourceEntries) + " entries");
        for (uint64_t i = 0; i < count; ++i) {
            uint32_t nameField = 0, target = 0;
            Get32(tree, at + 16 + i * 8, &nameField);
            Get32(tree, at + 20 + i * 8, &target);
            ResourceKey key;
            if (!ReadKey(nameField, &key))
                return false;
            if (key.isName != (i < named))
                return Fail("the table at offset " + Hex(at) + " mixes named and numbered entries");
            bool isTable = (target & 0x80000000u) != 0;
            if (level == 0)
                path.type = key;
            else if (level == 1)
                path.name = key;
            else if (key.isName)
                return Fail("a language entry under type " + KeyText(path.type) + " has a name, not an id");
            else
                path.language = key.id;
            if (level < 2) {
                if (!isTable)
                    return Fail("data where a table belongs (level " + std::to_string(level + 1) + ")");
                if (!Table(target & 0x7FFFFFFFu, level + 1, path))
                    return false;
            } else {
                if (isTable)
                    return Fail("tables nest deeper than type, name and language");
                if (!Leaf(target, path))
                    return false;
            }
        }
        return true;
    }

    bool Leaf(uint32_t at, ResourceLeaf leaf)
    {
        uint32_t reserved;
        if (!Get32(tree, at, &leaf.rva) || !Get32(tree, at + 4ull, &leaf.size) ||
            !Get32(tree, at + 8ull, &leaf.codePage) || !Get32(tree, at + 12ull, &reserved))
            return Fail("the data entry at offset " + Hex(at) + " runs past the section");
        if (leaf.size > 0 && !MapRange(*image, file.size, leaf.rva, leaf.size, &leaf.fileOffset))
            return Fail("the data of " + KeyText(leaf.type) + "/" + KeyText(leaf.name) + " (" + Hex(leaf.rva) +
                        ", " + std::to_string(leaf.size) + " bytes) lies outside the file");
        image->resources.push_back(leaf);
        return true;
    }
};

// The MZ and PE signatures and the file header; the optional header must be PE32's.
bool ReadFileHeader(ByteSpan file, PeImage* image, uint16_t* sections, std::string* error)
{
    uint16_t magic16, optionalMagic;
    uint32_t peOffset, signature;
    if (!Get16(file, 0, &magic16) || magic16 != 0x5A4D || !Get32(file, 0x3C, &peOffset)) {
        *error = "not an executable (no MZ header)";
        return false;
    }
    if (!Get32(file, peOffset, &signature) || signature != 0x00004550) {
        *error = "not a PE image (no PE signature at " + Hex(peOffset) + ")";
        return false;
    }
    image->peOffset = peOffset;
    image->optionalOffset = peOffset + 24;
    if (!Get16(file, peOffset + 4ull, &image->machine) || !Get16(file, peOffset + 6ull, sections) ||
        !Get16(file, peOffset + 20ull, &image->sizeOfOptionalHeader) ||
        !Get16(file, peOffset + 22ull, &image->characteristics) || !Get16(file, peOffset + 24ull, &optionalMagic)) {
        *error = "the PE header is cut short";
        return false;
    }
    if (optionalMagic != 0x10B) {
        *error = "not a 32-bit (PE32) image: optional header magic " + Hex(optionalMagic);
        return false;
    }
    return true;
}

bool ReadOptionalHeader(ByteSpan file, PeImage* image, std::string* error)
{
    ByteSpan optional = Sub(file, image->optionalOffset, image->sizeOfOptionalHeader);
    if (image->sizeOfOptionalHeader < kOptDataDirectories || optional.data == nullptr) {
        *error = "the optional header is cut short";
        return false;
    }
    Get32(optional, 32, &image->sectionAlignment);
    Get32(optional, kOptFileAlignment, &image->fileAlignment);
    Get32(optional, kOptSizeOfImage, &image->sizeOfImage);
    Get32(optional, kOptSizeOfHeaders, &image->sizeOfHeaders);
    Get32(optional, kOptCheckSum, &image->checkSum);
    uint32_t dirCount;
    Get32(optional, 92, &dirCount);
    image->dirCount = std::min<uint32_t>(dirCount, 16);
    if (kOptDataDirectories + 8ull * image->dirCount > image->sizeOfOptionalHeader) {
        *error = "the data directory runs past the optional header";
        return false;
    }
    for (uint32_t i = 0; i < image->dirCount; ++i) {
        Get32(optional, kOptDataDirectories + 8 * i, &image->dirRva[i]);
        Get32(optional, kOptDataDirectories + 8 * i + 4, &image->dirSize[i]);
    }
    image->sectionTableOffset = image->optionalOffset + image->sizeOfOptionalHeader;
    return true;
}

bool ReadSectionTable(ByteSpan file, uint16_t sections, PeImage* image, std::string* error)
{
    if (sections == 0 || sections > 96 || Sub(file, image->sectionTableOffset, 40ull * sections).data == nullptr) {
        *error = "the section table (" + std::to_string(sections) + " sections) is empty, too long or cut short";
        return false;
    }
    for (uint16_t i = 0; i < sections; ++i) {
        const uint8_t* h = file.data + image->sectionTableOffset + 40u * i;
        ByteSpan header{h, 40};
        PeSection s;
        for (int c = 0; c < 8 && h[c] != 0; ++c)
            s.name.push_back(h[c] >= 0x20 && h[c] < 0x7F ? static_cast<char>(h[c]) : '?');
        Get32(header, 8, &s.virtualSize);
        Get32(header, 12, &s.virtualAddress);
        Get32(header, 16, &s.rawSize);
        Get32(header, 20, &s.rawPointer);
        Get32(header, 36, &s.characteristics);
        if (s.rawSize > 0 && (s.rawPointer > file.size || s.rawSize > file.size - s.rawPointer)) {
            *error = "section " + s.name + " runs past the end of the file (" + Hex(s.rawPointer) + " + " +
                     Hex(s.rawSize) + " > " + Hex(file.size) + ")";
            return false;
        }
        image->sections.push_back(s);
    }
    return true;
}

bool ReadHeaders(ByteSpan file, PeImage* image, std::string* error)
{
    uint16_t sections = 0;
    return ReadFileHeader(file, image, &sections, error) && ReadOptionalHeader(file, image, error) &&
           ReadSectionTable(file, sections, image, error);
}

bool ReadResourceTree(ByteSpan file, PeImage* image, std::string* error)
{
    if (image->dirCount <= kDirResource || image->dirRva[kDirResource] == 0)
        return true;
    uint32_t rva = image->dirRva[kDirResource];
    for (size_t i = 0; i < image->sections.size(); ++i) {
        const PeSection& s = image->sections[i];
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
            image->resourceSection = static_cast<int>(i);
            uint64_t root = s.rawPointer + (rva - s.virtualAddress);
            TreeWalker walker{file, Sub(file, root, s.rawPointer + s.rawSize - root), image, error, {}, 0};
            return walker.Table(0, 0, ResourceLeaf{});
        }
    }
    *error = "the resource directory (" + Hex(rva) + ") lies in no section's data";
    return false;
}

struct VersionWalker {
    ByteSpan block;
    VersionInfo* out;
    std::string* error;

    bool Fail(const std::string& text)
    {
        *error = "version block: " + text;
        return false;
    }

    // One node: length, value length, type, NUL-terminated key, value and children, each aligned to 4.
    bool Node(uint64_t at, uint64_t limit, int depth, const std::u16string& parent)
    {
        uint16_t length, valueLength, type;
        if (depth > 4)
            return Fail("nests too deep");
        if (!Get16(block, at, &length) || !Get16(block, at + 2, &valueLength) || !Get16(block, at + 4, &type) ||
            length < 6 || at + length > limit)
            return Fail("a node at offset " + Hex(at) + " runs past its parent");
        uint64_t end = at + length, pos = at + 6;
        std::u16string key;
        if (!Key(at, end, &pos, &key))
            return false;
        pos = (pos + 3) & ~3ull;
        uint64_t valueBytes = type == 1 ? 2ull * valueLength : valueLength;
        if (valueBytes > 0 && (pos > end || valueBytes > end - pos))
            return Fail("the value of " + Printable(key) + " runs past its node");
        Value(depth, parent, key, type == 1, pos, valueLength, valueBytes);
        return Children((pos + valueBytes + 3) & ~3ull, end, depth, key);
    }

    // The key from *pos, which is left past its terminator.
    bool Key(uint64_t at, uint64_t end, uint64_t* pos, std::u16string* key)
    {
        for (uint16_t c = 0; ; *pos += 2) {
            if (*pos + 2 > end || !Get16(block, *pos, &c))
                return Fail("a key at offset " + Hex(at) + " is not terminated");
            if (c == 0)
                break;
            key->push_back(c);
        }
        *pos += 2;
        return true;
    }

    // What a node's value says, by where the node stands; other values are passed over.
    void Value(int depth, const std::u16string& parent, const std::u16string& key, bool text, uint64_t pos,
               uint16_t valueLength, uint64_t valueBytes)
    {
        if (depth == 0) {
            out->present = true;
            FixedInfo(pos, valueBytes);
        } else if (depth == 2 && parent == u"StringFileInfo" && out->stringTable.empty()) {
            for (char16_t c : key)
                out->stringTable.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        } else if (depth == 3 && text && out->strings.count(key) == 0) {
            out->strings[key] = Text(pos, valueLength);
        } else if (depth == 2 && key == u"Translation" && valueBytes >= 4) {
            Get32(block, pos, &out->translation);
        }
    }

    void FixedInfo(uint64_t pos, uint64_t valueBytes)
    {
        uint32_t signature = 0;
        if (valueBytes < 52 || !Get32(block, pos, &signature) || signature != 0xFEEF04BD)
            return;
        out->hasFixed = true;
        uint32_t words[4];
        for (int i = 0; i < 4; ++i)
            Get32(block, pos + 8 + 4 * i, &words[i]);
        for (int i = 0; i < 2; ++i) {
            out->fileVersion[2 * i] = static_cast<uint16_t>(words[i] >> 16);
            out->fileVersion[2 * i + 1] = static_cast<uint16_t>(words[i]);
            out->productVersion[2 * i] = static_cast<uint16_t>(words[2 + i] >> 16);
            out->productVersion[2 * i + 1] = static_cast<uint16_t>(words[2 + i]);
        }
        Get32(block, pos + 36, &out->fileType);
    }

    std::u16string Text(uint64_t pos, uint16_t valueLength)
    {
        std::u16string value;
        for (uint64_t i = 0; i < valueLength; ++i) {
            uint16_t c = 0;
            Get16(block, pos + 2 * i, &c);
            if (c == 0)
                break;
            value.push_back(c);
        }
        return value;
    }

    bool Children(uint64_t child, uint64_t end, int depth, const std::u16string& key)
    {
        while (child + 6 <= end) {
            uint16_t childLength = 0;
            Get16(block, child, &childLength);
            if (childLength == 0)
                break;
            if (!Node(child, end, depth + 1, key))
                return false;
            child = (child + childLength + 3) & ~3ull;
        }
        return true;
    }
};

}  // namespace

ResourceKey ResourceKey::Id(uint16_t id)
{
    ResourceKey key;
    key.id = id;
    return key;
}

ResourceKey ResourceKey::Name(const std::u16string& name)
{
    ResourceKey key;
    key.isName = true;
    key.name = name;
    return key;
}

// Names before ids; names by their UTF-16 units, which is how the loader's binary search
// compares them after upper-casing the name it looks for; ids by value.
bool operator<(const ResourceKey& a, const ResourceKey& b)
{
    if (a.isName != b.isName)
        return a.isName;
    return a.isName ? a.name < b.name : a.id < b.id;
}

bool operator==(const ResourceKey& a, const ResourceKey& b)
{
    return a.isName == b.isName && a.id == b.id && a.name == b.name;
}

bool ReadPeImage(ByteSpan file, PeImage* image, std::string* error)
{
    *image = PeImage{};
    return ReadHeaders(file, image, error) && ReadResourceTree(file, image, error);
}

ByteSpan LeafBytes(ByteSpan file, const ResourceLeaf& leaf)
{
    return Sub(file, leaf.fileOffset, leaf.size);
}

bool DecodeStringBlock(ByteSpan block, std::u16string out[16], std::string* error)
{
    uint64_t at = 0;
    for (int i = 0; i < 16; ++i) {
        out[i].clear();
        uint16_t length;
        if (!Get16(block, at, &length)) {
            if (at == block.size)
                continue;  // a block may stop after its last string
            *error = "a string block ends inside the length of entry " + std::to_string(i);
            return false;
        }
        if (Sub(block, at + 2, 2ull * length).data == nullptr && length > 0) {
            *error = "entry " + std::to_string(i) + " of a string block claims " + std::to_string(length) +
                     " characters, more than the block holds";
            return false;
        }
        for (uint16_t c = 0; c < length; ++c) {
            uint16_t unit = 0;
            Get16(block, at + 2 + 2ull * c, &unit);
            out[i].push_back(unit);
        }
        at += 2 + 2ull * length;
    }
    return true;
}

bool DecodeVersionBlock(ByteSpan block, VersionInfo* out, std::string* error)
{
    *out = VersionInfo{};
    VersionWalker walker{block, out, error};
    return walker.Node(0, block.size, 0, u"");
}
