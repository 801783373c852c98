// Entry point of setup-pack: hands the command line to RunSetupPack.
#include <climits>
#include <iostream>
#include <unistd.h>

#include "pack.h"

int main(int argc, char** argv)
{
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string selfPath = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
    return RunSetupPack(std::vector<std::string>(argv + 1, argv + argc), selfPath, std::cout, std::cerr);
}
