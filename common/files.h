// Files in folders that the user owns, handled the way an elevated process
// must: by handle, never through a junction or symbolic link, never a file
// that someone else may still write, and removed through the handle that
// made them rather than by name.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

#include "common/delete_rules.h"
#include "common/handles.h"

enum class OpenOutcome { Opened, Missing, Redirected, Failed };

// Other programs open our files for a moment: antivirus and sync clients
// just after we close one, another product reading config.toml. This long
// we wait for them.
constexpr DWORD kBriefHoldMs = 5000;

// The one rule for waiting on a file that someone else holds: tries
// `attempt` again, with pauses that grow to a second, while it fails only
// because the file is held, until `patienceMs` have passed since the first
// failure. Returns the last try's result, its error left for GetLastError.
// `waitedMs`, if given, is how long it waited: 0 when the first try did it.
bool RetryWhileHeld(DWORD patienceMs, const std::function<bool()>& attempt, ULONGLONG* waitedMs = nullptr);

// The signed-in user's profile folder, empty when it has none.
std::wstring ProfileFolder();

// `path` made full against the current directory, with long names, as the
// file system would report it; empty when it cannot be made.
std::wstring FullPath(const std::wstring& path);

// Whether the open file or folder at `path` is where the path says, as far
// as a program of the user could have changed that: it is no junction or
// symbolic link, nor is one between it and the user's profile folder (or
// the volume's root, outside the profile). Links at or above the profile,
// such as a C:\Users moved to another drive, are followed: only an
// administrator can make them.
bool IsUnredirected(HANDLE object, const std::wstring& path);

// Opens what stands at `path` (a folder or a file) without following a
// link, held so that nobody can rename or delete it meanwhile; waits a
// moment for a program that holds it. Redirected when it is not where the
// path says (see IsUnredirected).
UniqueHandle OpenUnredirected(const std::wstring& path, DWORD access, OpenOutcome& outcome);

// A new, empty file at `path` in place of whatever file or link was there:
// never one opened or truncated in place. Null when the name cannot be
// freed or the file cannot be created.
UniqueHandle CreateFresh(const std::wstring& path, DWORD access, DWORD share, DWORD attributes = FILE_ATTRIBUTE_NORMAL);

// Sets or clears the mark that deletes the open file when its last handle
// closes, however the process ends. The handle needs DELETE access.
bool MarkForDeletion(HANDLE file, bool deleteOnClose);

// Renames the open file to the full path `path`, replacing a file there (a
// link there is replaced, not followed), and waits a moment while the old
// file is held. Where Windows can (10 1607 on), a reader that shares delete
// access keeps its handle to the old file rather than blocking the rename.
// The handle needs DELETE access.
bool RenameOpenFile(HANDLE file, const std::wstring& path);

bool WriteAll(HANDLE file, const void* bytes, std::size_t size);

// Trades the writer's handle of the file at `path` for one that lets others
// read and run it but not write, rename or delete it, and checks that the
// file is still the one written. The held handle has read access alone:
// setup programs open their own exe to unpack it with FILE_SHARE_READ only,
// which fails while any other handle has write or delete access. A program
// cannot be started while a handle with write access is open, so the two
// handles cannot overlap: the check covers the moment between them. Null
// when the file cannot be held so; the writer needs GENERIC_READ. An
// antivirus that opens the new file as it is closed is waited for a moment.
UniqueHandle HoldUnchanged(UniqueHandle writer, const std::wstring& path);

// Deletes the file at the full path `path`. While programs still run or
// hold it, tries again for up to `patienceMs`, then leaves it to Windows to
// delete at the next restart, which takes administrator rights; only on a
// fixed drive that is not a subst (DecideUndeleted). Failed says why
// through GetLastError; `waitedMs` is as for RetryWhileHeld; `where`, when
// it was not deleted, names the kind of volume (DescribeVolume).
DeleteOutcome DeleteWhenReleased(const std::wstring& path, DWORD patienceMs, ULONGLONG& waitedMs, std::string& where);
