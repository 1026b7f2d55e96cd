#include "registration/registration_format.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Readable failure messages instead of object bytes.
void PrintTo(const SoftwareEntry& entry, std::ostream* os)
{
    *os << '{' << entry.name << " | " << entry.product_id << " | " << entry.distributor_id << '}';
}

namespace {

std::vector<SoftwareEntry> Parse(const std::string& text)
{
    std::istringstream in(text);
    return ParseRegistration(in);
}

std::string Format(const std::vector<SoftwareEntry>& entries)
{
    std::ostringstream out;
    FormatRegistration(out, entries);
    return out.str();
}

// What the installer does to the file: read, merge, write.
std::string Rewrite(const std::string& text)
{
    std::vector<SoftwareEntry> entries = Parse(text);
    MergeProduct(entries);
    return Format(entries);
}

const std::string kOwnBlock =
    "[[software]]\nname = \"tarvex \xE6\x95\xB0\xE6\x8D\xAE\xE6\x81\xA2\xE5\xA4\x8D\"\n"
    "product_id = \"8\"\ndistributor_id = \"1\"\n";

TEST(RegistrationMerge, EmptyFileGetsOnlyOurEntry)
{
    EXPECT_EQ(Rewrite(""), kOwnBlock);
    EXPECT_EQ(kOwnBlock.size(), 80u);
}

TEST(RegistrationMerge, ClaimsFirstEntryOfOurProductOnly)
{
    EXPECT_EQ(Rewrite("[[software]]\nname = \"X\"\nproduct_id = \"8\"\ndistributor_id = \"5\"\n"),
              "[[software]]\nname = \"X\"\nproduct_id = \"8\"\ndistributor_id = \"1\"\n");

    std::vector<SoftwareEntry> entries = {{"A", "3", "7"}, {"B", "8", "5"}, {"C", "8", "6"}};
    MergeProduct(entries);
    const std::vector<SoftwareEntry> expected = {{"A", "3", "7"}, {"B", "8", "1"}, {"C", "8", "6"}};
    EXPECT_EQ(entries, expected);
}

TEST(RegistrationMerge, OtherProductsKeptInOrderAndOursAppended)
{
    // "8 " is not our product even though it looks like it.
    const std::string text =
        "[[software]]\nname = \"P\"\nproduct_id = \"8\" \ndistributor_id = \"5\"\n"
        "[[software]]\nname = \"Q\"\nproduct_id = \"12\"\ndistributor_id = \"\"\n";
    std::vector<SoftwareEntry> entries = Parse(text);
    MergeProduct(entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], (SoftwareEntry{"P", "8 ", "5"}));
    EXPECT_EQ(entries[1], (SoftwareEntry{"Q", "12", ""}));
    EXPECT_EQ(Format({entries[2]}), kOwnBlock);
}

TEST(RegistrationParse, ValueRule)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"name = a=b", "a=b"},        {"name =   \"x\"", "x"},
        {"name = \" x\"", "x"},       {"name = \"x \"", "x "},
        {"name = \"a\"b\"", "ab"},    {"name=plain", "plain"},
        {"name = \" \t\"\" ", ""},    {"name =\t\"y\" ", "y "},
    };
    for (const auto& [line, value] : cases) {
        std::string field = "old";
        ApplyRegistrationValue(line, field);
        EXPECT_EQ(field, value) << line;
    }
    std::string field = "old";
    ApplyRegistrationValue("name \"x\"", field);
    EXPECT_EQ(field, "old");
}

TEST(RegistrationParse, IncompleteBlocksAndNoiseVanish)
{
    const std::string text =
        "# comment\n\n[[software]]\nname = \"no id\"\ndistributor_id = \"2\"\n"
        "[[software]]\nname = \"empty id\"\nproduct_id = \"\"\n"
        "[[software]]\nversion = \"3\"\n\nproduct_id = \"4\"\nproduct_id\n"
        "[[software]]\nname = \"first\"\nproduct_id = \"5\"\nname = \"later wins\"";
    // Nothing of a dropped block leaks into the next one.
    const std::vector<SoftwareEntry> expected = {{"", "4", ""}, {"later wins", "5", ""}};
    EXPECT_EQ(Parse(text), expected);
}

TEST(RegistrationParse, FirstMarkerFoundDecidesTheLine)
{
    const std::string text =
        "[[software]]\nfilename = \"y\"\nproduct_id = \"5\"\n"
        "Name = \"skipped\"\n"
        "  \xEF\xBB\xBF[[software]] name = \"z\" product_id = \"6\"\n"
        "product_id = \"name\"\ndistributor_id = \"product_id = 7\"\n";
    // In the second block the identifier line set the name, and the
    // distributor line set the identifier.
    const std::vector<SoftwareEntry> expected = {{"y", "5", ""}, {"name", "product_id = 7", ""}};
    EXPECT_EQ(Parse(text), expected);

    EXPECT_EQ(Parse("\xEF\xBB\xBF[[software]]\nproduct_id = 1\n"),
              (std::vector<SoftwareEntry>{{"", "1", ""}}));
}

TEST(RegistrationParse, CapitalisedHeaderDoesNotStartABlock)
{
    const std::string text =
        "[[software]]\nname = \"A\"\nproduct_id = \"1\"\ndistributor_id = \"2\"\n"
        "[[Software]]\nname = \"B\"\nproduct_id = \"3\"\n";
    const std::vector<SoftwareEntry> expected = {{"B", "3", "2"}};
    EXPECT_EQ(Parse(text), expected);
}

TEST(RegistrationParse, KeysBeforeFirstHeaderAreAnEntryOfTheirOwn)
{
    const std::string text =
        "name = \"loose\"\nproduct_id = \"2\"\n"
        "[[software]]\nname = \"boxed\"\nproduct_id = \"3\"\ndistributor_id = \"4\"";
    EXPECT_EQ(Rewrite(text),
              "[[software]]\nname = \"loose\"\nproduct_id = \"2\"\ndistributor_id = \"\"\n"
              "[[software]]\nname = \"boxed\"\nproduct_id = \"3\"\ndistributor_id = \"4\"\n" +
                  kOwnBlock);
}

TEST(RegistrationRoundTrip, WrittenFileReadsBackUnchanged)
{
    const std::vector<SoftwareEntry> entries = {
        {"", "x=y ", ""},
        {"caf\xC3\xA9 \t", "8", "1"},
        {std::string(kInstallerName), "9", "a = b"},
    };
    const std::string text = Format(entries);
    EXPECT_EQ(Parse(text), entries);
    EXPECT_EQ(Format(Parse(text)), text);
    EXPECT_EQ(Rewrite(text), Rewrite(Rewrite(text)));
}

TEST(RegistrationLineEnds, OnlyCrLfPairsBecomeLf)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\r\nb\r\n", "a\nb\n"},
        {"a\nb", "a\nb"},
        {"a\rb\r", "a\rb\r"},
        {"\r\r\n\n\r", "\r\n\n\r"},
        // The C runtime's text mode would end the file at 0x1A.
        {std::string("a\x1A\r\nb\0c\r\n", 9), std::string("a\x1A\nb\0c\n", 7)},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(CrLfToLf(bytes), text);
        EXPECT_EQ(CrLfToLf(LfToCrLf(bytes)), bytes);
    }
}

TEST(RegistrationLineEnds, FileOnDiskHoldsCrLfAndReadsBackAsWritten)
{
    const std::string ownFile = LfToCrLf(Format({{std::string(kInstallerName), "8", "1"}}));
    EXPECT_EQ(ownFile.size(), 84u);
    EXPECT_EQ(ownFile.substr(0, 14), "[[software]]\r\n");

    // A lone CR and 0x1A inside values survive a read and a rewrite.
    const std::vector<SoftwareEntry> entries = {{"a\rb", "3", "\x1A"}, {"c", "4\r", ""}};
    const std::string file = LfToCrLf(Format(entries));
    EXPECT_EQ(Parse(CrLfToLf(file)), entries);
}

}  // namespace
