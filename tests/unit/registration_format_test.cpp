#include "registration/registration_format.h"

#include <gtest/gtest.h>

#include <sstream>

void PrintTo(const SoftwareEntry& e, std::ostream* os) {
    *os << e.name << '|' << e.product_id << '|' << e.distributor_id;
}

namespace {

using Entries = std::vector<SoftwareEntry>;

Entries Parse(const std::string& text) {
    std::istringstream in(text);
    return ParseRegistration(in);
}

TEST(RegistrationValue, AfterTheFirstEqualsWithoutQuotesAndLeadingBlanks) {
    const std::pair<std::string, std::string> cases[] = {
        {"name = a=b", "a=b"},     {"name =   \"x\"", "x"},  {"name = \" x\"", "x"}, {"name = \"x \"", "x "},
        {"name = \"a\"b\"", "ab"}, {"name =\t\"y\" ", "y "}, {"name \"x\"", "old"}};  // no '=': left alone
    for (const auto& [line, value] : cases) {
        std::string field = "old";
        ApplyRegistrationValue(line, field);
        EXPECT_EQ(field, value) << line;
    }
}

TEST(RegistrationParse, FirstCaseSensitiveMarkerInALineDecidesWhatItSets) {
    const std::pair<std::string, Entries> cases[] = {
        {"[[software]]\nfilename = \"y\"\nproduct_id = \"5\"\n", {{"y", "5", ""}}},
        {"[[software]]\nproduct_id = \"name\"\ndistributor_id = \"product_id = 7\"\n",
         {{"name", "product_id = 7", ""}}},
        {"[[software]]\nName = \"N\"\nproduct_id = \"1\"\n[[Software]]\nproduct_id = \"2\"\n", {{"", "2", ""}}},
        {"[[software]]\nproduct_id = 1\n \xEF\xBB\xBF[[software]] name = \"z\"\nproduct_id = 2",
         {{"", "1", ""}, {"", "2", ""}}},
        {"[[software]]\nname = \"no id\"\ndistributor_id = \"2\"\n"
         "[[software]]\nproduct_id = \"\"\n[[software]]\nproduct_id = 4\n[[software]]\nname = \"last\"",
         {{"", "4", ""}}},
        {"name = \"loose\"\nproduct_id = \"2\"\n[[software]]\nproduct_id = \"3\"\n",
         {{"loose", "2", ""}, {"", "3", ""}}}};
    for (const auto& [text, entries] : cases) EXPECT_EQ(Parse(text), entries) << text;
}

TEST(RegistrationMerge, ClaimsTheFirstEntryOfProduct8OrAppendsOurs) {
    const SoftwareEntry ours{std::string(kInstallerName), "8", "1"};
    const std::pair<Entries, Entries> cases[] = {
        {{}, {ours}},
        {{{"A", "3", "7"}, {"B", "8", "5"}, {"C", "8", "6"}}, {{"A", "3", "7"}, {"B", "8", "1"}, {"C", "8", "6"}}},
        {{{"P", "8 ", "5"}, {"Q", "12", ""}}, {{"P", "8 ", "5"}, {"Q", "12", ""}, ours}}};
    for (auto [entries, merged] : cases) {
        MergeProduct(entries);
        EXPECT_EQ(entries, merged);
    }
}

}  // namespace
