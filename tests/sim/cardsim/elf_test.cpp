// SPDX-License-Identifier: GPL-2.0-or-later
// The ELF reader that tells the interposer and static programs: truncated,
// misaligned and lying headers give "no", never a read outside the file or a
// misaligned access (the sanitizer tree runs these).
#include "sim_fixture.h"

#include "exec32.h"

#include <cstring>
#include <elf.h>
#include <sys/stat.h>

namespace {

class ElfReaderTest : public SimTest {
protected:
    void SetUp() override { start({}, false); }

    std::string put(const std::string& name, const std::string& bytes)
    {
        std::string path = dir + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }
};

template <typename T>
void poke(std::string& image, size_t offset, const T& value)
{
    image.replace(offset, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
}

// A 32-bit ELF header of 114 bytes whose one section header starts at the
// odd offset 53: a dynamic symbol table whose string table is itself.
std::string misaligned_elf32()
{
    std::string image(114, '\0');
    Elf32_Ehdr eh{};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS32;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_type = ET_DYN;
    eh.e_machine = EM_386;
    eh.e_shoff = 53;
    eh.e_shentsize = sizeof(Elf32_Shdr);
    eh.e_shnum = 1;
    poke(image, 0, eh);
    Elf32_Shdr sh{};
    sh.sh_type = SHT_DYNSYM;
    sh.sh_link = 0;
    sh.sh_entsize = sizeof(Elf32_Sym);
    sh.sh_offset = 93;
    sh.sh_size = 21;
    poke(image, 53, sh);
    Elf32_Sym sym{};
    sym.st_name = 1;
    sym.st_shndx = 1;
    poke(image, 93, sym);
    return image;
}

}  // namespace

TEST_F(ElfReaderTest, TruncatedAndMisalignedImagesAreNoInterposer)
{
    const char* mark = "cardsim_interposer_version";
    std::string real = testsupport::read_file(PRELOAD_LIB);
    ASSERT_TRUE(cardsim::elf_exports(put("real.so", real), mark));

    EXPECT_FALSE(cardsim::elf_exports(put("misaligned32.so", misaligned_elf32()), mark));
    EXPECT_EQ(cardsim::elf_bits(dir + "/misaligned32.so"), 32);

    for (size_t size : {size_t(20), size_t(51), size_t(52), size_t(63), size_t(64), size_t(114), size_t(1000),
                        real.size() / 2, real.size() - 1})
        EXPECT_FALSE(cardsim::elf_exports(put("cut.so", real.substr(0, size)), mark)) << size;

    // every section header moved by one to seven bytes: misaligned, and pointing at the wrong bytes
    const bool wide = sizeof(void*) == 8;
    size_t shoff_at = wide ? offsetof(Elf64_Ehdr, e_shoff) : offsetof(Elf32_Ehdr, e_shoff);
    for (unsigned shift = 1; shift < 8; ++shift) {
        std::string moved = real;
        if (wide) {
            Elf64_Off off;
            memcpy(&off, real.data() + shoff_at, sizeof off);
            poke(moved, shoff_at, Elf64_Off(off + shift));
        } else {
            Elf32_Off off;
            memcpy(&off, real.data() + shoff_at, sizeof off);
            poke(moved, shoff_at, Elf32_Off(off + shift));
        }
        EXPECT_FALSE(cardsim::elf_exports(put("moved.so", moved), mark)) << shift;
    }

    // a section count far beyond the file
    std::string many = real;
    size_t shnum_at = wide ? offsetof(Elf64_Ehdr, e_shnum) : offsetof(Elf32_Ehdr, e_shnum);
    poke(many, shnum_at, uint16_t(0xffff));
    EXPECT_FALSE(cardsim::elf_exports(put("many.so", many), mark));
}

TEST_F(ElfReaderTest, CardsimRefusesABrokenPreloadOverride)
{
    SKIP_WITHOUT_OTHER_CLASS_PROBES();
    std::string broken = put("broken.so", misaligned_elf32());
    auto r = testsupport::run({CARDSIM_BIN, "--state", dir + "/card", "--", PROBE_OTHER_BIN},
                              {"CARDSIM_PRELOAD_32=" + broken, "CARDSIM_PRELOAD_64=" + broken});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("=" + broken + " is not a "), std::string::npos) << r.err;
    struct stat st;
    EXPECT_NE(stat((dir + "/card").c_str(), &st), 0);
}

TEST_F(ElfReaderTest, StaticProgramsAreTold)
{
    EXPECT_TRUE(cardsim::elf_static(PROBE_STATIC_BIN));
    EXPECT_FALSE(cardsim::elf_static(PROBE_BIN));
    if (PROBE_OTHER_BIN[0] != '\0') {
        EXPECT_TRUE(cardsim::elf_static(PROBE_OTHER_STATIC_BIN));
        EXPECT_FALSE(cardsim::elf_static(PROBE_OTHER_BIN));
    }
    EXPECT_FALSE(cardsim::elf_static(PRELOAD_LIB));  // a library: no interpreter, but no program either
    EXPECT_FALSE(cardsim::elf_static("/bin/sh") && cardsim::elf_bits("/bin/sh") != 0);
    // program headers cut off: cannot tell, so not static
    std::string image = testsupport::read_file(PROBE_STATIC_BIN);
    EXPECT_FALSE(cardsim::elf_static(put("cut", image.substr(0, 60))));
    EXPECT_EQ(cardsim::script_interpreter(put("script", "#!  /bin/sh -e\necho\n")), "/bin/sh");
    EXPECT_EQ(cardsim::script_interpreter(put("text", "echo\n")), "");
}
