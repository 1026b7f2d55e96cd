// One HTTPS GET of a URL into a file, with progress reports.
#pragma once

#include <string>

#include "common/handles.h"
#include "progress/progress_state.h"

// Fetches `url` into `savePath`, a full path: a relative one would depend on
// the current directory, which any thread may change. Redirect responses
// that reach the client are followed through their Location, at most three requests in all; only status 200 is
// accepted. An older file at `savePath` is replaced by a new one, never
// written in place. On failure returns false, puts one fixed English text in
// `error` and leaves no file of its own behind, however the process ends; on
// success `error` is untouched. `onProgress` (may be empty) gets (received,
// announced length or 0) after every chunk written.
// With `heldFile`, a successful download hands over the saved file held so
// that others may read and run it but not change, rename or delete it; null
// when it could not be held unchanged (HoldUnchanged).
bool DownloadFile(const std::string& url, const std::wstring& savePath, std::string& error, ProgressCallback onProgress,
                  UniqueHandle* heldFile = nullptr);
