// Records our product in the registration file on every run.
//
// Threads: RegisterProduct runs on the UI thread while the window is being
// created. The install worker is already running then but never touches
// this file, so nothing here is shared.
#include "registration/registration.h"

#include <windows.h>

#include <sstream>
#include <string>

#include "common/files.h"
#include "common/handles.h"
#include "common/log.h"

namespace {

constexpr wchar_t kFolderName[] = L"\\.tarvex";
constexpr wchar_t kFileName[] = L"\\config.toml";
constexpr DWORD kReadChunkBytes = 64 * 1024;
// Marks a rewrite in place would have kept; read-only is not among them,
// since a read-only file cannot be replaced anyway.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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

// Binary, not the C runtime's text mode, which would stop at a 0x1A byte and
// lose every entry after it at the next rewrite.
bool ReadAll(HANDLE file, std::string& bytes) {
    std::string chunk(kReadChunkBytes, '\0');
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.data(), kReadChunkBytes, &read, nullptr)) return false;
        if (read == 0) return true;
        bytes.append(chunk, 0, read);
    }
}

bool SetAttributes(HANDLE object, DWORD attributes) {
    FILE_BASIC_INFO info{};  // times of 0 stay as they are
    info.FileAttributes = attributes;
    return SetFileInformationByHandle(object, FileBasicInfo, &info, sizeof info) != FALSE;
}

}  // namespace

RegistrationRead ReadRegistration(const std::wstring& path, std::vector<SoftwareEntry>& entries) {
    entries.clear();
    OpenOutcome outcome;
    UniqueHandle file = OpenUnredirected(path, GENERIC_READ, outcome);
    if (outcome == OpenOutcome::Missing) return RegistrationRead::Missing;
    if (outcome == OpenOutcome::Redirected) return RegistrationRead::Redirected;
    std::string bytes;
    if (!file || !ReadAll(file.get(), bytes)) return RegistrationRead::Unreadable;
    std::istringstream text(CrLfToLf(bytes));
    entries = ParseRegistration(text);
    return RegistrationRead::Read;
}

std::vector<SoftwareEntry> ReadRegistrationFile(const std::wstring& path) {
    std::vector<SoftwareEntry> entries;
    ReadRegistration(path, entries);
    return entries;
}

bool WriteRegistrationFile(const std::wstring& path, const std::vector<SoftwareEntry>& entries) {
    std::ostringstream text;
    FormatRegistration(text, entries);
    const std::string bytes = LfToCrLf(text.str());

    // New, never one that someone else made for us, and until it has taken
    // the real file's place it goes with its handle, however the run ends.
    const std::wstring temporaryPath = TemporaryPathFor(path);
    UniqueHandle file(NullIfInvalid(CreateFileW(temporaryPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                                TemporaryAttributes(path), nullptr)));
    if (!file || !MarkForDeletion(file.get(), true) || !IsUnredirected(file.get(), temporaryPath)) return false;
    if (!WriteAll(file.get(), bytes.data(), bytes.size()) || !FlushFileBuffers(file.get())) return false;
    if (!MarkForDeletion(file.get(), false)) return false;
    if (RenameOpenFile(file.get(), path)) return true;
    MarkForDeletion(file.get(), true);
    return false;
}

const char* UpdateRegistration() {
    const std::wstring profile = ProfileFolder();
    if (profile.empty()) return "no profile folder";
    const std::wstring folderPath = profile + kFolderName;
    // The result is ignored: the folder usually exists already.
    CreateDirectoryW(folderPath.c_str(), nullptr);

    // Held until we are done, so that nobody can swap it for a link meanwhile.
    OpenOutcome outcome;
    const UniqueHandle folder = OpenUnredirected(folderPath, FILE_WRITE_ATTRIBUTES, outcome);
    if (outcome == OpenOutcome::Redirected) return ".tarvex is a junction or symbolic link";
    if (!folder) return ".tarvex cannot be opened";
    // Hidden alone, on every run; through the handle, so that a link put
    // there later cannot pass the mark on.
    SetAttributes(folder.get(), FILE_ATTRIBUTE_HIDDEN);

    const std::wstring path = folderPath + kFileName;
    std::vector<SoftwareEntry> entries;
    switch (ReadRegistration(path, entries)) {
        case RegistrationRead::Redirected:
            return "config.toml is a junction or symbolic link";
        case RegistrationRead::Unreadable:
            // Rewriting a file we could not read would drop what it holds.
            return "config.toml cannot be read";
        case RegistrationRead::Read:
        case RegistrationRead::Missing:
            break;
    }
    MergeProduct(entries);
    return WriteRegistrationFile(path, entries) ? nullptr : "config.toml cannot be replaced";
}

void RegisterProduct() {
    if (const char* skipped = UpdateRegistration())
        Log("registration skipped: %s", skipped);
    else
        Log("registration written");
}
