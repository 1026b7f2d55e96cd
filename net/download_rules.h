// The download client's decisions that need no WinHTTP: what to do with a
// response, whether a body arrived whole, and the fixed error texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char kUrlParseFailed[] = "URL parse failed";
inline constexpr char kOpenFailed[] = "WinHttpOpen failed";
inline constexpr char kConnectFailed[] = "WinHttpConnect failed";
inline constexpr char kOpenRequestFailed[] = "WinHttpOpenRequest failed";
inline constexpr char kSendFailed[] = "WinHttpSendRequest failed";
inline constexpr char kReceiveFailed[] = "WinHttpReceiveResponse failed";
inline constexpr char kTooManyRedirects[] = "Too many redirects";
inline constexpr char kStatusNotOk[] = "HTTP status not OK: ";
inline constexpr char kCreateFileFailed[] = "failed to create save file";
inline constexpr char kReadFailed[] = "WinHttpReadData failed";
inline constexpr char kWriteFailed[] = "failed to write save file";
inline constexpr char kCloseFailed[] = "failed to close save file";  // the whole file could not be kept
inline constexpr char kBodyIncomplete[] = "response body length differs from Content-Length";

// Requests one download may make, redirects included.
inline constexpr int kMaxRequests = 3;

enum class ResponseAction { FollowRedirect, ReadBody, Fail };

struct ResponseDecision {
    ResponseAction action;
    std::string error;  // set when action is Fail
};

bool IsRedirectStatus(std::uint32_t status);
std::string StatusNotOkText(std::uint32_t status);

// `location` is null when the response carries no usable Location header;
// `redirectsFollowed` counts the redirect responses of this download so far.
ResponseDecision DecideResponse(std::uint32_t status, const std::string* location, int redirectsFollowed);

// Content-Length as the server sent it: decimal digits, any size up to
// 2^64 - 1. False for anything else (treated as no length announced).
bool ParseContentLength(std::wstring_view header, std::uint64_t& length);

struct BodyOutcome {
    bool readFailed = false;
    bool writeFailed = false;
    bool lengthAnnounced = false;
    std::uint64_t announcedLength = 0;
    std::uint64_t receivedLength = 0;
};

// Null when the body arrived whole and the file holds it; else the error text.
const char* BodyFailureText(const BodyOutcome& outcome);
