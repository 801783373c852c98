// Fuzz target of the LZMA decoder: liblzma's streams decode back in any chunks; any bytes as a block end within limits.
#include <fuzzer/FuzzedDataProvider.h>
#include <lzma.h>
#include <vector>
#include "model_check.h"
#include "package/lzma.h"

static LzmaDecoder decoder;  // 28 KiB: static, as the setup keeps it
using Bytes = std::vector<uint8_t>;

// Up to total bytes, at most chunk a call, taken out and wrapped as the setup does, then the marker. The window
// has a byte more than the decoder is told, which no call may write: a call writes at pos, up to its limit.
static LzmaStatus Decode(size_t total, size_t chunk, Bytes* out)
{
    LzmaStatus status = kLzmaRoom;
    for (out->clear(); status == kLzmaRoom && out->size() < total;) {
        if (decoder.pos == decoder.windowSize)
            decoder.pos = 0, decoder.wrapped = true;
        unsigned from = decoder.pos, limit = std::min<size_t>({decoder.windowSize, from + chunk, from + total - out->size()});
        uint8_t past = decoder.window[limit];
        status = DecodeLzma(&decoder, limit);
        Expect("within the limit", decoder.pos >= from && decoder.pos <= limit && decoder.window[limit] == past);
        out->insert(out->end(), decoder.window + from, decoder.window + decoder.pos);
    }
    return status == kLzmaRoom ? DecodeLzma(&decoder, decoder.pos) : status;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    lzma_options_lzma options;
    lzma_lzma_preset(&options, input.ConsumeIntegralInRange(0, 9));
    options.lc = input.ConsumeIntegralInRange(0, 4), options.pb = input.ConsumeIntegralInRange(0, 4);
    options.lp = input.ConsumeIntegralInRange(0u, 4 - options.lc);
    options.dict_size = 1u << input.ConsumeIntegralInRange(12, 16);
    size_t chunk = input.ConsumeIntegralInRange<size_t>(1, options.dict_size), early = input.ConsumeIntegralInRange(1, 8);
    Bytes text = input.ConsumeRemainingBytes<uint8_t>(), plain, window(options.dict_size + 1), got;
    // Repeated past one and a half dictionaries: matches cross the window's wrap.
    for (size_t times = 1 + options.dict_size * 3 / 2 / (text.size() + 1); !text.empty() && times > 0; --times)
        plain.insert(plain.end(), text.begin(), text.end());
    Bytes block(plain.size() * 2 + 64);
    size_t written = 5;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_properties_encode(filters, block.data());
    lzma_raw_buffer_encode(filters, nullptr, plain.data(), plain.size(), block.data(), &written, block.size());

    // Decoded back, then its marker; cut short, never to its end (every byte is read); asked for the marker early, damaged.
    auto start = [&](size_t cut) { return StartLzma(&decoder, block.data(), written - cut, window.data(), options.dict_size); };
    Expect("the bytes, then the marker", start(0) && Decode(plain.size(), chunk, &got) == kLzmaEnd && got == plain);
    Expect("a stream cut short never ends", !start(early) || Decode(plain.size(), chunk, &got) != kLzmaEnd);
    Expect("the marker asked for early: damaged",
           early > plain.size() || (start(0) && Decode(plain.size() - early, chunk, &got) == kLzmaDamaged));

    if (StartLzma(&decoder, data, size, window.data(), options.dict_size))
        Decode(3 * options.dict_size, chunk, &got);
    return 0;
}
