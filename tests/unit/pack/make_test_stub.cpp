// Writes the synthetic stub to a file, for the script that checks a built setup with pefile.
#include <cstdio>
#include <fstream>
#include <string>

#include "test_stub.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-test-stub OUT\n");
        return 2;
    }
    std::vector<uint8_t> stub = MakeTestStub();
    std::ofstream(argv[1], std::ios::binary).write(reinterpret_cast<const char*>(stub.data()),
                                                   static_cast<std::streamsize>(stub.size()));
    return 0;
}
