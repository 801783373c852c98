// Building setups end to end: what goes in comes out, byte for byte, the same every time, and a failure leaves nothing.
#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

#include "image_writer.h"
#include "pack.h"
#include "package_view.h"
#include "resource.h"
#include "test_stub.h"

namespace {

ByteSpan Span(const std::string& bytes)
{
    return ByteSpan{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

uint32_t Get32(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

// The payload entries of a setup by number: a named one (as an old package has) under 0.
std::map<uint16_t, const ResourceLeaf*> PayloadByNumber(const PackageView& view)
{
    std::map<uint16_t, const ResourceLeaf*> payload;
    for (const ResourceLeaf& leaf : view.image.resources) {
        if (leaf.type == ResourceKey::Id(kRtRcData))
            payload[leaf.name.isName ? 0 : leaf.name.id] = &leaf;
    }
    return payload;
}

class Build : public ::testing::Test {
protected:
    Build()
    {
        stub = dir.Write("stub.exe", Text(MakeTestStub()));
        dir.Write("src/terms.txt", "Terms of Lumivue\r\n \r\nAccept them.\r\n");
        dir.Write("src/Lumivue.exe", "MZ main program");
        dir.Write("src/fr.language", "Bonjour");
        std::string big;
        for (int i = 0; big.size() < (5u << 19) + 1; ++i)  // 2.5 MiB and one byte: several chunks, odd length
            big += std::to_string(i * 7919) + ",";
        big.resize((5u << 19) + 1);
        dir.Write("src/data.bin", big);
        dir.Write("src/readme.txt", "Read me");
        dir.Write("src/setup.ini",
                  "[product]\nname = Lumivue\nprogram = Lumivue.exe\nversion = 7.0.2\n"
                  "legal = Copyright \xC2\xA9 2026 Lumivue\nterms = terms.txt\n"
                  "[folders]\nfolder = Extras\\Fonts\n"
                  "[files]\nLumivue.exe = Lumivue.exe\n"
                  "Languages\\French - Fran\xC3\xA7" "ais.language = fr.language\n"
                  "Data\\Big.bin = data.bin\n"
                  "read me.txt = readme.txt\nRead-Me.txt = readme.txt\n");
    }

    int Run(std::vector<std::string> args)
    {
        out.str("");
        err.str("");
        return RunSetupPack(args, dir.path() + "/setup-pack", out, err);
    }

    // Packs the manifest into setup and reads it back; the setup's bytes stay in bytes.
    PackageView PackAndRead(const std::string& manifest, const std::string& setup)
    {
        PackageView view;
        std::string error;
        EXPECT_EQ(0, Run({manifest, "-o", setup, "--stub", stub})) << err.str();
        bytes = ReadAll(setup);
        EXPECT_TRUE(ReadPackage(Span(bytes), &view, &error)) << error;
        return view;
    }

    TempDir dir;
    std::string stub, bytes;
    std::ostringstream out, err;
};

TEST_F(Build, WhatTheManifestSaysIsWhatTheSetupCarries)
{
    std::string setup = dir.path() + "/Setup.exe";
    PackageView view = PackAndRead(dir.path() + "/src/setup.ini", setup);
    ASSERT_FALSE(HasFailure());
    struct stat st = {};
    EXPECT_TRUE(::stat(setup.c_str(), &st) == 0 && (st.st_mode & S_IXUSR))
        << "expected an executable setup; got mode " << std::oct << st.st_mode;

    EXPECT_EQ(u"Lumivue", view.product);
    EXPECT_EQ(u"Lumivue.exe", view.program);
    EXPECT_EQ(u"Terms of Lumivue\n \nAccept them.\n", view.terms);
    EXPECT_EQ(3, view.termsLines);
    std::vector<std::u16string> folders = {u"Languages", u"Data", u"Extras", u"Extras\\Fonts"};
    EXPECT_EQ(folders, view.folders);
    std::vector<std::u16string> names = {u"Lumivue.exe", u"Languages\\French - Fran\u00E7ais.language",
                                         u"Data\\Big.bin", u"read me.txt", u"Read-Me.txt"};
    ASSERT_EQ(names.size(), view.files.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], view.files[i].listedName) << i;
        EXPECT_TRUE(view.files[i].found && view.files[i].numbered) << i;
    }
    EXPECT_TRUE(view.notes.empty()) << view.notes.front();
    EXPECT_EQ(u"Welcome to %s!", view.strings[202]) << "the stub's messages stay";
    EXPECT_EQ(u"Warning: Couldn't launch '%s'", view.strings[212]);

    // Payload entries: one per file, numbered like its list entry, language neutral, content byte
    // for byte; the two files of one source point at one data entry.
    const char* sources[] = {"Lumivue.exe", "fr.language", "data.bin", "readme.txt", "readme.txt"};
    std::map<uint16_t, const ResourceLeaf*> payload = PayloadByNumber(view);
    ASSERT_EQ(5u, payload.size());
    for (uint16_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(payload.count(IDS_FILE_FIRST + i)) << "no entry numbered " << IDS_FILE_FIRST + i;
        const ResourceLeaf& leaf = *payload[IDS_FILE_FIRST + i];
        EXPECT_EQ(0, leaf.language);
        ByteSpan data = LeafBytes(Span(bytes), leaf);
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(data.data), data.size) ==
                    ReadAll(dir.path() + "/src/" + sources[i]))
            << IDS_FILE_FIRST + i << " differs from its source";
    }
    EXPECT_EQ(payload[IDS_FILE_FIRST + 3]->rva, payload[IDS_FILE_FIRST + 4]->rva) << "the same bytes stored twice";
    EXPECT_EQ(10003u, view.files[4].sameBytesAs);

    ASSERT_TRUE(view.version.hasFixed);
    EXPECT_EQ(7, view.version.fileVersion[0]);
    EXPECT_EQ(2, view.version.fileVersion[2]);
    EXPECT_EQ(7, view.version.productVersion[0]);
    EXPECT_EQ(1u, view.version.fileType);
    EXPECT_EQ("040904e4", view.version.stringTable);
    EXPECT_EQ(u"Setup program for Lumivue", view.version.strings[u"FileDescription"]);
    EXPECT_EQ(u"7.0.2", view.version.strings[u"FileVersion"]);
    EXPECT_EQ(u"7.0.2", view.version.strings[u"ProductVersion"]);
    EXPECT_EQ(u"Copyright \u00A9 2026 Lumivue", view.version.strings[u"LegalCopyright"]);
    EXPECT_EQ(0x04E40409u, view.version.translation);

    // Headers agree with the layout: image size, checksum, and .reloc moved behind the grown resources.
    const PeImage& image = view.image;
    ASSERT_EQ(3u, image.sections.size());
    const PeSection& rsrc = image.sections[1];
    const PeSection& reloc = image.sections[2];
    EXPECT_EQ(".reloc", reloc.name);
    EXPECT_EQ(image.dirRva[kDirResource], rsrc.virtualAddress);
    EXPECT_GE(reloc.virtualAddress, rsrc.virtualAddress + rsrc.virtualSize);
    EXPECT_EQ(0u, reloc.virtualAddress % 0x1000);
    EXPECT_EQ(reloc.virtualAddress, image.dirRva[kDirBaseReloc]);
    EXPECT_EQ(0x1000u, Get32(bytes, reloc.rawPointer)) << "the relocation block moved intact";
    EXPECT_EQ(reloc.virtualAddress + 0x1000u, image.sizeOfImage);
    EXPECT_EQ(4096u, image.fileAlignment) << "2.5 MiB of payload passes the page-alignment threshold";
    EXPECT_EQ(bytes.size(), reloc.rawPointer + reloc.rawSize);
    EXPECT_EQ(rsrc.rawSize + reloc.rawSize, Get32(bytes, image.optionalOffset + kOptSizeOfInitializedData));
    EXPECT_EQ(image.sections[0].rawSize, Get32(bytes, image.optionalOffset + kOptSizeOfCode));

    ASSERT_EQ(0, Run({"--inspect", setup})) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("checksum")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("(correct)")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("signed:    no")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("terms:     3 lines")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("\narchitecture: x86\n")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("Fran\xC3\xA7" "ais.language")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("   2621441  numbered\n")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("         7  numbered, the bytes of " +
                                                std::to_string(IDS_FILE_FIRST + 3) + "\n"))
        << out.str();

    bytes[bytes.size() - 0x1000 - 7] ^= 0x5A;  // a byte of the resource section, just before .reloc
    dir.Write("Tampered.exe", bytes);
    ASSERT_EQ(0, Run({"--inspect", dir.path() + "/Tampered.exe"})) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("(should be 0x")) << out.str();
}

// Pairs from a real product's file set that the made-name rule would each put into one entry.
TEST_F(Build, NamesThatDifferOnlyInDigitsOrPunctuationEachKeepTheirBytes)
{
    const std::vector<std::string> names = {"msvcp140_1.dll", "msvcp140_2.dll", "d3dx9_37.dll", "d3dx9_38.dll",
                                            "xinput1_3.dll",  "xinput1_4.dll",  "icon16.png",   "icon32.png",
                                            "readme-1.txt",   "readme-2.txt"};
    std::string manifest = "[product]\nname = Set\nprogram = icon16.png\nversion = 1\nlegal = L\n"
                           "terms = terms.txt\n[files]\n";
    for (const std::string& name : names) {
        dir.Write("src/set/" + name, "the bytes of " + name);
        manifest += name + " = set/" + name + "\n";
    }
    dir.Write("src/set.ini", manifest);
    std::string setup = dir.path() + "/Set.exe";
    PackageView view = PackAndRead(dir.path() + "/src/set.ini", setup);
    ASSERT_EQ(names.size(), view.files.size());
    std::map<uint16_t, const ResourceLeaf*> payload = PayloadByNumber(view);
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(view.files[i].numbered) << names[i];
        ByteSpan data = LeafBytes(Span(bytes), *payload[static_cast<uint16_t>(IDS_FILE_FIRST + i)]);
        EXPECT_EQ("the bytes of " + names[i], std::string(reinterpret_cast<const char*>(data.data), data.size));
    }
    ASSERT_EQ(0, Run({"--inspect", setup})) << err.str();
    for (size_t i = 0; i < names.size(); ++i) {
        std::string line = "  " + std::to_string(IDS_FILE_FIRST + i) + "  " + names[i];
        EXPECT_NE(std::string::npos, out.str().find(line)) << "expected the line " << line << " in\n" << out.str();
    }
    EXPECT_EQ(std::string::npos, out.str().find("note:")) << out.str();
}

TEST_F(Build, SameInputsGiveTheSameBytesAndARepackReplacesThePackage)
{
    std::string first = dir.path() + "/one/Setup.exe", second = dir.path() + "/two/Setup.exe";
    dir.Write("one/.keep", "");
    dir.Write("two/.keep", "");
    ASSERT_EQ(0, Run({dir.path() + "/src/setup.ini", "-o", first, "--stub", stub})) << err.str();
    ASSERT_EQ(0, Run({dir.path() + "/src/setup.ini", "-o", second, "--stub", stub})) << err.str();
    EXPECT_TRUE(ReadAll(first) == ReadAll(second)) << "two builds differ";

    // A built setup given as the stub: its package is replaced, and the result is the same.
    std::string again = dir.path() + "/Again.exe";
    ASSERT_EQ(0, Run({dir.path() + "/src/setup.ini", "-o", again, "--stub", first})) << err.str();
    EXPECT_NE(std::string::npos, err.str().find("already carries a package")) << err.str();
    EXPECT_TRUE(ReadAll(first) == ReadAll(again)) << "a repack differs from a pack of the bare stub";

    // An x64 setup given as the stub: its architecture goes with the rest of its package.
    std::string manifest = ReadAll(dir.path() + "/src/setup.ini"), x64 = dir.path() + "/X64.exe";
    dir.Write("src/x64.ini", manifest.insert(manifest.find("[folders]"), "architecture = x64\n"));
    ASSERT_EQ(0, Run({dir.path() + "/src/x64.ini", "-o", x64, "--stub", stub})) << err.str();
    ASSERT_EQ(0, Run({"--inspect", x64})) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("\narchitecture: x64\n")) << out.str();
    ASSERT_EQ(0, Run({dir.path() + "/src/setup.ini", "-o", again, "--stub", x64})) << err.str();
    EXPECT_TRUE(ReadAll(first) == ReadAll(again)) << "a repack of an x64 setup kept its architecture";

    // A signed setup given as the stub: its certificate table is left behind, with a warning.
    std::string signedSetup = ReadAll(first);
    uint32_t table = static_cast<uint32_t>(signedSetup.size()), directory = Get32(signedSetup, 0x3C) + 24 + 96 + 8 * 4;
    signedSetup += std::string("\x10\0\0\0\0\x02\x02\0not PKCS7", 16);
    for (int i = 0; i < 4; ++i) {
        signedSetup[directory + i] = static_cast<char>(table >> 8 * i);
        signedSetup[directory + 4 + i] = static_cast<char>(16 >> 8 * i);
    }
    dir.Write("Signed.exe", signedSetup);
    ASSERT_EQ(0, Run({"--inspect", dir.path() + "/Signed.exe"})) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("signed:    unreadable: the certificate is not PKCS#7")) << out.str();
    std::string revision1 = signedSetup;
    revision1[table + 5] = 0x01;
    dir.Write("Revision1.exe", revision1);
    ASSERT_EQ(0, Run({"--inspect", dir.path() + "/Revision1.exe"})) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("unreadable: the first certificate is not a revision 2")) << out.str();
    ASSERT_EQ(0, Run({dir.path() + "/src/setup.ini", "-o", again, "--stub", dir.path() + "/Signed.exe"})) << err.str();
    EXPECT_NE(std::string::npos, err.str().find("the stub is signed")) << err.str();
    EXPECT_TRUE(ReadAll(first) == ReadAll(again)) << "a repack of a signed setup kept something of its signature";
}

TEST_F(Build, LargePayloadsGetThePageAlignedLayout)
{
    // The threshold counts every stored byte: data.bin's and the other files' 29.
    struct Case { const char* forced; uint64_t big; uint32_t expected; } cases[] = {
        {"", 5u << 19, 4096}, {"4096", 5u << 19, 4096}, {"512", 5u << 19, 512},
        {"", kPageAlignThreshold - 29, 4096}, {"", kPageAlignThreshold - 30, 512},
    };
    for (const Case& c : cases) {
        const char* forced = c.forced;
        dir.Write("src/data.bin", std::string(c.big, 'd'));
        std::string setup = dir.path() + "/Setup" + forced + ".exe";
        std::vector<std::string> args = {dir.path() + "/src/setup.ini", "-o", setup, "--stub", stub};
        if (*forced) {
            args.push_back("--align");
            args.push_back(forced);
        }
        ASSERT_EQ(0, Run(args)) << err.str();
        std::string bytes = ReadAll(setup);
        PackageView view;
        std::string error;
        ASSERT_TRUE(ReadPackage(Span(bytes), &view, &error)) << error;
        uint32_t expected = c.expected;
        EXPECT_EQ(expected, view.image.fileAlignment) << forced << " with a data.bin of " << c.big;
        EXPECT_EQ(0u, Get32(bytes, view.image.optionalOffset + kOptSizeOfHeaders) % expected);
        for (const PeSection& s : view.image.sections)
            EXPECT_EQ(0u, s.rawPointer % expected) << s.name << " with " << forced;
        EXPECT_EQ(0u, bytes.size() % expected);
        EXPECT_EQ(5u, view.files.size());
    }
    EXPECT_EQ(2, Run({dir.path() + "/src/setup.ini", "-o", "x.exe", "--align", "1024"}));
}

TEST_F(Build, AnErrorLeavesNoOutputAndAnOldSetupUntouched)
{
    std::string setup = dir.path() + "/Setup.exe";
    dir.Write("Setup.exe", "previous build");
    dir.Write("src/bad.ini", ReadAll(dir.path() + "/src/setup.ini") + "Gone.txt = gone.txt\n");
    EXPECT_EQ(1, Run({dir.path() + "/src/bad.ini", "-o", setup, "--stub", stub}));
    EXPECT_NE(std::string::npos, err.str().find("bad.ini:15: error: cannot read the source file gone.txt"))
        << err.str();
    EXPECT_EQ("previous build", ReadAll(setup));

    // A source that changes between the check and the copy stops the write part-way.
    Diagnostics diags;
    Package package;
    ASSERT_TRUE(ReadManifest(dir.path() + "/src/setup.ini", {}, &package, &diags)) << diags.Format();
    for (const std::string& changed : {std::string("shrunk"), std::string(3 << 20, 'g')}) {
        dir.Write("src/data.bin", changed);
        std::ostringstream log;
        Diagnostics said;
        EXPECT_FALSE(BuildSetup(package, stub, 0, setup, log, &said)) << "a data.bin of " << changed.size();
        EXPECT_NE(std::string::npos, said.Format().find("changed while it was being packaged")) << said.Format();
        EXPECT_EQ("previous build", ReadAll(setup));
    }

    EXPECT_EQ(1, Run({dir.path() + "/src/setup.ini", "-o", dir.path() + "/no/such/Setup.exe", "--stub", stub}));
    EXPECT_EQ(1, Run({dir.path() + "/src/setup.ini", "-o", setup, "--stub", dir.path() + "/src/terms.txt"}));
    EXPECT_NE(std::string::npos, err.str().find("not a usable stub")) << err.str();
    EXPECT_EQ((std::vector<std::string>{"Setup.exe", "src", "stub.exe"}), dir.List()) << "a partial file was left";
}

TEST_F(Build, CheckValidatesWithoutWritingAndUsageMistakesExitTwo)
{
    EXPECT_EQ(0, Run({"--check", dir.path() + "/src/setup.ini"})) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("5 files, 4 folders")) << out.str();
    EXPECT_EQ((std::vector<std::string>{"src", "stub.exe"}), dir.List()) << "--check wrote something";
    EXPECT_EQ(2, Run({}));
    EXPECT_EQ(2, Run({dir.path() + "/src/setup.ini"}));
    EXPECT_EQ(2, Run({"--check", dir.path() + "/src/setup.ini", "-o", "x.exe"}));
    EXPECT_EQ(2, Run({"--frobnicate"}));
    EXPECT_EQ(2, Run({dir.path() + "/src/setup.ini", "-o"}));
    EXPECT_NE(std::string::npos, err.str().find("-o needs a value")) << err.str();
    EXPECT_EQ(2, Run({"--inspect", dir.path() + "/S.exe", "-o", dir.path() + "/T.exe"}));
    EXPECT_EQ(1, Run({dir.path() + "/src/setup.ini", "-o", dir.path() + "/S.exe"}));
    EXPECT_NE(std::string::npos, err.str().find("share/setup-pack/setup-stub.exe")) << "the default stub: " << err.str();
    EXPECT_EQ(0, Run({"--version"}));
    EXPECT_EQ(0u, out.str().find("setup-pack ")) << out.str();
    EXPECT_EQ(1, Run({"--inspect", dir.path() + "/src/data.bin"}));
    EXPECT_NE(std::string::npos, err.str().find("not an executable")) << err.str();
}

TEST_F(Build, StubsThatCannotTakeAPackageAreRefused)
{
    StubOptions foreign;
    foreign.foreignStrings = true;
    std::string other = dir.Write("foreign.exe", Text(MakeTestStub(foreign)));
    EXPECT_EQ(1, Run({dir.path() + "/src/setup.ini", "-o", dir.path() + "/S.exe", "--stub", other}));
    EXPECT_NE(std::string::npos, err.str().find("string block 32 in language 1033")) << err.str();

    StubOptions plain;
    plain.reloc = false;
    std::string noReloc = dir.Write("plain.exe", Text(MakeTestStub(plain)));
    ASSERT_EQ(0, Run({dir.path() + "/src/setup.ini", "-o", dir.path() + "/S.exe", "--stub", noReloc})) << err.str();
    std::string bytes = ReadAll(dir.path() + "/S.exe");
    PackageView view;
    std::string error;
    ASSERT_TRUE(ReadPackage(Span(bytes), &view, &error)) << error;
    EXPECT_EQ(2u, view.image.sections.size());

    // The stub patched where the new layout would go wrong: where, the bytes put there, the refusal.
    std::string good = ReadAll(stub);
    PeImage stubImage;
    ASSERT_TRUE(ReadPeImage(Span(good), &stubImage, &error)) << error;
    struct Patch { size_t at; std::string bytes, refusal; } patches[] = {
        {stubImage.peOffset + 4, std::string("\x64\x86", 2), "not an i386 image"},
        {stubImage.optionalOffset + kOptDataDirectories + 8 * kDirDebug + 4, "\x1C", "debug or bound-import"},
        {stubImage.sectionTableOffset + 80, std::string(".data\0", 6), "section .data after its resources"},
    };
    for (const Patch& p : patches) {
        std::string patched = dir.Write("patched.exe", std::string(good).replace(p.at, p.bytes.size(), p.bytes));
        EXPECT_EQ(1, Run({dir.path() + "/src/setup.ini", "-o", dir.path() + "/S.exe", "--stub", patched}));
        EXPECT_NE(std::string::npos, err.str().find(p.refusal)) << "expected " << p.refusal << "; got " << err.str();
    }
    EXPECT_EQ((std::vector<std::string>{"S.exe", "foreign.exe", "patched.exe", "plain.exe", "src", "stub.exe"}),
              dir.List())
        << "a refused stub left a partial file";
}

// The checksum as the format describes it: word by word, folding the carry each time.
uint32_t ReferenceChecksum(const std::vector<uint8_t>& data)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        sum += data[i] | (i + 1 < data.size() ? data[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(data.size());
}

TEST(PeChecksum, FedInPiecesOfAnyLengthItMatchesTheWordByWordSum)
{
    std::vector<uint8_t> data(100001);
    uint32_t seed = 12345;
    for (uint8_t& b : data) {
        seed = seed * 1103515245 + 12345;
        b = static_cast<uint8_t>(seed >> 16);
    }
    for (size_t i = 5000; i < 6000; ++i)
        data[i] = 0xFF;  // long runs of carries
    PeChecksum whole, pieces;
    whole.Add(data.data(), data.size());
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step % 13 + 1)
        pieces.Add(data.data() + at, std::min(step, data.size() - at));
    EXPECT_EQ(ReferenceChecksum(data), whole.Finish(data.size()));
    EXPECT_EQ(ReferenceChecksum(data), pieces.Finish(data.size()));
    PeChecksum carry;
    const uint8_t words[] = {0xFF, 0xFF, 0x02, 0x00, 0x01};  // 0xFFFF + 2 wraps to 2, then the odd byte
    carry.Add(words, sizeof words);
    EXPECT_EQ(2u + 1u + 5u, carry.Finish(5));
}

}  // namespace
