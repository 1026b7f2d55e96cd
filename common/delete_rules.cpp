#include "common/delete_rules.h"

bool IsHeldElsewhere(std::uint32_t error) {
    // A running image or a file open without delete sharing refuses delete
    // and replace with ERROR_ACCESS_DENIED.
    return error == kErrorSharingViolation || error == kErrorLockViolation || error == kErrorAccessDenied ||
           error == kErrorUserMappedFile;
}

bool MayBeNetworkPath(std::wstring_view fullPath) {
    if (fullPath.substr(0, 2) != L"\\\\") return false;
    // \\?\C:\ and \\.\C:\ are a drive's own files in long-path form; every
    // other device path (\\?\UNC\, a volume's GUID) is not known to be local.
    const bool devicePath =
        fullPath.size() >= 4 && (fullPath[2] == L'?' || fullPath[2] == L'.') && fullPath[3] == L'\\';
    const bool driveLetter =
        fullPath.size() >= 6 && fullPath[5] == L':' &&
        ((fullPath[4] >= L'A' && fullPath[4] <= L'Z') || (fullPath[4] >= L'a' && fullPath[4] <= L'z'));
    return !(devicePath && driveLetter);
}

DeleteOutcome DecideUndeleted(std::uint32_t error, bool mayBeRemote) {
    if (error == kErrorFileNotFound || error == kErrorPathNotFound) return DeleteOutcome::AlreadyGone;
    if (!IsHeldElsewhere(error)) return DeleteOutcome::Failed;
    return mayBeRemote ? DeleteOutcome::LeftOnShare : DeleteOutcome::AtRestart;
}
