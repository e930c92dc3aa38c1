// The component's message catalogue: ordered for its look-up, and every
// error text carrying the class marker the log splits at; and the build step
// that turns a data file into a catalogue table.  The texts themselves are
// checked where they are written, in the log records of the other suites.
#include "log/catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/common/scratch.h"

namespace {

const CMessageCatalogue& cat = ComponentCatalogue();

std::string Text(unsigned id) {
    const char* t = cat.Find(id);
    return t != nullptr ? t : "<missing>";
}

// Find relies on the order; every text fits the log's record buffer; an
// identifier the table lacks (below, between and above its entries) finds
// nothing rather than a neighbour.
TEST(Catalogue, IsAscendingAndFindsExactlyItsEntries) {
    ASSERT_GT(cat.Count(), 1u);
    for (std::size_t i = 1; i < cat.Count(); ++i) {
        EXPECT_LT(cat.Entries()[i - 1].id, cat.Entries()[i].id);
    }
    for (std::size_t i = 0; i < cat.Count(); ++i) {
        EXPECT_LE(std::strlen(cat.Entries()[i].text), 1024u);
        EXPECT_EQ(cat.Find(cat.Entries()[i].id), cat.Entries()[i].text);
    }
    if (cat.Entries()[0].id > 0) {
        EXPECT_EQ(cat.Find(cat.Entries()[0].id - 1), nullptr);
    }
    EXPECT_EQ(cat.Find(cat.Entries()[cat.Count() - 1].id + 1), nullptr);
    for (std::size_t i = 1; i < cat.Count(); ++i) {
        const unsigned between = cat.Entries()[i - 1].id + 1;
        if (between != cat.Entries()[i].id) {
            EXPECT_EQ(cat.Find(between), nullptr) << between;
        }
    }
}

TEST(Catalogue, ErrorTextsCarryTheClassMarker) {
    for (unsigned id = 101; id <= 159; ++id) {
        if (cat.Find(id) != nullptr) {
            EXPECT_NE(Text(id).find("~~"), std::string::npos) << id;
        }
    }
    for (unsigned id = 223; id <= 240; ++id) {
        EXPECT_NE(Text(id).find("~~"), std::string::npos) << id;
    }
}

// Runs the generator on data; the generated source, or "" when it refused.
class CatalogueGenerator : public zel::test::ScratchRoot {
  protected:
    std::string Generate(const std::string& data) {
        WriteFile(Path("in.txt"), data);
        const std::string out = Path("out.cpp");
        std::filesystem::remove(out);
        const std::string command = std::string("\"") + ZEL_CMAKE_COMMAND + "\" -DINPUT=\"" +
                                    Path("in.txt") + "\" -DOUTPUT=\"" + out +
                                    "\" -DSYMBOL=Table -P \"" + ZEL_CATALOGUE_GENERATOR +
                                    "\" >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return "";
        return ReadFile(out);
    }
};

TEST_F(CatalogueGenerator, KeepsEveryLineWhateverItEndsWith) {
    const std::string table = Generate(
        "# comment\n"
        "1\tpath C:\\\\\n"  // a text ending in an escaped backslash
        "2\tnext; [one] \\\"two\\\"\\n\r\n"
        "\n"
        "3\tlast\n");
    EXPECT_NE(table.find("{1, \"path C:\\\\\"},\n"), std::string::npos) << table;
    EXPECT_NE(table.find("{2, \"next; [one] \\\"two\\\"\\n\"},\n"), std::string::npos) << table;
    EXPECT_NE(table.find("{3, \"last\"},\n"), std::string::npos) << table;
}

TEST_F(CatalogueGenerator, RefusesMalformedData) {
    EXPECT_EQ(Generate("1\tlone backslash \\\n2\tx\n"), "");
    EXPECT_EQ(Generate("1\tbare \"quote\"\n"), "");
    EXPECT_EQ(Generate("2\tb\n1\ta\n"), "");
    EXPECT_EQ(Generate("x\ttext\n"), "");
    EXPECT_EQ(Generate("1 no tab\n"), "");
    EXPECT_EQ(Generate("# nothing\n"), "");
}

}  // namespace
