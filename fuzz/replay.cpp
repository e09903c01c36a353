// Stands in for libFuzzer's main where there is no libFuzzer (gcc, the
// cross build): every file of the corpus directories given is fed once to
// the target, which aborts on a wrong answer as it does when fuzzing.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; i++) {
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 1;
        }
        std::vector<std::string> names;
        while (const dirent *e = readdir(dir))
            if (e->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + e->d_name);
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::ifstream in(name, std::ios::binary);
            const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), {}};
            // A copy of exactly the input's size, so a read past it can show.
            LLVMFuzzerTestOneInput(input.data(), input.size());
            replayed++;
        }
    }
    printf("replay: %zu inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
