// What becomes of a file that is to be deleted once nothing holds it: the
// decisions that need no Windows call.
#pragma once

#include <cstdint>
#include <string_view>

// The Windows error codes these decisions read, as winerror.h has them.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorUserMappedFile = 1224;

// AlreadyGone: someone else removed it first. AtRestart: to be left to
// Windows to delete at the next restart. LeftOnShare: still held when
// patience ran out, on a network share (or where that cannot be ruled
// out), where Windows cannot delete at restart: delayed operations run
// before the network is up.
enum class DeleteOutcome { Deleted, AlreadyGone, AtRestart, LeftOnShare, Failed };

// Whether a call failed only because someone else has the file open, or
// runs it.
bool IsHeldElsewhere(std::uint32_t error);

// Whether the full path may lead over the network: a UNC path, in long-path
// form too, or a device path that names no drive letter.
bool MayBeNetworkPath(std::wstring_view fullPath);

// For a file whose delete still failed with `error` when patience ran out;
// `mayBeRemote` when it is on a share or its volume could not be told.
DeleteOutcome DecideUndeleted(std::uint32_t error, bool mayBeRemote);
