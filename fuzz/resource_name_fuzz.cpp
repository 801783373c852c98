// Fuzz target of MakeResourceName: any listed name, against the standard library's ASCII letters.
#include <cctype>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "package/resource_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string name = WideUnits(std::string(reinterpret_cast<const char*>(data), size));
    ExactBuffer buffer = ExactText(name);
    MakeResourceName(buffer.data());
    // Same length, same terminator: the entry name is looked up by the whole text.
    std::u16string got(buffer.data(), name.size() + 1);
    for (size_t i = 0; i < name.size(); ++i) {
        bool letter = name[i] < 0x80 && std::isalpha(name[i]);  // the "C" locale's letters: A-Z, a-z
        Expect("MakeResourceName keeps ASCII letters, puts _ for the rest", letter ? name[i] : u'_', got[i], name);
    }
    Expect("MakeResourceName keeps the terminator", u'\0', got[name.size()], name);
    return 0;
}
