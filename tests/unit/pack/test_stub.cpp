// Builds the synthetic stub byte by byte and manages temporary folders for the tests.
#include "test_stub.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bytes.h"
#include "resource_writer.h"

namespace {

void Put(std::vector<uint8_t>* out, size_t at, uint32_t value, int bytes)
{
    if (bytes == 2)
        Put16(&(*out)[at], static_cast<uint16_t>(value));
    else
        Put32(&(*out)[at], value);
}

ResourceItem Item(uint16_t type, uint16_t name, uint16_t language, std::vector<uint8_t> bytes)
{
    ResourceItem item{ResourceKey::Id(type), ResourceKey::Id(name), language, {}};
    item.data.size = bytes.size();
    item.data.bytes = std::move(bytes);
    return item;
}

}  // namespace

std::vector<uint8_t> MakeTestStub(const StubOptions& options)
{
    const uint32_t kHeaders = 0x200, kText = 0x1000, kRsrc = 0x2000;
    std::u16string block13[16], block14[16];
    block13[202 % 16] = u"Welcome to %s!";
    block13[205 % 16] = u"The installation process failed!";
    block14[212 % 16] = u"Warning: Couldn't launch '%s'";
    std::vector<ResourceItem> items;
    items.push_back(Item(kRtIcon, 1, 0, std::vector<uint8_t>(40, 0x11)));
    items.push_back(Item(kRtGroupIcon, 2, 0, {0, 0, 1, 0, 1, 0, 32, 32, 16, 0, 1, 0, 4, 0, 40, 0, 0, 0, 1, 0}));
    items.push_back(Item(kRtDialog, 10, 0, std::vector<uint8_t>(30, 0x22)));
    // A dialog named in quotes beside the numbered one: the directory must list names first.
    items.push_back(Item(kRtDialog, 0, 0, std::vector<uint8_t>(30, 0x33)));
    items.back().name = ResourceKey::Name(u"ABOUT");
    items.push_back(Item(kRtString, 13, 0, EncodeStringBlock(block13)));
    items.push_back(Item(kRtString, 14, 0, EncodeStringBlock(block14)));
    if (options.foreignStrings) {
        std::u16string block[16];
        block[500 % 16] = u"Name in English";
        items.push_back(Item(kRtString, 32, 0x409, EncodeStringBlock(block)));
    }
    ResourceLayout layout;
    std::string error;
    if (!LayoutResources(items, kRsrc, &layout, &error))
        throw std::runtime_error(error);
    uint32_t rsrcRaw = static_cast<uint32_t>(AlignUp(layout.size, 0x200));
    uint32_t relocRva = kRsrc + static_cast<uint32_t>(AlignUp(layout.size, 0x1000));
    int sections = options.reloc ? 3 : 2;
    uint32_t fileSize = kHeaders + 0x200 + rsrcRaw + (options.reloc ? 0x200 : 0);
    std::vector<uint8_t> image(fileSize, 0);

    Put(&image, 0, 0x5A4D, 2);
    Put(&image, 0x3C, 0x40, 4);
    Put(&image, 0x40, 0x00004550, 4);
    const size_t fh = 0x44, opt = fh + 20;
    Put(&image, fh, 0x14C, 2);
    Put(&image, fh + 2, static_cast<uint32_t>(sections), 2);
    Put(&image, fh + 16, 0xE0, 2);
    Put(&image, fh + 18, options.reloc ? 0x0102 : 0x0103, 2);
    Put(&image, opt, 0x10B, 2);
    Put(&image, opt + 4, 0x200, 4);                           // size of code
    Put(&image, opt + 8, rsrcRaw + (options.reloc ? 0x200 : 0), 4);
    Put(&image, opt + 16, kText, 4);                          // entry point
    Put(&image, opt + 20, kText, 4);
    Put(&image, opt + 24, kRsrc, 4);
    Put(&image, opt + 28, 0x400000, 4);
    Put(&image, opt + 32, 0x1000, 4);
    Put(&image, opt + 36, 0x200, 4);
    Put(&image, opt + 40, 4, 2);
    Put(&image, opt + 48, 4, 2);
    Put(&image, opt + 56, options.reloc ? relocRva + 0x1000 : relocRva, 4);
    Put(&image, opt + 60, kHeaders, 4);
    Put(&image, opt + 68, 2, 2);                              // GUI
    Put(&image, opt + 70, options.reloc ? 0x140 : 0, 2);
    Put(&image, opt + 72, 0x200000, 4);
    Put(&image, opt + 76, 0x1000, 4);
    Put(&image, opt + 80, 0x100000, 4);
    Put(&image, opt + 84, 0x1000, 4);
    Put(&image, opt + 92, 16, 4);
    Put(&image, opt + 96 + 8 * 2, kRsrc, 4);
    Put(&image, opt + 96 + 8 * 2 + 4, static_cast<uint32_t>(layout.size), 4);
    if (options.reloc) {
        Put(&image, opt + 96 + 8 * 5, relocRva, 4);
        Put(&image, opt + 96 + 8 * 5 + 4, 12, 4);
    }
    struct Section { const char* name; uint32_t rva, size, raw, rawSize, flags; };
    std::vector<Section> table = {{".text", kText, 0x10, kHeaders, 0x200, 0x60000020},
                                  {".rsrc", kRsrc, static_cast<uint32_t>(layout.size), kHeaders + 0x200, rsrcRaw,
                                   0x40000040}};
    if (options.reloc)
        table.push_back({".reloc", relocRva, 12, kHeaders + 0x200 + rsrcRaw, 0x200, 0x42000040});
    size_t at = opt + 0xE0;
    for (const Section& s : table) {
        for (int c = 0; s.name[c]; ++c)
            image[at + c] = static_cast<uint8_t>(s.name[c]);
        Put(&image, at + 8, s.size, 4);
        Put(&image, at + 12, s.rva, 4);
        Put(&image, at + 16, s.rawSize, 4);
        Put(&image, at + 20, s.raw, 4);
        Put(&image, at + 36, s.flags, 4);
        at += 40;
    }
    const uint8_t code[] = {0xB8, 0x00, 0x10, 0x40, 0x00, 0xC3};  // mov eax, 0x401000; ret
    std::copy(code, code + sizeof code, image.begin() + kHeaders);
    std::copy(layout.head.begin(), layout.head.end(), image.begin() + kHeaders + 0x200);
    for (size_t i = 0; i < items.size(); ++i)
        std::copy(items[i].data.bytes.begin(), items[i].data.bytes.end(),
                  image.begin() + kHeaders + 0x200 + layout.dataOffset[i]);
    if (options.reloc) {
        size_t reloc = kHeaders + 0x200 + rsrcRaw;
        Put(&image, reloc, kText, 4);
        Put(&image, reloc + 4, 12, 4);
        Put(&image, reloc + 8, 0x3001, 2);  // the address in the mov
    }
    return image;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pack-test-XXXXXX").string();
    if (!::mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const
{
    std::filesystem::path full = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << content;
    return full.string();
}

std::vector<std::string> TempDir::List() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
