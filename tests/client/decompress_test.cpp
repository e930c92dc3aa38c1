// ferrun's unpack mode: the exact console bytes of each outcome, the
// case-sensitive ".dtz" match and the target cut at the first ".dtz" of the
// file name.
#include <stdio.h>
#include <unistd.h>

#include <filesystem>

#include "client/decompress_mode.h"
#include "support/compress.h"
#include "tests/client/ferrun_fixture.h"

namespace zel::test::client {
namespace {

class Unpack : public FerrunRoot {
  protected:
    // Runs the unpack mode in process and returns what it printed.
    std::string RunIn(const std::string& name) {
        FILE* out = ::tmpfile();
        if (out == nullptr) {
            ADD_FAILURE() << "tmpfile";
            return {};
        }
        EXPECT_EQ(zel::client::RunDecompressMode(name.c_str(), out), 0);
        std::string text;
        std::rewind(out);
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
        std::fclose(out);
        return text;
    }

    void Pack(const std::string& plain, const std::string& packed) {
        WriteFile(Path("plain.tmp"), plain);
        ASSERT_EQ(CompressFile(Path("plain.tmp").c_str(), packed.c_str(), 6), kCompressOk);
    }
};

TEST_F(Unpack, GoodFileThroughTheRealProgram) {
    const std::string data(100000, 'x');
    Pack(data, Path("a.dtz"));
    const FerrunResult r = Ferrun({"-z", Path("a.dtz")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "decompressing..." + Path("a.dtz") + "\nto.............." + Path("a") +
                         "\ndone.\n\n");
    EXPECT_EQ(ReadFile(Path("a")), data);
    EXPECT_EQ(Calls(), "");  // no component involved
}

TEST_F(Unpack, CapitalExtensionIsNotADtzFile) {
    Pack("x", Path("A.DTZ"));
    const FerrunResult r = Ferrun({"-z", Path("A.DTZ")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "\n\n error - .dtz files only\n\n");
    EXPECT_FALSE(FileExists(Path("A")));
}

TEST_F(Unpack, TargetIsCutAtTheFirstDtz) {
    Pack("old data", Path("a.dtz.old"));
    EXPECT_EQ(RunIn(Path("a.dtz.old")), "decompressing..." + Path("a.dtz.old") +
                                            "\nto.............." + Path("a") + "\ndone.\n\n");
    EXPECT_EQ(ReadFile(Path("a")), "old data");
}

TEST_F(Unpack, OnlyTheFileNameIsCut) {
    // A ".dtz" in a directory name neither cuts the target into the parent
    // directory (where an unrelated file stands) nor counts as the match.
    std::filesystem::create_directories(Path("zz/archive.dtz.d"));
    WriteFile(Path("zz/archive"), "unrelated");
    Pack("prices", Path("zz/archive.dtz.d/PRICES.DAT.dtz"));
    EXPECT_EQ(RunIn(Path("zz/archive.dtz.d/PRICES.DAT.dtz")),
              "decompressing..." + Path("zz/archive.dtz.d/PRICES.DAT.dtz") + "\nto.............." +
                  Path("zz/archive.dtz.d/PRICES.DAT") + "\ndone.\n\n");
    EXPECT_EQ(ReadFile(Path("zz/archive.dtz.d/PRICES.DAT")), "prices");
    EXPECT_EQ(ReadFile(Path("zz/archive")), "unrelated");

    Pack("plain", Path("zz/archive.dtz.d/PLAIN.DAT"));
    EXPECT_EQ(RunIn(Path("zz/archive.dtz.d/PLAIN.DAT")), "\n\n error - .dtz files only\n\n");
    EXPECT_EQ(ReadFile(Path("zz/archive")), "unrelated");

    // The first ".dtz" of the file name still decides.
    Pack("twice", Path("zz/archive.dtz.d/b.dtz.dtz"));
    EXPECT_EQ(RunIn(Path("zz/archive.dtz.d/b.dtz.dtz")),
              "decompressing..." + Path("zz/archive.dtz.d/b.dtz.dtz") + "\nto.............." +
                  Path("zz/archive.dtz.d/b") + "\ndone.\n\n");
    EXPECT_EQ(ReadFile(Path("zz/archive.dtz.d/b")), "twice");
}

TEST_F(Unpack, FailuresPrintTheirTextsAndLeaveNoTarget) {
    EXPECT_EQ(RunIn(Path("missing.dtz")), "decompressing..." + Path("missing.dtz") +
                                              "\nto.............." + Path("missing") +
                                              "\nerror.....unable to open compress file\n\n");
    EXPECT_FALSE(FileExists(Path("missing")));

    // A gzip file cut in half: reading fails and the partial target goes.
    std::string data;
    for (int i = 0; i < 20000; ++i) data += std::to_string(i * 7919) + ",";
    Pack(data, Path("cut.dtz"));
    const std::string packed = ReadFile(Path("cut.dtz"));
    WriteFile(Path("cut.dtz"), packed.substr(0, packed.size() / 2));
    EXPECT_EQ(RunIn(Path("cut.dtz")), "decompressing..." + Path("cut.dtz") + "\nto.............." +
                                          Path("cut") +
                                          "\nerror.....unable to read from compress file\n\n");
    EXPECT_FALSE(FileExists(Path("cut")));

    // Cut so short that all its input is taken while output is still held
    // back: through the real program, the same text and no target.
    Pack(std::string(40000, '\0'), Path("zeros.dtz"));
    const std::string zeros = ReadFile(Path("zeros.dtz"));
    WriteFile(Path("zeros.dtz"), zeros.substr(0, zeros.size() - 15));
    const FerrunResult r = Ferrun({"-z", Path("zeros.dtz")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "decompressing..." + Path("zeros.dtz") + "\nto.............." + Path("zeros") +
                         "\nerror.....unable to read from compress file\n\n");
    EXPECT_FALSE(FileExists(Path("zeros")));

    // The target's place is taken by a directory.
    Pack("y", Path("d.dtz"));
    std::filesystem::create_directory(Path("d"));
    EXPECT_EQ(RunIn(Path("d.dtz")), "decompressing..." + Path("d.dtz") + "\nto.............." +
                                        Path("d") +
                                        "\nerror.....unable to create decompress file\n\n");
}

}  // namespace
}  // namespace zel::test::client
