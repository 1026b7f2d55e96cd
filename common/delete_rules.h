// What becomes of a file that is to be deleted once nothing holds it: the
// decisions that need no Windows call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The Windows error codes these decisions read, as winerror.h has them.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorUserMappedFile = 1224;

// GetDriveTypeW's answers they read, as winbase.h has them.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveRemote = 4;

// Where a file lies, as far as a delete at the next restart goes: Windows
// makes it early in start-up, by the path as named now. A share is not
// connected yet then, a subst drive exists only in the session that made
// it, and a removable drive may have another letter or none. Unknown: a
// volume that could not be told, which counts as one of those.
enum class Volume { Fixed, Share, Substituted, Removable, Unknown };

// AlreadyGone: someone else removed it first. AtRestart: to be left to
// Windows to delete at the next restart. LeftInPlace: still held when
// patience ran out, on a volume where Windows cannot delete it at restart.
enum class DeleteOutcome { Deleted, AlreadyGone, AtRestart, LeftInPlace, Failed };

// Whether a call failed only because someone else has the file open, or
// runs it.
bool IsHeldElsewhere(std::uint32_t error);

// Whether the full path may lead over the network: a UNC path, in long-path
// form too, or a device path that names no drive letter.
bool MayBeNetworkPath(std::wstring_view fullPath);

// The full path's drive letter, upper-case, in long-path form too; 0 when
// it names none.
wchar_t DriveLetterOf(std::wstring_view fullPath);

// The volume of `fullPath`, from GetDriveTypeW's answer for its volume's
// root (kDriveUnknown when there is no root) and QueryDosDeviceW's current
// mapping of its drive letter (a subst drive's is "\??\" and a folder;
// empty when there is no letter or the call failed).
Volume ClassifyVolume(std::wstring_view fullPath, std::uint32_t driveType, std::wstring_view dosDevice);

// The volume for the log, by its kind and drive letter and never by a
// folder, which may hold the user's name: "removable drive E:".
// `volumeRoot`: GetVolumePathNameW's answer, empty if it failed.
std::string DescribeVolume(Volume volume, std::wstring_view fullPath, std::wstring_view volumeRoot);

// For a file whose delete still failed with `error` when patience ran out.
DeleteOutcome DecideUndeleted(std::uint32_t error, Volume volume);
