// libFuzzer entry: any byte string as an image.
#include "image_fuzz_target.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string why;
    if (!flash3::fuzz::runImage(data, size, &why)) {
        std::fprintf(stderr, "image fuzz: %s\n", why.c_str());
        std::abort();
    }
    return 0;
}
