#include "common/delete_rules.h"

bool IsHeldElsewhere(std::uint32_t error) {
    // A running image or a file open without delete sharing refuses delete
    // and replace with ERROR_ACCESS_DENIED.
    return error == kErrorSharingViolation || error == kErrorLockViolation || error == kErrorAccessDenied ||
           error == kErrorUserMappedFile;
}

namespace {

bool IsLetterAt(std::wstring_view path, std::size_t at) {
    return path.size() > at + 1 && path[at + 1] == L':' &&
           ((path[at] >= L'A' && path[at] <= L'Z') || (path[at] >= L'a' && path[at] <= L'z'));
}

}  // namespace

bool MayBeNetworkPath(std::wstring_view fullPath) {
    if (fullPath.substr(0, 2) != L"\\\\") return false;
    // \\?\C:\ and \\.\C:\ are a drive's own files in long-path form; every
    // other device path (\\?\UNC\, a volume's GUID) is not known to be local.
    const bool devicePath =
        fullPath.size() >= 4 && (fullPath[2] == L'?' || fullPath[2] == L'.') && fullPath[3] == L'\\';
    return !(devicePath && IsLetterAt(fullPath, 4));
}

wchar_t DriveLetterOf(std::wstring_view fullPath) {
    std::size_t at = 0;
    if (fullPath.substr(0, 2) == L"\\\\") {
        if (MayBeNetworkPath(fullPath)) return 0;
        at = 4;  // \\?\C:
    }
    if (!IsLetterAt(fullPath, at)) return 0;
    const wchar_t letter = fullPath[at];
    return letter >= L'a' ? static_cast<wchar_t>(letter - L'a' + L'A') : letter;
}

Volume ClassifyVolume(std::wstring_view fullPath, std::uint32_t driveType, std::wstring_view dosDevice) {
    if (MayBeNetworkPath(fullPath) || driveType == kDriveRemote) return Volume::Share;
    if (driveType == kDriveUnknown || driveType == kDriveNoRootDir || dosDevice.empty()) return Volume::Unknown;
    if (dosDevice.substr(0, 4) == L"\\??\\") return Volume::Substituted;
    if (driveType == kDriveRemovable) return Volume::Removable;
    return Volume::Fixed;
}

std::string DescribeVolume(Volume volume, std::wstring_view fullPath, std::wstring_view volumeRoot) {
    const auto drive = [](const char* kind, wchar_t letter) {
        return std::string(kind) + " drive " + static_cast<char>(letter) + ":";
    };
    switch (volume) {
        case Volume::Share:
            return "a network share";
        case Volume::Substituted:
            return drive("substituted", DriveLetterOf(fullPath));
        case Volume::Removable:
            // Mounted in a folder, it has no letter of its own.
            if (volumeRoot.size() == 3 && DriveLetterOf(volumeRoot))
                return drive("removable", DriveLetterOf(volumeRoot));
            return "a removable drive mounted in a folder";
        case Volume::Fixed:
            return "a fixed drive";
        case Volume::Unknown:
            break;
    }
    return "a volume that could not be told";
}

DeleteOutcome DecideUndeleted(std::uint32_t error, Volume volume) {
    if (error == kErrorFileNotFound || error == kErrorPathNotFound) return DeleteOutcome::AlreadyGone;
    if (!IsHeldElsewhere(error)) return DeleteOutcome::Failed;
    return volume == Volume::Fixed ? DeleteOutcome::AtRestart : DeleteOutcome::LeftInPlace;
}
