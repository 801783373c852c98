// Fuzz target of MakeResourceName: any listed name, against the letters-or-underscore rule.
#include <cstdint>
#include <string>
#include "model_check.h"
#include "package/resource_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string name = UpToNul(WideUnits(std::string(reinterpret_cast<const char*>(data), size)));
    ExactBuffer buffer = ExactText(name);

    MakeResourceName(buffer.data());

    std::u16string expected = name;
    for (char16_t& c : expected) {
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter)
            c = '_';
    }
    // Same length, same terminator: the entry name is looked up by the whole text.
    ExpectSame("MakeResourceName result", expected, std::u16string(buffer.data(), name.size()));
    if (buffer.data()[name.size()] != '\0')
        ModelMismatch("MakeResourceName keeps the terminator", "NUL",
                      std::to_string(buffer.data()[name.size()]));
    return 0;
}
