// The fuzz target's checks without a fuzzer, on any processor: each input
// given goes through them (a broken property aborts), and one line tells
// what the reader made of it, so that two machines' runs can be compared:
//   corpus_replay FILE...   NAME: image LENGTH bytes, digest DIGEST[, another slot] | NAME: MESSAGE
#include "hexread.hpp"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    std::vector<std::uint8_t> image(imageCapacity);
    std::vector<char> window(textBufferSize);
    std::vector<std::uint8_t> gapMap(gapMapSize);
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        std::string text(std::istreambuf_iterator<char>(file), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        char message[faultMessageSize] = "";
        std::FILE* in = fmemopen(text.data(), text.size(), "rb");
        ImageStarts starts;
        const std::uint32_t length = in ? readImage(in, window.data(), image.data(), gapMap.data(), message, starts) : 0;
        if (in)
            std::fclose(in);
        // 64-bit FNV-1a: the same number for the same bytes on every processor.
        std::uint64_t digest = 0xcbf29ce484222325u;
        for (std::uint32_t at = 0; at < length; ++at)
            digest = (digest ^ image[at]) * 0x100000001b3u;
        char otherSlot[faultMessageSize];
        if (length)
            std::printf("%s: image %u bytes, digest %016llx%s\n", argv[i], length, static_cast<unsigned long long>(digest),
                        describeOtherSlot(starts, otherSlot) ? ", another slot" : "");
        else
            std::printf("%s: %s\n", argv[i], message);
    }
    return 0;
}
