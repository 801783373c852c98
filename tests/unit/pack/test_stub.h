// A small synthetic setup stub and the file helpers shared by the package-builder tests.
#ifndef TESTS_UNIT_PACK_TEST_STUB_H
#define TESTS_UNIT_PACK_TEST_STUB_H

#include <cstdint>
#include <string>
#include <vector>

struct StubOptions {
    bool reloc = true;             // a .reloc section after the resources, as a linker with relocations makes
    bool foreignStrings = false;   // a string block in a language other than neutral, where package strings go
};

// A PE32 image with code, resources (icon, a numbered and a named dialog, message strings 202, 205 and 212)
// and optionally .reloc.
std::vector<uint8_t> MakeTestStub(const StubOptions& options = StubOptions());

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file under the folder (parents made as needed); returns its full path.
    std::string Write(const std::string& name, const std::string& content) const;
    std::vector<std::string> List() const;  // names directly in the folder, sorted

private:
    std::string path_;
};

std::string ReadAll(const std::string& path);

#endif
