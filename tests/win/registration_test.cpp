// The registration file on the real profile folder of the Wine prefix.
#include <windows.h>
#include <shlobj.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "common/handles.h"
#include "registration/registration.h"

namespace {

namespace fs = std::filesystem;

// Our block as this program writes it: 84 bytes.
const std::string kOwnFile =
    "[[software]]\r\nname = \"tarvex \xE6\x95\xB0\xE6\x8D\xAE\xE6\x81\xA2\xE5\xA4\x8D\"\r\n"
    "product_id = \"8\"\r\ndistributor_id = \"1\"\r\n";
const std::string kOtherProduct =
    "[[software]]\r\nname = \"Other\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"7\"\r\n";

// What the registration folder holds after a run: no temporary file.
const std::set<std::wstring> kOnlyTheFile = {L"config.toml"};

std::wstring ProfileFolder() {
    wchar_t profile[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) return {};
    return profile;
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(fs::path(path), std::ios::binary) << bytes;
}

std::set<std::wstring> NamesIn(const std::wstring& folder) {
    std::set<std::wstring> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) names.insert(entry.path().filename().wstring());
    return names;
}

// Read-only and system marks would make the removal fail.
void RemoveTree(const std::wstring& path) {
    std::error_code error;
    if (fs::is_directory(path, error))
        for (const auto& entry : fs::recursive_directory_iterator(path, error))
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(path, error);
}

// Another program holding the file open with the given sharing.
UniqueHandle HoldOpen(const std::wstring& path, DWORD sharing) {
    return UniqueHandle(NullIfInvalid(
        CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

// Each test starts without the registration folder and leaves the profile
// folder as it found it.
class RegistrationFile : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring profile = ProfileFolder();
        ASSERT_FALSE(profile.empty());
        folder = profile + L"\\.tarvex";
        file = folder + L"\\config.toml";
        saved = profile + L"\\.tarvex-saved-by-test";
        movedAside = MoveFileW(folder.c_str(), saved.c_str());
        profileNames = NamesIn(profile);
    }

    void TearDown() override {
        RemoveTree(folder);
        if (movedAside) MoveFileW(saved.c_str(), folder.c_str());
    }

    std::wstring folder, file, saved;
    bool movedAside = false;
    std::set<std::wstring> profileNames;
};

TEST_F(RegistrationFile, MissingFolderIsMadeHiddenAndHoldsOurEntryAlone) {
    ASSERT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    RegisterProduct();
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    const std::string bytes = ReadBytes(file);
    EXPECT_EQ(bytes.size(), 84u);
    EXPECT_EQ(bytes, kOwnFile);
    EXPECT_EQ(NamesIn(folder), kOnlyTheFile);
}

TEST_F(RegistrationFile, ExistingFolderKeepsOnlyTheHiddenMark) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    // Wine keeps only the system mark of these on a folder, and shows any
    // dot-folder as hidden whatever its marks: clearing the system mark is
    // what can be seen there.
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_SYSTEM);
    RegisterProduct();
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ReadBytes(file), kOwnFile);
}

TEST_F(RegistrationFile, FileWhereTheFolderShouldBeIsOnlyHidden) {
    WriteBytes(folder, "not a folder");
    profileNames.insert(L".tarvex");
    RegisterProduct();
    // Wine shows every file as archived, whatever was set.
    EXPECT_EQ(GetFileAttributesW(folder.c_str()) & ~FILE_ATTRIBUTE_ARCHIVE, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(ReadBytes(folder), "not a folder");
    std::vector<SoftwareEntry> entries;
    EXPECT_EQ(ReadRegistration(file, entries), RegistrationRead::Missing);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(NamesIn(ProfileFolder()), profileNames);
}

TEST_F(RegistrationFile, ReaderTellsAMissingFileFromAnUnreadableOne) {
    const std::vector<SoftwareEntry> stale = {{"stale", "1", "2"}};
    std::vector<SoftwareEntry> entries = stale;
    EXPECT_EQ(ReadRegistration(file, entries), RegistrationRead::Missing) << "no folder";
    EXPECT_TRUE(entries.empty());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(ReadRegistration(file, entries), RegistrationRead::Missing) << "no file";

    WriteBytes(file, kOtherProduct);
    {
        const UniqueHandle holder = HoldOpen(file, 0);
        ASSERT_TRUE(holder);
        entries = stale;
        EXPECT_EQ(ReadRegistration(file, entries), RegistrationRead::Unreadable);
        EXPECT_TRUE(entries.empty());
    }
    EXPECT_EQ(ReadRegistration(file, entries), RegistrationRead::Read);
    EXPECT_EQ(entries, (std::vector<SoftwareEntry>{{"Other", "3", "7"}}));

    ASSERT_TRUE(DeleteFileW(file.c_str()));
    ASSERT_TRUE(CreateDirectoryW(file.c_str(), nullptr));
    EXPECT_EQ(ReadRegistration(file, entries), RegistrationRead::Unreadable) << "a folder in the file's place";
}

// Wine refuses to replace a file that is open at all, so here the failed
// replace would keep the file too; the reader's test above is the one that
// tells "unreadable" from "missing".
TEST_F(RegistrationFile, FileThatCannotBeOpenedIsLeftUntouched) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    // Not in our written form, so any rewrite would show.
    const std::string old = "[[software]]\nname=Other\nproduct_id=3\n";
    WriteBytes(file, old);
    {
        const UniqueHandle holder = HoldOpen(file, 0);
        ASSERT_TRUE(holder);
        EXPECT_TRUE(ReadRegistrationFile(file).empty());
        RegisterProduct();
    }
    EXPECT_EQ(ReadBytes(file), old);
    EXPECT_EQ(NamesIn(folder), kOnlyTheFile);
}

TEST_F(RegistrationFile, FailedReplaceKeepsTheOldFileAndNoTemporary) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::string old = "[[software]]\nname=Other\nproduct_id=3\n";
    WriteBytes(file, old);
    {
        // Readable, but without delete sharing it cannot be replaced.
        const UniqueHandle holder = HoldOpen(file, FILE_SHARE_READ);
        ASSERT_TRUE(holder);
        EXPECT_EQ(ReadRegistrationFile(file).size(), 1u);
        RegisterProduct();
    }
    EXPECT_EQ(ReadBytes(file), old);
    EXPECT_EQ(NamesIn(folder), kOnlyTheFile);
}

TEST_F(RegistrationFile, FileWeWroteIsRewrittenByteForByte) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::string written = kOtherProduct + kOwnFile +
                                "[[software]]\r\nname = \"\"\r\nproduct_id = \"8\"\r\ndistributor_id = \"5\"\r\n";
    WriteBytes(file, written);
    RegisterProduct();
    EXPECT_EQ(ReadBytes(file), written);
    EXPECT_EQ(NamesIn(folder), kOnlyTheFile);
}

TEST_F(RegistrationFile, SubstituteByteAndLoneCrDoNotCutTheFile) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteBytes(file, "[[software]]\r\nname = \"A\x1A\"\r\nproduct_id = \"3\"\r\n\x1A\r\n"
                     "[[software]]\nname = \"B\rC\"\nproduct_id = \"4\"\ndistributor_id = \"2\"\n");
    RegisterProduct();
    EXPECT_EQ(ReadBytes(file),
              "[[software]]\r\nname = \"A\x1A\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"\"\r\n"
              "[[software]]\r\nname = \"B\rC\"\r\nproduct_id = \"4\"\r\ndistributor_id = \"2\"\r\n" + kOwnFile);
}

TEST_F(RegistrationFile, HiddenFileStaysHiddenWhenReplaced) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteBytes(file, kOtherProduct);
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
    RegisterProduct();
    EXPECT_EQ(ReadBytes(file), kOtherProduct + kOwnFile);
    EXPECT_TRUE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

}  // namespace
