// The component's message catalogue: complete, ordered and exactly as the
// system writes its texts; and the build step that turns a data file into a
// catalogue table.
#include "log/catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "tests/common/scratch.h"

namespace {

const CMessageCatalogue& cat = ComponentCatalogue();

std::string Text(unsigned id) {
    const char* t = cat.Find(id);
    return t != nullptr ? t : "<missing>";
}

TEST(Catalogue, IsCompleteAndAscending) {
    EXPECT_EQ(cat.Count(), 168u);
    for (std::size_t i = 1; i < cat.Count(); ++i) {
        EXPECT_LT(cat.Entries()[i - 1].id, cat.Entries()[i].id);
    }
    for (std::size_t i = 0; i < cat.Count(); ++i) {
        EXPECT_LE(std::strlen(cat.Entries()[i].text), 1024u);
        EXPECT_EQ(cat.Find(cat.Entries()[i].id), cat.Entries()[i].text);
    }
    EXPECT_EQ(cat.Find(0), nullptr);
    EXPECT_EQ(cat.Find(100), nullptr);
    EXPECT_EQ(cat.Find(138), nullptr);
    EXPECT_EQ(cat.Find(282), nullptr);
}

TEST(Catalogue, LogVocabulary) {
    const std::pair<unsigned, const char*> words[] = {
        {172, "Information"}, {173, "Error"},       {174, "Warning"},
        {175, "["},           {176, "]"},           {177, "["},
        {178, "]"},           {179, " "},           {180, " "},
        {181, " : "},         {207, "Severity"},    {208, ": "},
        {211, "TimeStamp"},   {215, "Input Data"},  {221, "Server Response"},
        {222, ":"},           {241, "Information"}, {242, "~~"}};
    for (const auto& [id, text] : words) EXPECT_EQ(Text(id), text) << id;
}

TEST(Catalogue, TextsKeepTheirSpellingQuotesAndLineBreaks) {
    EXPECT_EQ(Text(113), "Input data errorr~~Invalid port is specified.");
    EXPECT_EQ(Text(128), "Registry error~~Unable to open registry key \"Servers\".");
    EXPECT_EQ(Text(140), "XML data error~~Query info obtained from server is  not valid XML data.");
    EXPECT_EQ(Text(195), "Checking whether interface %s is supported in sytem info XML.");
    EXPECT_EQ(Text(228), "Data format errror~~Data format in control file is invalid.");
    EXPECT_EQ(Text(243), "NO POLL FILES AVAILABLE.");
    EXPECT_EQ(Text(245), "Bulding headers for request");
    EXPECT_EQ(Text(251), "Builiding query string and adding it to resource name.");
    EXPECT_EQ(Text(267), "Operation is successfull");
    EXPECT_EQ(Text(278),
              "Server response error~~Error response from server. HTTP response code: %d. "
              "\nResponse: %s.");
    EXPECT_EQ(Text(199), "Server: %s, Port: %d, Secure connection: %d, Resource: %s, Verb: %s.");
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
