#include "common/files.h"

#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND && kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
              kErrorAccessDenied == ERROR_ACCESS_DENIED && kErrorSharingViolation == ERROR_SHARING_VIOLATION &&
              kErrorLockViolation == ERROR_LOCK_VIOLATION && kErrorUserMappedFile == ERROR_USER_MAPPED_FILE);
static_assert(kDriveUnknown == DRIVE_UNKNOWN && kDriveNoRootDir == DRIVE_NO_ROOT_DIR &&
              kDriveRemovable == DRIVE_REMOVABLE && kDriveRemote == DRIVE_REMOTE);

namespace {

constexpr DWORD kLongPathUnits = 4 * MAX_PATH;
constexpr DWORD kDigestReadBytes = 64 * 1024;
using Sha256 = std::array<unsigned char, 32>;
// A scanner is usually done within the first pause; a longer hold is
// asked after about once a second.
constexpr DWORD kFirstPauseMs = 20;
constexpr DWORD kLongestPauseMs = 1000;
// Not in the Vista SDK headers: SetFileInformationByHandle's class and flags
// for a rename with POSIX semantics (Windows 10 1607 on).
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

bool IsReparsePoint(HANDLE object) {
    FILE_BASIC_INFO info{};
    return !GetFileInformationByHandleEx(object, FileBasicInfo, &info, sizeof info) ||
           (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

// Where the handle really leads, every link on the way resolved. In the
// system's own names, which every volume has, mounted in a folder or not.
std::wstring FinalPath(HANDLE object) {
    wchar_t final[kLongPathUnits];
    const DWORD length =
        GetFinalPathNameByHandleW(object, final, kLongPathUnits, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
    if (length == 0 || length >= kLongPathUnits) return {};
    return WithoutTrailingSeparator(std::wstring(final, length));
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The folder from which links count as planted: the user's profile when
// `full` lies below it, else the root of its volume. Links at or above it
// (a moved C:\Users, a profile on a volume mounted in a folder) only an
// administrator can make.
std::wstring AnchorOf(const std::wstring& full) {
    const std::wstring profile = ProfileFolder();
    if (!profile.empty()) {
        const std::wstring anchor = WithoutTrailingSeparator(FullPath(profile));
        if (full.size() > anchor.size() && full[anchor.size()] == L'\\' &&
            SamePath(full.substr(0, anchor.size()), anchor))
            return anchor;
    }
    wchar_t volume[kLongPathUnits];
    if (!GetVolumePathNameW(full.c_str(), volume, kLongPathUnits)) return {};
    return WithoutTrailingSeparator(FullPath(volume));
}

bool Sha256Of(HANDLE file, Sha256& digest) {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    UniqueAlgorithm algorithm(rawAlgorithm);
    // Windows allocates the hash object itself only from 7 on; Vista needs
    // it from us, for as long as the hash lives.
    DWORD objectBytes = 0;
    ULONG copied = 0;
    if (BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectBytes),
                          sizeof objectBytes, &copied, 0) != 0)
        return false;
    std::vector<UCHAR> hashObject(objectBytes);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (BCryptCreateHash(algorithm.get(), &rawHash, hashObject.data(), objectBytes, nullptr, 0, 0) != 0) return false;
    UniqueHash hash(rawHash);

    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    std::vector<unsigned char> buffer(kDigestReadBytes);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), kDigestReadBytes, &read, nullptr)) return false;
        if (read == 0) break;
        if (BCryptHashData(hash.get(), buffer.data(), read, 0) != 0) return false;
    }
    return BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
}

// `root` receives the volume's root, empty when it cannot be had: then the
// volume counts as Unknown.
Volume VolumeOf(const std::wstring& fullPath, std::wstring& root) {
    wchar_t volume[kLongPathUnits];
    root = GetVolumePathNameW(fullPath.c_str(), volume, kLongPathUnits) ? volume : L"";
    // The root as GetDriveTypeW wants it, with its trailing separator.
    const UINT type = root.empty() ? DRIVE_UNKNOWN : GetDriveTypeW(root.c_str());
    // The drive letter alone: QueryDosDeviceW takes no trailing separator,
    // and its first string is the letter's current mapping.
    const wchar_t drive[] = {DriveLetterOf(fullPath), L':', L'\0'};
    wchar_t mapping[kLongPathUnits] = L"";
    if (!drive[0] || !QueryDosDeviceW(drive, mapping, kLongPathUnits)) mapping[0] = L'\0';
    return ClassifyVolume(fullPath, type, mapping);
}

bool SetRename(HANDLE file, const std::wstring& path, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
    const std::size_t nameBytes = path.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    // The extended class reads a DWORD of flags where the plain one reads
    // ReplaceIfExists; 1 means replace in both.
    std::memcpy(rename, &flags, sizeof flags);
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, path.data(), nameBytes);
    return SetFileInformationByHandle(file, kind, rename, static_cast<DWORD>(buffer.size())) != FALSE;
}

}  // namespace

bool RetryWhileHeld(DWORD patienceMs, const std::function<bool()>& attempt, ULONGLONG* waitedMs) {
    bool done = attempt();
    const ULONGLONG firstFailure = GetTickCount64();
    ULONGLONG waited = 0;
    for (DWORD pauseMs = kFirstPauseMs; !done && IsHeldElsewhere(GetLastError()) && waited < patienceMs;
         pauseMs = std::min(2 * pauseMs, kLongestPauseMs)) {
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pauseMs, patienceMs - waited)));
        done = attempt();
        const DWORD error = GetLastError();
        waited = GetTickCount64() - firstFailure;
        SetLastError(error);
    }
    if (waitedMs) *waitedMs = waited;
    return done;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[kLongPathUnits];
    const DWORD fullLength = GetFullPathNameW(path.c_str(), kLongPathUnits, full, nullptr);
    if (fullLength == 0 || fullLength >= kLongPathUnits) return {};
    wchar_t longer[kLongPathUnits];
    const DWORD longLength = GetLongPathNameW(full, longer, kLongPathUnits);
    return longLength == 0 || longLength >= kLongPathUnits ? std::wstring(full) : std::wstring(longer);
}

std::wstring ProfileFolder() {
    wchar_t profile[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile))) return {};
    return profile;
}

bool IsUnredirected(HANDLE object, const std::wstring& path) {
    if (IsReparsePoint(object)) return false;
    const std::wstring full = FullPath(path);
    const std::wstring anchor = AnchorOf(full);
    if (anchor.empty()) return false;
    // Followed to wherever the administrator's links lead. "C:" alone would
    // be the drive's current folder, so a root keeps its separator here.
    UniqueHandle anchorFolder(
        NullIfInvalid(CreateFileW((anchor.size() == 2 ? anchor + L"\\" : anchor).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    const std::wstring anchorFinal = anchorFolder ? FinalPath(anchorFolder.get()) : std::wstring();
    // A link between there and here, or one that the file system does not
    // mark as such, shows as a final path other than the anchor's plus the
    // names asked for.
    return !anchorFinal.empty() && SamePath(FinalPath(object), anchorFinal + full.substr(anchor.size()));
}

UniqueHandle OpenUnredirected(const std::wstring& path, DWORD access, OpenOutcome& outcome) {
    // No FILE_SHARE_DELETE: while held, it cannot be moved away and a link
    // put in its place.
    UniqueHandle object;
    RetryWhileHeld(kBriefHoldMs, [&] {
        object.reset(NullIfInvalid(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | access,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
        return object != nullptr;
    });
    if (!object) {
        const DWORD error = GetLastError();
        outcome =
            error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OpenOutcome::Missing : OpenOutcome::Failed;
        return nullptr;
    }
    if (!IsUnredirected(object.get(), path)) {
        outcome = OpenOutcome::Redirected;
        return nullptr;
    }
    outcome = OpenOutcome::Opened;
    return object;
}

UniqueHandle CreateFresh(const std::wstring& path, DWORD access, DWORD share, DWORD attributes) {
    // A name that someone still holds stays taken, and CREATE_NEW fails then.
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return nullptr;
    return UniqueHandle(
        NullIfInvalid(CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, attributes, nullptr)));
}

bool MarkForDeletion(HANDLE file, bool deleteOnClose) {
    FILE_DISPOSITION_INFO disposition{deleteOnClose};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool RenameOpenFile(HANDLE file, const std::wstring& path) {
    // Older Windows, and file systems without POSIX semantics, refuse the
    // extended class: the plain rename follows.
    return RetryWhileHeld(kBriefHoldMs, [&] {
        return SetRename(file, path, kFileRenameInfoEx, kRenameReplaceIfExists | kRenamePosixSemantics) ||
               SetRename(file, path, FileRenameInfo, kRenameReplaceIfExists);
    });
}

bool WriteAll(HANDLE file, const void* bytes, std::size_t size) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, next, wanted, &written, nullptr) || written == 0) return false;
        next += written;
        size -= written;
    }
    return true;
}

UniqueHandle HoldUnchanged(UniqueHandle writer, const std::wstring& path) {
    Sha256 written{};
    if (!Sha256Of(writer.get(), written)) return nullptr;
    writer.reset();
    // Without FILE_SHARE_WRITE or FILE_SHARE_DELETE this open also fails
    // while anyone else still has the file open to change it.
    UniqueHandle held;
    RetryWhileHeld(kBriefHoldMs, [&] {
        held.reset(NullIfInvalid(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
        return held != nullptr;
    });
    Sha256 now{};
    if (!held || IsReparsePoint(held.get()) || !Sha256Of(held.get(), now) || now != written) return nullptr;
    return held;
}

DeleteOutcome DeleteWhenReleased(const std::wstring& path, DWORD patienceMs, ULONGLONG& waitedMs, std::string& where) {
    const auto deleteByName = [&] { return DeleteFileW(path.c_str()) != FALSE; };
    if (RetryWhileHeld(patienceMs, deleteByName, &waitedMs)) return DeleteOutcome::Deleted;
    const DWORD error = GetLastError();
    std::wstring root;
    const Volume volume = VolumeOf(path, root);
    where = DescribeVolume(volume, path, root);
    const DeleteOutcome outcome = DecideUndeleted(error, volume);
    SetLastError(error);  // for the caller to log when Failed
    if (outcome != DeleteOutcome::AtRestart) return outcome;
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? DeleteOutcome::AtRestart
                                                                           : DeleteOutcome::Failed;
}
