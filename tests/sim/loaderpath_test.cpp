// SPDX-License-Identifier: GPL-2.0-or-later
// Paths that cardsim hands the dynamic loader: one with a space, a colon or a
// dollar sign (which LD_PRELOAD splits or expands) still loads the
// interposer, or the run is refused, naming the path and the character.
#include "sim_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

namespace {

size_t entry_count(const std::string& dir)
{
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            n += strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
        closedir(d);
    }
    return n;
}

class LoaderPath : public SimTest {
protected:
    void SetUp() override
    {
        start({}, false);
        tmp = dir + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    }

    // This class's interposer copied into dir/folder.
    std::string interposer_in(const std::string& folder)
    {
        std::string copy = dir + "/" + folder;
        EXPECT_EQ(mkdir(copy.c_str(), 0700), 0);
        copy += "/libcardsim.so";
        EXPECT_EQ(testsupport::run({"cp", PRELOAD_LIB, copy}).status, 0);
        return copy;
    }

    std::string variable() const { return sizeof(void*) == 8 ? "CARDSIM_PRELOAD_64=" : "CARDSIM_PRELOAD_32="; }

    std::string tmp;
};

}  // namespace

// A build tree or an install under "/tmp/my build": the loader would ignore
// the interposer, and the program would meet only the private /dev's empty file.
TEST_F(LoaderPath, InterposerWithCharactersTheLoaderSplitsIsLoaded)
{
    for (const char* folder : {"my build", "a:b", "x$LIB", "all of: $ORIGIN"}) {
        std::string interposer = interposer_in(folder);
        auto r = testsupport::run({CARDSIM_BIN, "--state", dir + "/card", "--", CLIENT_BIN, "openpath",
                                   "/dev/dvb/adapter0/frontend0", "rr", "0x48"},
                                  {variable() + interposer, "TMPDIR=" + tmp});
        EXPECT_EQ(r.out, "openpath ok\nrr 0x38048007\n") << folder << "\n" << r.err;
        EXPECT_EQ(r.err, "") << folder;
        EXPECT_EQ(r.status, 0) << folder;
        EXPECT_EQ(entry_count(tmp), 0u) << folder << ": the folder of links was left behind";
    }
}

// The links' folder in a TMPDIR with such a character cannot be handed over:
// refused, naming TMPDIR and the character, before anything is made.
TEST_F(LoaderPath, TmpdirTheLoaderWouldSplitIsRefused)
{
    const struct {
        const char* name;
        const char* character;
    } cases[] = {{"my tmp", "a space"}, {"t:mp", "a colon"}, {"t$LIB", "a dollar sign"}};
    std::string interposer = interposer_in("my build");
    for (const auto& c : cases) {
        std::string bad_tmp = dir + "/" + c.name;
        ASSERT_EQ(mkdir(bad_tmp.c_str(), 0700), 0);
        auto r = testsupport::run({CARDSIM_BIN, "--state", dir + "/card", "--", CLIENT_BIN, "openpath",
                                   "/dev/dvb/adapter0/frontend0"},
                                  {variable() + interposer, "TMPDIR=" + bad_tmp});
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "cardsim: cannot hand the interposer to the dynamic loader: the folder for its links, " +
                             bad_tmp + " (TMPDIR), has " + c.character +
                             ", which LD_PRELOAD cannot carry; set TMPDIR to a folder whose path has none\n");
        struct stat st;
        EXPECT_NE(lstat((dir + "/card").c_str(), &st), 0) << c.name << ": a refused run made the state folder";
        EXPECT_EQ(entry_count(bad_tmp), 0u) << c.name;
    }
}
