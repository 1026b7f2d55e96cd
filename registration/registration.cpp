// Records our product in the registration file on every run.
//
// Threads: RegisterProduct runs on the UI thread while the window is being
// created. The install worker is already running then but never touches
// this file, so nothing here is shared.
#include "registration/registration.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

#include "common/handles.h"

namespace {

constexpr wchar_t kFolderName[] = L"\\.tarvex";
constexpr wchar_t kFileName[] = L"\\config.toml";
constexpr DWORD kReadChunkBytes = 64 * 1024;
// Sharing a C runtime open would grant: other programs may read and write
// meanwhile.
constexpr DWORD kReadSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Marks a rewrite in place would have kept; read-only is not among them,
// since a read-only file cannot be replaced anyway.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Deletes the file at `path` unless released once it has taken the real
// file's place. `path` must outlive the guard.
auto DeleteUnlessReleased(const std::wstring& path) {
    auto deleteFile = [](const wchar_t* name) { DeleteFileW(name); };
    return std::unique_ptr<const wchar_t, decltype(deleteFile)>(path.c_str(), deleteFile);
}

// Beside the real file, so the replace is a rename within one folder; the
// process id keeps two installers running at once apart.
std::wstring TemporaryPathFor(const std::wstring& path) {
    return path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

DWORD TemporaryAttributes(const std::wstring& path) {
    const DWORD old = GetFileAttributesW(path.c_str());
    const DWORD kept = old == INVALID_FILE_ATTRIBUTES ? 0 : old & kKeptAttributes;
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    bytes.clear();
    // Binary, not the C runtime's text mode, which would stop at a 0x1A byte
    // and lose every entry after it at the next rewrite.
    UniqueHandle file(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, kReadSharing, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    std::string chunk(kReadChunkBytes, '\0');
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk.data(), kReadChunkBytes, &read, nullptr)) return false;
        if (read == 0) return true;
        bytes.append(chunk, 0, read);
    }
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, MAXDWORD));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, wanted, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace

bool ReadRegistrationEntries(const std::wstring& path, std::vector<SoftwareEntry>& entries) {
    entries.clear();
    std::string bytes;
    if (!ReadFileBytes(path, bytes)) return false;
    std::istringstream text(CrLfToLf(bytes));
    entries = ParseRegistration(text);
    return true;
}

std::vector<SoftwareEntry> ReadRegistrationFile(const std::wstring& path) {
    std::vector<SoftwareEntry> entries;
    ReadRegistrationEntries(path, entries);
    return entries;
}

void WriteRegistrationFile(const std::wstring& path, const std::vector<SoftwareEntry>& entries) {
    std::ostringstream text;
    FormatRegistration(text, entries);
    const std::string bytes = LfToCrLf(text.str());

    const std::wstring temporaryPath = TemporaryPathFor(path);
    // Declared before the handle, so the file is closed before it is deleted.
    auto removeTemporary = DeleteUnlessReleased(temporaryPath);
    UniqueHandle file(NullIfInvalid(CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                TemporaryAttributes(path), nullptr)));
    if (!file) return;
    if (!WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) return;
    file.reset();  // an open file cannot be moved
    if (!MoveFileExW(temporaryPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    removeTemporary.release();
}

void RegisterProduct() {
    wchar_t profile[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) return;
    const std::wstring folder = std::wstring(profile) + kFolderName;
    // Both results are ignored: the folder usually exists, and when
    // something else stands there the read and the write below fail quietly.
    CreateDirectoryW(folder.c_str(), nullptr);
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN);

    const std::wstring path = folder + kFileName;
    std::vector<SoftwareEntry> entries;
    // Rewriting a file we could not read would drop what it holds.
    if (!ReadRegistrationEntries(path, entries)) return;
    MergeProduct(entries);
    WriteRegistrationFile(path, entries);
}
