// Faults the stub and inspect fuzzers found in setup-pack, each as the smallest input that shows it.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "manifest.h"
#include "pack.h"
#include "pe_reader.h"
#include "test_stub.h"

namespace {

// The synthetic stub with its string block 13 moved to another language (0x409) and its
// first entry claiming far more characters than the block holds, as the fuzzer made it.
std::vector<uint8_t> StubWithBrokenForeignBlock()
{
    std::vector<uint8_t> stub = MakeTestStub();
    PeImage image;
    std::string error;
    if (!ReadPeImage(ByteSpan{stub.data(), stub.size()}, &image, &error))
        return {};
    const PeSection& rsrc = image.sections[image.resourceSection];
    for (const ResourceLeaf& leaf : image.resources) {
        if (!(leaf.type == ResourceKey::Id(kRtString) && leaf.name == ResourceKey::Id(13)))
            continue;
        // The data entry that points at the block, then the language entry that points at it.
        for (size_t data = rsrc.rawPointer; data + 8 <= rsrc.rawPointer + rsrc.rawSize; data += 4) {
            if (Load32(&stub[data]) != leaf.rva || Load32(&stub[data + 4]) != leaf.size)
                continue;
            uint32_t dataOffset = static_cast<uint32_t>(data - rsrc.rawPointer);
            for (size_t entry = rsrc.rawPointer; entry + 8 <= data; entry += 4) {
                if (Load32(&stub[entry]) == 0 && Load32(&stub[entry + 4]) == dataOffset) {
                    Put32(&stub[entry], 0x409);
                    stub[leaf.fileOffset] = 0xFF;
                    stub[leaf.fileOffset + 1] = 0x7F;
                    return stub;
                }
            }
        }
    }
    return {};
}

TEST(StubFuzzFindings, ABrokenStringBlockInAnotherLanguageIsRefusedNotCopiedIntoTheSetup)
{
    std::vector<uint8_t> stub = StubWithBrokenForeignBlock();
    ASSERT_FALSE(stub.empty()) << "expected the synthetic stub to have a neutral string block 13 to move";
    PeImage image;
    std::string error;
    ASSERT_TRUE(ReadPeImage(ByteSpan{stub.data(), stub.size()}, &image, &error)) << error;
    bool moved = false;
    for (const ResourceLeaf& leaf : image.resources)
        moved = moved || (leaf.type == ResourceKey::Id(kRtString) && leaf.name == ResourceKey::Id(13) &&
                          leaf.language == 0x409);
    ASSERT_TRUE(moved) << "expected block 13 in language 0x409 after the edit";

    TempDir dir;
    std::string stubPath = dir.Write("stub.exe", std::string(stub.begin(), stub.end()));
    dir.Write("a.txt", "hi\r\n");
    dir.Write("terms.txt", "Use it.\n");
    std::string manifest = dir.Write("setup.ini",
                                     "[product]\nname = Tiny\nprogram = a.txt\nversion = 1.0\nlegal = x\n"
                                     "terms = terms.txt\n[files]\na.txt = a.txt\n");
    Package package;
    Diagnostics diags;
    ASSERT_TRUE(ReadManifest(manifest, {}, &package, &diags)) << diags.Format();

    std::ostringstream log;
    std::string out = dir.path() + "/Setup.exe";
    EXPECT_FALSE(BuildSetup(package, stubPath, 0, out, log, &diags))
        << "expected the build to refuse a stub whose string block 13 runs past its data";
    EXPECT_NE(std::string::npos, diags.Format().find("string block 13 (language 1033)"))
        << "expected the refusal to name string block 13 and its language; got: " << diags.Format();
}

}  // namespace
