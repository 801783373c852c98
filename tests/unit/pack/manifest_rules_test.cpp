// Every rule a manifest must meet: each bad input gets its error at the right line, warnings let the build go on.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "manifest.h"
#include "test_stub.h"
#include "unicode.h"

namespace {

const char kBase[] =
    "[product]\n"              // 1
    "name = Lumivue\n"         // 2
    "program = Lumivue.exe\n"  // 3
    "version = 7.0\n"          // 4
    "legal = (C) 2026 Us\n"    // 5
    "terms = terms.txt\n"      // 6
    "[files]\n"                // 7
    "Lumivue.exe = bin/Lumivue.exe\n";  // 8

// The error for a text one unit over its limit.
std::string OneTooMany(size_t limit)
{
    return std::to_string(limit + 1) + " characters long; the setup reads at most " + std::to_string(limit);
}

class ManifestRules : public ::testing::Test {
protected:
    ManifestRules()
    {
        dir.Write("bin/Lumivue.exe", "MZ program");
        dir.Write("terms.txt", "Use it well.\n \nThe end.\n");
    }

    // Reads a manifest; the result says whether it passed, diags holds everything said.
    bool Read(const std::string& text)
    {
        diags = Diagnostics();
        package = Package();
        dir.Write("setup.ini", text);
        return ReadManifest(dir.path() + "/setup.ini", {}, &package, &diags);
    }

    // The one diagnostic of that kind whose place and text match, as a readable failure.
    ::testing::AssertionResult Said(bool error, const std::string& where, const std::string& fragment)
    {
        for (const Diagnostic& d : diags.list) {
            if (d.error == error && d.where.size() >= where.size() &&
                d.where.compare(d.where.size() - where.size(), where.size(), where) == 0 &&
                d.text.find(fragment) != std::string::npos)
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "expected " << (error ? "error" : "warning") << " at " << where
                                             << " containing \"" << fragment << "\", got:\n"
                                             << diags.Format();
    }

    std::string WithFile(const std::string& line) { return std::string(kBase) + line + "\n"; }

    TempDir dir;
    Diagnostics diags;
    Package package;
};

TEST_F(ManifestRules, AGoodManifestPassesWithNothingSaid)
{
    ASSERT_TRUE(Read(kBase)) << diags.Format();
    EXPECT_TRUE(diags.list.empty()) << diags.Format();
    EXPECT_EQ(u"Lumivue", package.name);
    EXPECT_EQ(u"Use it well.\n \nThe end.\n", package.terms);
    EXPECT_EQ(7, package.version[0]);
    EXPECT_EQ(0, package.version[1]);
    ASSERT_EQ(1u, package.files.size());
    EXPECT_TRUE(package.files[0].stored);
    EXPECT_EQ(10u, package.files[0].size);
}

TEST_F(ManifestRules, ProductNameAndProgramMustBePresentShortAndStorable)
{
    std::string base = kBase;
    auto with = [&](const std::string& from, const std::string& to) {
        std::string text = base;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    EXPECT_FALSE(Read(with("name = Lumivue", "name =")));
    EXPECT_TRUE(Said(true, "setup.ini:2", "name is empty"));
    EXPECT_FALSE(Read(with("name = Lumivue", "name = " + std::string(kMaxProductText + 1, 'N'))));
    EXPECT_TRUE(Said(true, "setup.ini:2", OneTooMany(kMaxProductText)));
    EXPECT_TRUE(Read(with("name = Lumivue", "name = " + std::string(kMaxProductText, 'N')))) << diags.Format();
    EXPECT_TRUE(Read(with("name = Lumivue", "name = \xD0\x9F\xD1\x80\xD0\xBE\xD0\xB1\xD0\xB0 \xE2\x98\x85")))
        << diags.Format();
    EXPECT_EQ(u"\u041F\u0440\u043E\u0431\u0430 \u2605", package.name);
    EXPECT_FALSE(Read(with("name = Lumivue", "name = Lumivue \xEF\xBF\xBE")));
    EXPECT_TRUE(Said(true, "setup.ini:2", "U+FFFE (byte 9), a noncharacter"));
    EXPECT_FALSE(Read(with("name = Lumivue", "name = Lumi\x1Fvue")));
    EXPECT_TRUE(Said(true, "setup.ini:2", "name holds a control character"));
    EXPECT_FALSE(Read(with("name = Lumivue", "name = Lumi\xF0\x9F\x98")));
    EXPECT_TRUE(Said(true, "setup.ini:2", "is not valid UTF-8 (byte 5)"));
    // Counted as the setup reads it: a character beyond U+FFFF takes two units.
    std::string emoji;
    size_t emojis = (kMaxProductText + 2) / 2;
    for (size_t i = 0; i < emojis; ++i)
        emoji += "\xF0\x9F\x98\x80";
    EXPECT_FALSE(Read(with("name = Lumivue", "name = " + emoji)));
    EXPECT_TRUE(Said(true, "setup.ini:2", "is " + std::to_string(2 * emojis) +
                                              " UTF-16 units (a character beyond U+FFFF takes two) long"));
    EXPECT_FALSE(Read(with("program = Lumivue.exe\n", "")));
    EXPECT_TRUE(Said(true, "setup.ini", "no 'program'"));
    EXPECT_FALSE(Read(with("program = Lumivue.exe", "program = " + std::string(kMaxProductText - 3, 'p') + ".exe")));
    EXPECT_TRUE(Said(true, "setup.ini:3", OneTooMany(kMaxProductText)));
    EXPECT_FALSE(Read(with("program = Lumivue.exe", "program = ..\\Lumivue.exe")));
    EXPECT_TRUE(Said(true, "setup.ini:3", "program \"..\\Lumivue.exe\" contains '..'"));
    EXPECT_FALSE(Read(with("version = 7.0\n", "")));
    EXPECT_TRUE(Said(true, "setup.ini", "no 'version'"));
    EXPECT_FALSE(Read(with("version = 7.0", "version = 7.0beta")));
    EXPECT_TRUE(Said(true, "setup.ini:4", "not 1 to 4 numbers"));
    EXPECT_FALSE(Read(with("version = 7.0", "version = 1.2.3.4.5")));
    EXPECT_FALSE(Read(with("version = 7.0", "version = 70000")));
    EXPECT_FALSE(Read(with("version = 7.0", "version = 000007.0")));

    // The Apps & Features keys, on line 7: the uninstaller is a listed file, kept as [files] spells it.
    EXPECT_TRUE(Read(with("terms.txt\n", "terms.txt\npublisher = Us\nuninstall = LUMIVUE.EXE\n"))) << diags.Format();
    EXPECT_TRUE(diags.list.empty() && package.uninstall == u"Lumivue.exe" && package.publisher == u"Us")
        << "expected no diagnostics, Lumivue.exe and Us; got " << Utf16ToUtf8(package.uninstall) << ", "
        << Utf16ToUtf8(package.publisher)
        << "\n" << diags.Format();
    EXPECT_FALSE(Read(with("terms.txt\n", "terms.txt\nuninstall = Uninst.exe\n")));
    EXPECT_TRUE(Said(true, "setup.ini:7", "uninstall \"Uninst.exe\" is not among the listed files"));
    EXPECT_FALSE(Read(with("terms.txt\n", "terms.txt\npublisher = " + std::string(kMaxPublisher + 1, 'P') + "\n")));
    EXPECT_TRUE(Said(true, "setup.ini:7", OneTooMany(kMaxPublisher)));

    // The architecture, on line 7: x86 or x64 in either case, nothing else.
    EXPECT_TRUE(Read(with("terms.txt\n", "terms.txt\narchitecture = X64\n")) && package.x64)
        << "expected a 64-bit package; got x64 " << package.x64 << "\n" << diags.Format();
    EXPECT_TRUE(Read(with("terms.txt\n", "terms.txt\narchitecture = x86\n")) && !package.x64)
        << "expected a 32-bit package; got x64 " << package.x64 << "\n" << diags.Format();
    EXPECT_FALSE(Read(with("terms.txt\n", "terms.txt\narchitecture = amd64\n")));
    EXPECT_TRUE(Said(true, "setup.ini:7", "architecture \"amd64\" is neither x86 nor x64"));
}

TEST_F(ManifestRules, WarningsLetTheBuildGoOn)
{
    std::string text = kBase;
    text.replace(text.find("program = Lumivue.exe"), 21, "program = Other.exe");
    text.replace(text.find("name = Lumivue"), 14, "name = Lumi: the Viewer");
    text.replace(text.find("legal = (C) 2026 Us\n"), 20, "publisher = Us\n");
    EXPECT_TRUE(Read(text)) << diags.Format();
    EXPECT_TRUE(Said(false, "setup.ini:5", "shown only in the Apps & Features entry"));
    EXPECT_TRUE(Said(false, "setup.ini:3", "not among the listed files"));
    EXPECT_TRUE(Said(false, "setup.ini:2", "default destination folder"));
    EXPECT_TRUE(Said(false, "setup.ini", "no 'legal'"));
    EXPECT_FALSE(diags.Failed());
}

TEST_F(ManifestRules, ListedNamesMustBeRelativeWindowsNames)
{
    dir.Write("x", "x");
    struct Case { std::string name, fragment; } cases[] = {
        {"\\abs.txt", "starts with a backslash"},
        {"/abs.txt", "starts with a slash"},
        {"docs/a.txt", "separate folders with a backslash"},
        {"a<b.txt", "'<', which Windows forbids"},
        {"a|b.txt", "'|'"},
        {"a?b.txt", "'?'"},
        {"a*b.txt", "'*'"},
        {"a\"b.txt", "'\"'"},
        {"a\x01" "b.txt", "control character"},
        {"..\\up.txt", "contains '..'"},
        {"a\\..\\b.txt", "contains '..'"},
        {"dir.\\a.txt", "ends in a dot"},
        {"dir \\a.txt", "ends in a space"},
        {"a\\\\b.txt", "empty folder name"},
        {"CON", "reserves for a device"},
        {"nul.txt", "reserves for a device"},
        {"docs\\Com1.log", "reserves for a device"},
        {"LPT9", "reserves for a device"},
        {"COM0.txt", "reserves for a device"},
        {"con .txt", "reserves for a device"},
        {"a\\.\\b.txt", "contains '.'"},
        {"\xC1\xAE.txt", "not valid UTF-8 (byte 1)"},
        {"\xEF\xB7\xAF.txt", "U+FDEF (byte 1), a noncharacter"},
        {std::string(kMaxListedName + 1, 'n'), OneTooMany(kMaxListedName)},
        {"\xED\xA0\x80.txt", "U+D800 on its own (byte 1)"},
        {"\xED\xBF\xBF.txt", "U+DFFF on its own (byte 1)"},
        {"COM\xC2\xB9.txt", "reserves for a device"},
        {"C:\\x.txt", "':'"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Read(WithFile(c.name + " = x"))) << c.name;
        EXPECT_TRUE(Said(true, "setup.ini:9", c.fragment)) << c.name;
    }
    EXPECT_TRUE(Read(WithFile(std::string(kMaxListedName, 'n') + " = x"))) << diags.Format();
    EXPECT_TRUE(Read(WithFile("CONFIG.SYS = x"))) << diags.Format();
    std::string cyrillic;
    for (size_t i = 0; i < kMaxListedName; ++i)
        cyrillic += "\xD1\x8F";
    EXPECT_TRUE(Read(WithFile(cyrillic + " = x"))) << "the longest name, in two bytes a unit: " << diags.Format();
    EXPECT_NE("", CheckListedPath(u"C:x.txt", kMaxListedName));
    EXPECT_EQ("", CheckListedPath(u"Fran\u00E7ais\\a b.txt", kMaxListedName));
    EXPECT_EQ("", CheckListedPath(u"\u0395\u03BB\\\u65E5\u672C.txt", kMaxListedName));
}

TEST_F(ManifestRules, NamesThatMeetOnWindowsAndFilesThatShareTheirBytes)
{
    std::string head(4096, 'h');  // files alike in size and head are still compared whole
    dir.Write("a.txt", head + "same bytes");
    dir.Write("b.txt", head + "same bytes");
    dir.Write("c.txt", head + "other byte");
    EXPECT_FALSE(Read(WithFile("ReadMe.txt = a.txt\nREADME.TXT = a.txt")));
    EXPECT_TRUE(Said(true, "setup.ini:10", "listed already at line 9"));
    EXPECT_FALSE(Read(WithFile("\xC3\xA9t\xC3\xA9.txt = a.txt\n\xC3\x89T\xC3\x89.txt = a.txt")));
    EXPECT_TRUE(Said(true, "setup.ini:10", "listed already at line 9"));
    EXPECT_FALSE(Read(WithFile("\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt = a.txt\n\xD0\xA4\xD0\x90\xD0\x99\xD0\x9B.txt = a.txt")));
    EXPECT_TRUE(Said(true, "setup.ini:10", "listed already at line 9")) << "Cyrillic letter case";

    // Names alike but for digits and punctuation have entries of their own; the same bytes are stored once.
    ASSERT_TRUE(Read(WithFile("read me.txt = a.txt\nRead-Me.txt = c.txt\nread_me.txt = b.txt"))) << diags.Format();
    ASSERT_EQ(4u, package.files.size());
    EXPECT_TRUE(package.files[1].stored && package.files[2].stored);
    EXPECT_FALSE(package.files[3].stored);
    EXPECT_EQ(1u, package.files[3].sameAs);
    EXPECT_EQ(10 + 2 * (head.size() + 10), package.payloadBytes);

    EXPECT_FALSE(Read(WithFile("docs = a.txt\nDOCS\\x.txt = b.txt")));
    EXPECT_TRUE(Said(true, "setup.ini:9", "needs a folder of that name"));
}

TEST_F(ManifestRules, FoldersComeParentsFirstOnceRegardlessOfCase)
{
    dir.Write("a.txt", "a");
    std::string text = WithFile("Docs\\Guide\\a.txt = a.txt\ndocs\\b.txt = a.txt\nFonts\\c.txt = a.txt") +
                       "[folders]\nfolder = Extras\\Empty\\Deep\nfolder = FONTS\n";
    ASSERT_TRUE(Read(text)) << diags.Format();
    std::vector<std::u16string> expected = {u"Docs", u"Docs\\Guide", u"Fonts", u"Extras", u"Extras\\Empty",
                                            u"Extras\\Empty\\Deep"};
    EXPECT_EQ(expected, package.folders);

    // The list ends at its first empty id, so the id before the file list must stay empty.
    std::string many = WithFile("") + "[folders]\n";
    for (size_t i = 0; i < kMaxFolders; ++i)
        many += "folder = F" + std::to_string(i) + "\n";
    EXPECT_TRUE(Read(many)) << diags.Format();
    EXPECT_EQ(size_t(kMaxFolders), package.folders.size());
    EXPECT_FALSE(Read(many + "folder = Last\n"));
    EXPECT_TRUE(Said(true, "setup.ini", std::to_string(kMaxFolders + 1) + " folders; the folder list holds at most " +
                                            std::to_string(kMaxFolders)));
}

TEST_F(ManifestRules, TermsMustNotCutTheListAndMustFit)
{
    auto terms = [&](const std::string& body) {
        dir.Write("terms.txt", body);
        return Read(kBase);
    };
    EXPECT_FALSE(terms("First\n\nThird\n"));
    EXPECT_TRUE(Said(true, "terms.txt:2", "put a single space on it"));
    EXPECT_FALSE(terms("\nSecond\n"));
    EXPECT_TRUE(Said(true, "terms.txt:1", "empty line"));

    ASSERT_TRUE(terms("One\r\n \r\nTwo\tTab\rThree\n\n\n")) << diags.Format();
    EXPECT_EQ(u"One\n \nTwo\tTab\nThree\n", package.terms);
    EXPECT_TRUE(Said(false, "terms.txt:5", "empty lines at the end"));

    std::string line(kTermsLineWarn - 1, 'x'), exact;
    while (exact.size() + kTermsLineWarn <= kMaxTerms)
        exact += line + "\n";
    exact += std::string(kMaxTerms - exact.size() - 1, 'y') + "\n";
    ASSERT_TRUE(terms(exact)) << diags.Format();
    EXPECT_EQ(kMaxTerms, package.terms.size());
    EXPECT_FALSE(terms("z" + exact));
    EXPECT_TRUE(Said(true, "terms.txt", std::to_string(kMaxTerms + 1) + " characters"));

    EXPECT_TRUE(terms(std::string(kTermsLineWarn + 1, 'w') + "\n" + std::string(kTermsLineWarn, 'v') + "\n"));
    EXPECT_TRUE(Said(false, "terms.txt:1", std::to_string(kTermsLineWarn + 1) + " characters long"));
    EXPECT_EQ(1u, diags.list.size()) << diags.Format();

    ASSERT_TRUE(terms("\xCE\x8C\xCF\x81\xCE\xBF\xCE\xB9\n\xE6\x9D\xA1\xE4\xBB\xB6\n")) << diags.Format();
    EXPECT_EQ(u"\u038C\u03C1\u03BF\u03B9\n\u6761\u4EF6\n", package.terms);
    EXPECT_FALSE(terms("Fine\nNot \xEF\xB7\x90 here\n"));
    EXPECT_TRUE(Said(true, "terms.txt:2", "U+FDD0 (byte 5), a noncharacter"));
    EXPECT_FALSE(terms(""));
    EXPECT_TRUE(Said(true, "terms.txt", "terms text is empty"));
}

TEST_F(ManifestRules, SyntaxSectionsAndSourcesAreNamedByLine)
{
    EXPECT_FALSE(Read(WithFile("Missing.txt = nowhere/missing.txt")));
    EXPECT_TRUE(Said(true, "setup.ini:9", "cannot read the source file nowhere/missing.txt"));
    EXPECT_FALSE(Read(WithFile("Folder.txt = bin")));
    EXPECT_TRUE(Said(true, "setup.ini:9", "not a regular file"));
    // A pipe with no writer would block a plain open for ever: refused, not waited on.
    ASSERT_EQ(::mkfifo((dir.path() + "/pipe").c_str(), 0600), 0);
    EXPECT_FALSE(Read(WithFile("Pipe.txt = pipe")));
    EXPECT_TRUE(Said(true, "setup.ini:9", "not a regular file"));
    std::string pipedTerms = kBase;
    pipedTerms.replace(pipedTerms.find("terms.txt"), 9, "pipe");
    EXPECT_FALSE(Read(pipedTerms));
    EXPECT_TRUE(Said(true, "setup.ini:6", "cannot read the terms file"));
    EXPECT_FALSE(Read(WithFile("NoSource.txt =")));
    EXPECT_TRUE(Said(true, "setup.ini:9", "no source file"));
    EXPECT_FALSE(Read(WithFile("just a name")));
    EXPECT_TRUE(Said(true, "setup.ini:9", "expected '[section]' or 'name = value'"));
    EXPECT_FALSE(Read(WithFile("[extras]\nx = y")));
    EXPECT_TRUE(Said(true, "setup.ini:10", "unknown section [extras]"));
    EXPECT_FALSE(Read(WithFile("[folders]\nfolders = x")));
    EXPECT_TRUE(Said(true, "setup.ini:10", "unknown key 'folders' in [folders]"));
    EXPECT_FALSE(Read(WithFile(std::string("Nul.txt = bin/Lumivue.exe\0", 26))));
    EXPECT_TRUE(Said(true, "setup.ini:9", "NUL byte"));
    EXPECT_FALSE(Read(std::string(kBase).substr(0, std::string(kBase).find("Lumivue.exe = "))));
    EXPECT_TRUE(Said(true, "setup.ini", "[files] lists no files"));
    EXPECT_FALSE(Read("stray = 1\n" + std::string(kBase)));
    EXPECT_TRUE(Said(true, "setup.ini:1", "before any section"));
    std::string twice = kBase;
    twice.insert(twice.find("[files]"), "name = Again\ncolour = red\n");
    EXPECT_FALSE(Read(twice));
    EXPECT_TRUE(Said(true, "setup.ini:7", "'name' is given twice (first at line 2)"));
    EXPECT_TRUE(Said(true, "setup.ini:8", "unknown key 'colour'"));
    EXPECT_FALSE(Read(std::string(kBase).replace(0, 9, "[files]")));
    EXPECT_TRUE(Said(true, "setup.ini", "no 'name'"));
}

TEST_F(ManifestRules, LongLinesKeepTheLineCountAndSearchFoldersFindSources)
{
    std::string deep = std::string(150, 'd');
    dir.Write(deep + "/" + std::string(100, 'f'), "long path");
    std::string text = WithFile(std::string(120, 'L') + ".txt = " + deep + "/" + std::string(100, 'f') +
                                "\nBad|Name = x");
    EXPECT_FALSE(Read(text));
    EXPECT_TRUE(Said(true, "setup.ini:10", "'|'")) << "a line over 200 characters must not shift the count";
    EXPECT_EQ(1u, diags.list.size()) << diags.Format();

    TempDir other;
    other.Write("built/Tool.exe", "built elsewhere");
    dir.Write("setup.ini", WithFile("Tool.exe = built/Tool.exe"));
    EXPECT_FALSE(ReadManifest(dir.path() + "/setup.ini", {}, &package, &diags));
    diags = Diagnostics();
    ASSERT_TRUE(ReadManifest(dir.path() + "/setup.ini", {other.path()}, &package, &diags)) << diags.Format();
    EXPECT_EQ(15u, package.files[1].size);
    EXPECT_TRUE(Read(WithFile("Abs.txt = " + other.path() + "/built/Tool.exe"))) << diags.Format();
}

TEST_F(ManifestRules, APayloadTooLargeForA32BitImageIsRefused)
{
    std::string big = dir.Write("big.bin", "");
    ASSERT_EQ(0, ::truncate(big.c_str(), 1600ll << 20));  // sparse: no disk space used
    EXPECT_FALSE(Read(WithFile("Big.bin = big.bin")));
    EXPECT_TRUE(Said(true, "setup.ini", "at most 1536 MiB"));
}

}  // namespace
