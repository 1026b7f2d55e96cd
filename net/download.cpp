#include "net/download.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>

#include "common/files.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/text.h"
#include "net/download_rules.h"
#include "net/url.h"

namespace {

constexpr wchar_t kUserAgent[] = L"TarvexInstaller/1.0";
constexpr int kTimeoutMs = 30000;
constexpr DWORD kChunkBytes = 8192;
// Location values of up to 2047 UTF-16 units; longer ones are not followed.
constexpr DWORD kLocationUnits = 2048;
constexpr DWORD kContentLengthUnits = 32;

// `code`: GetLastError right after the call that failed, or 0 where no
// Windows call failed.
bool Fail(std::string& error, std::string text, DWORD code = 0) {
    if (code != 0)
        Log("download failed: %s (error %lu)", text.c_str(), code);
    else
        Log("download failed: %s", text.c_str());
    error = std::move(text);
    return false;
}

DWORD QueryStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

// The header's text up to its first NUL; false when it is missing or does
// not fit in `units` UTF-16 units with its NUL.
bool QueryHeaderText(HINTERNET request, DWORD query, DWORD units, std::wstring& text) {
    std::wstring buffer(units, L'\0');
    DWORD size = units * sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    text.assign(buffer.c_str());
    return true;
}

bool QueryLocation(HINTERNET request, std::string& location) {
    std::wstring text;
    if (!QueryHeaderText(request, WINHTTP_QUERY_LOCATION, kLocationUnits, text)) return false;
    location = WideToUtf8(text);
    return true;
}

// Read as text, not as a 32-bit number, so lengths above 4 GiB come out
// right on every Windows version.
bool QueryContentLength(HINTERNET request, std::uint64_t& length) {
    std::wstring text;
    return QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH, kContentLengthUnits, text) &&
           ParseContentLength(text, length);
}

bool ReceiveBody(HINTERNET request, const std::wstring& path, std::string& error, const ProgressCallback& onProgress,
                 UniqueHandle* heldFile) {
    BodyOutcome outcome;
    outcome.lengthAnnounced = QueryContentLength(request, outcome.announcedLength);
    if (outcome.lengthAnnounced)
        Log("announced length %llu bytes", static_cast<unsigned long long>(outcome.announcedLength));
    else
        Log("no length announced");

    // Nobody else may write, rename or delete it while it is written, and
    // until it is whole it goes with its last handle, however the run ends.
    UniqueHandle file = CreateFresh(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ);
    if (!file || !MarkForDeletion(file.get(), true)) return Fail(error, kCreateFileFailed, GetLastError());

    char buffer[kChunkBytes];
    DWORD failureCode = 0;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer, kChunkBytes, &read)) {
            failureCode = GetLastError();
            outcome.readFailed = true;
            break;
        }
        if (read == 0) break;
        if (!WriteAll(file.get(), buffer, read)) {
            failureCode = GetLastError();
            outcome.writeFailed = true;
            break;
        }
        outcome.receivedLength += read;
        if (onProgress) onProgress(outcome.receivedLength, outcome.announcedLength);
    }
    Log("received %llu bytes", static_cast<unsigned long long>(outcome.receivedLength));
    // A broken file must never be taken for the whole program: closing the
    // handle removes it.
    if (const char* failure = BodyFailureText(outcome)) return Fail(error, failure, failureCode);
    if (!MarkForDeletion(file.get(), false)) return Fail(error, kCloseFailed, GetLastError());
    if (heldFile) *heldFile = HoldUnchanged(std::move(file), path);
    return true;
}

}  // namespace

bool DownloadFile(const std::string& url, const std::wstring& savePath, std::string& error, ProgressCallback onProgress,
                  UniqueHandle* heldFile) {
    std::string workingUrl = url;
    for (int redirectsFollowed = 0;; ++redirectsFollowed) {
        std::wstring host, path;
        int port = 0;
        Log("GET %s", workingUrl.c_str());
        if (!ParseHttpsUrl(workingUrl, host, port, path)) return Fail(error, kUrlParseFailed);

        // A new session, connection and request per attempt; declared in this
        // order so they close as request, connection, session on every path.
        UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) return Fail(error, kOpenFailed, GetLastError());
        WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
        UniqueInternet connection(WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
        if (!connection) return Fail(error, kConnectFailed, GetLastError());
        UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
        if (!request) return Fail(error, kOpenRequestFailed, GetLastError());
        if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
            return Fail(error, kSendFailed, GetLastError());
        if (!WinHttpReceiveResponse(request.get(), nullptr)) return Fail(error, kReceiveFailed, GetLastError());

        const DWORD status = QueryStatus(request.get());
        Log("status %lu", status);
        std::string location;
        const bool hasLocation = IsRedirectStatus(status) && QueryLocation(request.get(), location);
        const ResponseDecision decision = DecideResponse(status, hasLocation ? &location : nullptr, redirectsFollowed);
        switch (decision.action) {
            case ResponseAction::FollowRedirect:
                workingUrl = std::move(location);
                continue;
            case ResponseAction::Fail:
                return Fail(error, decision.error);
            case ResponseAction::ReadBody:
                return ReceiveBody(request.get(), savePath, error, onProgress, heldFile);
        }
    }
}
