#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <vector>

#include "install/program_file.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FileBytes(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

Bytes Prefix(const Bytes& bytes, std::size_t size) { return Bytes(bytes.begin(), bytes.begin() + size); }

// "whole", or the verdict and its reason.
std::string Judged(const Bytes& file) {
    std::string reason;
    const ReadFileAt readAt = [&](std::uint64_t offset, void* bytes, std::size_t size) {
        if (offset > file.size() || size > file.size() - offset) return false;
        std::memcpy(bytes, file.data() + offset, size);
        return true;
    };
    const char* const kVerdicts[] = {"whole", "incomplete: ", "not a program: ", "unreadable: "};
    const ProgramFile verdict = JudgeProgramFile(file.size(), readAt, reason);
    return kVerdicts[static_cast<int>(verdict)] + reason;
}

TEST(ProgramFile, AWholeProgramPassesAndOneCutShortAnywhereSaysWhere) {
    const Bytes plain = FileBytes(TARVEX_PLAIN_PROGRAM), signedProgram = FileBytes(TARVEX_SIGNED_PROGRAM);
    ASSERT_GT(plain.size(), 4096u);
    ASSERT_GT(signedProgram.size(), plain.size());
    const std::size_t cut = signedProgram.size() - 100;
    Bytes appended = signedProgram;
    appended.insert(appended.end(), 5000, 0xA5);
    Bytes noSignature = plain;
    noSignature[noSignature[0x3C] | noSignature[0x3D] << 8] = 'X';

    const std::string total = GroupedDigits(signedProgram.size()), plainSize = GroupedDigits(plain.size());
    const std::pair<Bytes, std::string> cases[] = {
        {Prefix(signedProgram, 40), "incomplete: headers end at 64 of 40 bytes"},
        {Prefix(signedProgram, 100), "incomplete: headers end at [0-9]+ of 100 bytes"},
        {Prefix(signedProgram, 400), "incomplete: headers end at [0-9,]+ of 400 bytes"},
        // Past the section table, before the first section's data.
        {Prefix(signedProgram, 1000), "incomplete: headers end at [0-9,]+ of 1,000 bytes"},
        {Prefix(signedProgram, plain.size() / 2), "incomplete: section \\.[a-z]+ ends at [0-9,]+ of [0-9,]+ bytes"},
        {Prefix(signedProgram, plain.size() - 1),
         "incomplete: section \\.[a-z]+ ends at " + plainSize + " of [0-9,]+ bytes"},
        // At the last section's end, only the signature is missing.
        {Prefix(signedProgram, plain.size()),
         "incomplete: certificate table ends at " + total + " of " + plainSize + " bytes"},
        {Prefix(signedProgram, cut),
         "incomplete: certificate table ends at " + total + " of " + GroupedDigits(cut) + " bytes"},
        {signedProgram, "whole"},
        {plain, "whole"},
        {appended, "whole"},
        {noSignature, "not a program: no PE signature at offset [0-9]+"},
        {Bytes{'M'}, "not a program: it does not begin with \"MZ\""},
        {Bytes{'#', '!', ' ', 'n', 'o', 't', ' ', 'a', 'n', ' ', 'e', 'x', 'e'},
         "not a program: it does not begin with \"MZ\""},
    };
    for (const auto& [file, expected] : cases)
        EXPECT_TRUE(std::regex_match(Judged(file), std::regex(expected)))
            << Judged(file) << " (" << file.size() << " bytes), expected " << expected;
}

TEST(ProgramFile, AFileThatCannotBeReadIsNeverWhole) {
    std::string reason;
    EXPECT_EQ(JudgeProgramFile(
                  1 << 20, [](std::uint64_t, void*, std::size_t) { return false; }, reason),
              ProgramFile::Unreadable);
    EXPECT_EQ(reason, "could not be read at offset 0");
    EXPECT_EQ(GroupedDigits(3192460), "3,192,460");
    EXPECT_EQ(GroupedDigits(999), "999");
    EXPECT_EQ(GroupedDigits(1000), "1,000");
}

}  // namespace
