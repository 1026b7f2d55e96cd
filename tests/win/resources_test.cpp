// The resources the installer carries, read back from the built executable.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"

namespace {

constexpr WORD kUsEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

std::wstring InstallerPath() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + L"tarvex-installer.exe";
}

using UniqueModule = UniqueOf<HMODULE, &FreeLibrary>;

UniqueModule LoadInstallerImage() {
    return UniqueModule(LoadLibraryExW(InstallerPath().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

std::string_view ResourceBytes(HMODULE module, const wchar_t* type, WORD id, WORD language) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), language);
    if (!found) return {};
    const void* data = LockResource(LoadResource(module, found));
    return {static_cast<const char*>(data), SizeofResource(module, found)};
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

std::vector<WORD> Languages(HMODULE module, const wchar_t* type, WORD id) {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module, type, MAKEINTRESOURCEW(id), CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

class InstallerResources : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(module) << "cannot load the installer image"; }
    UniqueModule module = LoadInstallerImage();
};

TEST_F(InstallerResources, EveryResourceIsInUsEnglishOnly) {
    const struct { const wchar_t* type; WORD id; } resources[] = {
        {RT_BITMAP, 102}, {L"PNG", 201}, {L"PNG", 202}, {RT_GROUP_ICON, 101},
        {RT_ICON, 1}, {RT_VERSION, 1}, {RT_MANIFEST, 1}};
    for (const auto& resource : resources)
        EXPECT_EQ(Languages(module.get(), resource.type, resource.id), std::vector<WORD>{kUsEnglish})
            << "resource " << resource.id;
}

TEST_F(InstallerResources, BackgroundIsAnUncompressedBottomUp24BitBitmap) {
    const std::string_view bytes = ResourceBytes(module.get(), RT_BITMAP, 102, kUsEnglish);
    ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.biWidth, 560);
    EXPECT_EQ(header.biHeight, 310);  // positive: bottom-up
    EXPECT_EQ(header.biBitCount, 24);
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(bytes.size(), sizeof header + 560u * 3 * 310);
}

TEST_F(InstallerResources, ProgressBarImagesArePngs) {
    for (WORD id : {201, 202}) {
        const std::string_view bytes = ResourceBytes(module.get(), L"PNG", id, kUsEnglish);
        EXPECT_EQ(bytes.substr(0, 8), std::string_view("\x89PNG\r\n\x1a\n", 8)) << id;
    }
}

TEST_F(InstallerResources, IconGroupHoldsOne128PixelDibIcon) {
    const std::string_view group = ResourceBytes(module.get(), RT_GROUP_ICON, 101, kUsEnglish);
    ASSERT_EQ(group.size(), 6u + 14u);  // header and one 14-byte entry
    const auto* raw = reinterpret_cast<const unsigned char*>(group.data());
    EXPECT_EQ(raw[2] | raw[3] << 8, 1);  // type: icon
    EXPECT_EQ(raw[4] | raw[5] << 8, 1);  // count
    const unsigned char* entry = raw + 6;
    EXPECT_EQ(entry[0], 128);
    EXPECT_EQ(entry[1], 128);
    EXPECT_EQ(entry[6] | entry[7] << 8, 32);    // bits per pixel
    EXPECT_EQ(entry[12] | entry[13] << 8, 1);   // icon image id

    const std::string_view image = ResourceBytes(module.get(), RT_ICON, 1, kUsEnglish);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(header.biSize, sizeof header);  // a DIB, not PNG-compressed
    EXPECT_EQ(header.biWidth, 128);
    EXPECT_EQ(header.biHeight, 256);
    EXPECT_EQ(header.biBitCount, 32);
}

TEST_F(InstallerResources, ManifestOnlyAsksForAdministratorRights) {
    const std::string manifest(ResourceBytes(module.get(), RT_MANIFEST, 1, kUsEnglish));
    EXPECT_NE(manifest.find("manifestVersion=\"1.0\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    for (const char* absent : {"dpiAware", "dependency", "supportedOS", "dpiAwareness"})
        EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
}

std::wstring VersionString(const std::vector<char>& block, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return L"<missing>";
    return static_cast<const wchar_t*>(value);
}

TEST(InstallerVersion, FixedPartAndChineseStringTable) {
    const std::wstring path = InstallerPath();
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010003u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010003u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    const std::wstring displayName = L"tarvex \u6570\u636E\u6062\u590D";
    EXPECT_EQ(VersionString(block, L"FileDescription"), displayName);
    EXPECT_EQ(VersionString(block, L"ProductName"), displayName);
    EXPECT_EQ(VersionString(block, L"FileVersion"), L"1.3.1");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"1.3.1");
    for (const wchar_t* name : {L"CompanyName", L"LegalCopyright", L"InternalName", L"OriginalFilename"})
        EXPECT_NE(VersionString(block, name), L"<missing>") << name;

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 1200);
}

}  // namespace
