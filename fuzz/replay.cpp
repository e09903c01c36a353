// libFuzzer's main where there is none (gcc, the cross build): each file named
// is fed once to the target, which aborts on a wrong answer as when fuzzing.
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 1;
        }
        // A copy of exactly the input's size, so a read past it can show.
        const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("replay: %d inputs\n", argc - 1);
    return argc > 1 ? 0 : 1;
}
