// The reader against hostile images: cut short, corrupted, looping or lying about sizes; always an error, never a crash.
#include <gtest/gtest.h>

#include <sstream>

#include "bytes.h"
#include "image_writer.h"
#include "inspect.h"
#include "pack.h"
#include "package_merge.h"
#include "package_view.h"
#include "resource.h"
#include "resource_writer.h"
#include "test_stub.h"

namespace {

class HostileImage : public ::testing::Test {
protected:
    HostileImage()
    {
        dir.Write("terms.txt", "Terms\n");
        dir.Write("a.txt", "payload a");
        dir.Write("setup.ini", "[product]\nname = P\nprogram = a.txt\nversion = 1\nlegal = L\nterms = terms.txt\n"
                               "[files]\na.txt = a.txt\nsub\\b.txt = a.txt\n");
        std::vector<uint8_t> stub = MakeTestStub();
        std::string stubPath = dir.Write("stub.exe", std::string(stub.begin(), stub.end()));
        Diagnostics diags;
        Package package;
        std::ostringstream log;
        if (!ReadManifest(dir.path() + "/setup.ini", {}, &package, &diags) ||
            !BuildSetup(package, stubPath, 512, dir.path() + "/Setup.exe", log, &diags))
            ADD_FAILURE() << diags.Format();
        std::string bytes = ReadAll(dir.path() + "/Setup.exe");
        good.assign(bytes.begin(), bytes.end());
        std::string error;
        if (!ReadPeImage(Span(good), &image, &error))
            ADD_FAILURE() << error;
        root = image.sections[image.resourceSection].rawPointer;
    }

    static ByteSpan Span(const std::vector<uint8_t>& bytes) { return ByteSpan{bytes.data(), bytes.size()}; }

    // The error ReadPackage gives for bytes; "" when it reads them.
    static std::string ErrorOf(const std::vector<uint8_t>& bytes)
    {
        PackageView view;
        std::string error;
        bool ok = ReadPackage(Span(bytes), &view, &error);
        return ok ? "" : error.empty() ? "(empty error)" : error;
    }

    TempDir dir;
    std::vector<uint8_t> good;
    PeImage image;
    size_t root = 0;
};

TEST_F(HostileImage, EveryTruncationIsRefusedCleanly)
{
    ASSERT_EQ("", ErrorOf(good));
    for (size_t length = 0; length < good.size(); ++length) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + length);
        EXPECT_NE("", ErrorOf(cut)) << "cut to " << length << " bytes";
    }
}

TEST_F(HostileImage, EveryByteOfHeadersAndDirectoryMayBeGarbage)
{
    size_t end = root + image.sections[image.resourceSection].virtualSize;
    for (size_t at = 0; at < end; ++at) {
        if (at == image.sectionTableOffset + 40 * image.sections.size())
            at = root;  // the padding after the headers is never read
        for (uint8_t value : {0x00, 0x7F, 0xFF}) {
            std::vector<uint8_t> bad = good;
            bad[at] = value;
            PackageView view;
            std::string error;
            ReadPackage(Span(bad), &view, &error);  // any answer will do; the sanitizers watch the reading
        }
    }
}

TEST_F(HostileImage, LoopsDeepNestingAndLyingSizesGetTheirOwnErrors)
{
    // Root entry 0 points at a type table; the type table's entry at a language table.
    size_t typeTable = root + (Load32(&good[root + 20]) & 0x7FFFFFFF);
    size_t langTable = root + (Load32(&good[typeTable + 20]) & 0x7FFFFFFF);
    size_t dataEntry = root + Load32(&good[langTable + 20]);

    std::vector<uint8_t> loop = good;
    Put32(&loop[typeTable + 20], 0x80000000u);  // back to the root
    EXPECT_NE(std::string::npos, ErrorOf(loop).find("reached twice")) << ErrorOf(loop);

    std::vector<uint8_t> deep = good;
    Put32(&deep[langTable + 20], 0x80000000u | static_cast<uint32_t>(langTable - root));
    EXPECT_NE(std::string::npos, ErrorOf(deep).find("nest deeper")) << ErrorOf(deep);

    std::vector<uint8_t> huge = good;
    Put32(&huge[dataEntry + 4], 0x7FFFFFF0u);
    EXPECT_NE(std::string::npos, ErrorOf(huge).find("lies outside the file")) << ErrorOf(huge);
    std::vector<uint8_t> intoReloc = good;  // to the end of the file, past the end of its section
    const PeSection& rsrc = image.sections[image.resourceSection];
    size_t dataAt = root + Load32(&good[dataEntry]) - rsrc.virtualAddress;
    Put32(&intoReloc[dataEntry + 4], static_cast<uint32_t>(good.size() - dataAt));
    EXPECT_NE(std::string::npos, ErrorOf(intoReloc).find("lies outside the file")) << ErrorOf(intoReloc);

    std::vector<uint8_t> many = good;
    many[root + 14] = 0xFF;
    many[root + 15] = 0xFF;
    EXPECT_NE(std::string::npos, ErrorOf(many).find("run past the section")) << ErrorOf(many);

    const ResourceLeaf* block = nullptr;
    for (const ResourceLeaf& leaf : image.resources) {
        if (leaf.type == ResourceKey::Id(kRtString) && !block)
            block = &leaf;
    }
    ASSERT_NE(nullptr, block);
    std::vector<uint8_t> strings = good;
    strings[block->fileOffset] = 0xFF;
    strings[block->fileOffset + 1] = 0x7F;
    EXPECT_NE(std::string::npos, ErrorOf(strings).find("more than the block holds")) << ErrorOf(strings);

    std::vector<uint8_t> section = good;
    Put32(&section[image.sectionTableOffset + 16], 0x10000000u);  // raw size of the first section
    EXPECT_NE(std::string::npos, ErrorOf(section).find("runs past the end of the file")) << ErrorOf(section);

    std::vector<uint8_t> far = good;
    Put32(&far[0x3C], 0xFFFFFFF0u);
    EXPECT_NE(std::string::npos, ErrorOf(far).find("no PE signature")) << ErrorOf(far);

    std::vector<uint8_t> wide = good;
    wide[image.optionalOffset + 1] = 0x02;  // PE32+ magic
    EXPECT_NE(std::string::npos, ErrorOf(wide).find("not a 32-bit")) << ErrorOf(wide);
}

TEST_F(HostileImage, AListWithAGapOrAMissingEntryIsReportedAsTheSetupWouldReadIt)
{
    // A hand-edited package: the fourth file's string behind a gap, a named entry, and none for sub\b.txt.
    Diagnostics diags;
    Package package;
    ASSERT_TRUE(ReadManifest(dir.path() + "/setup.ini", {}, &package, &diags)) << diags.Format();
    std::vector<uint8_t> stub = MakeTestStub();
    PeImage stubImage;
    std::string error;
    ASSERT_TRUE(ReadPeImage(Span(stub), &stubImage, &error)) << error;
    std::vector<ResourceItem> items;
    ASSERT_TRUE(MakeResourceItems(Span(stub), stubImage, package, &items, &diags)) << diags.Format();
    for (auto item = items.begin(); item != items.end();) {
        if (item->type == ResourceKey::Id(kRtString) && item->name == ResourceKey::Id(IDS_FILE_FIRST / 16 + 1)) {
            std::u16string block[16];
            ASSERT_TRUE(DecodeStringBlock(ByteSpan{item->data.bytes.data(), item->data.bytes.size()}, block, &error));
            block[3] = u"late.txt";
            item->data.bytes = EncodeStringBlock(block);
            item->data.size = item->data.bytes.size();
        }
        // a.txt as an old package holds it, by its made name: the setup falls back to that.
        if (item->name == ResourceKey::Id(IDS_FILE_FIRST))
            item->name = ResourceKey::Name(u"A_TXT");
        if (item->name == ResourceKey::Id(IDS_FILE_FIRST + 1))
            item = items.erase(item);
        else
            ++item;
    }
    ImageResult result;
    std::string edited = dir.path() + "/Edited.exe";
    ASSERT_TRUE(WriteImage(Span(stub), stubImage, items, 512, edited, &result, &error)) << error;
    std::string bytes = ReadAll(edited);
    std::ostringstream out;
    ASSERT_TRUE(InspectImage(ByteSpan{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, out, &error))
        << error;
    EXPECT_NE(std::string::npos, out.str().find("files:     2, 9 bytes\n")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("         9  by name A_TXT\n")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("   missing  neither numbered nor by name SUB_B_TXT")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("note: file " + std::to_string(IDS_FILE_FIRST + 1) +
                                                " has no payload entry, neither numbered nor named SUB_B_TXT"))
        << out.str();
    EXPECT_NE(std::string::npos, out.str().find("note: string " + std::to_string(IDS_FILE_FIRST + 3) +
                                                " is never read: the file list ends at " +
                                                std::to_string(IDS_FILE_FIRST + 2)))
        << out.str();
}

}  // namespace
