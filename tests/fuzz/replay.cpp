// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a fuzz target over saved inputs, without libFuzzer: each argument is a
// file or a folder of files, fed in name order. Used by the trees built with
// GCC, so that every input a fuzzer once found stays a test there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool read_whole(const std::string& path, std::vector<uint8_t>& out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

void collect(const std::string& path, std::vector<std::string>& files)
{
    struct stat64 st;  // 64-bit inode numbers in a 32-bit tree too
    if (stat64(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent64* e = readdir64(d))
            if (e->d_name[0] != '.')
                names.push_back(path + "/" + e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    files.insert(files.end(), names.begin(), names.end());
}

}  // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], files);
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs (give files or folders of them)\n");
        return 2;
    }
    std::vector<uint8_t> data;
    for (const auto& file : files) {
        if (!read_whole(file, data)) {
            fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return 2;
        }
        // Named before it runs, so that a crash shows which input it was.
        fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return 0;
}
