#include <gtest/gtest.h>

#include "net/download_rules.h"

namespace {

const std::string kTarget = "https://h/next";

TEST(ResponseDecision, OnlyStatus200ReadsTheBody) {
    EXPECT_EQ(DecideResponse(200, nullptr, 0).action, ResponseAction::ReadBody);
    for (std::uint32_t status : {0u, 204u, 206u, 304u, 404u, 500u}) {
        const ResponseDecision decision = DecideResponse(status, nullptr, 0);
        EXPECT_EQ(decision.action, ResponseAction::Fail) << status;
        EXPECT_EQ(decision.error, "HTTP status not OK: " + std::to_string(status));
    }
}

TEST(ResponseDecision, RedirectStatusesWithALocationAreFollowed) {
    for (std::uint32_t status : {301u, 302u, 303u, 307u, 308u})
        EXPECT_EQ(DecideResponse(status, &kTarget, 0).action, ResponseAction::FollowRedirect) << status;
    // Other 3xx codes are not redirects to this client.
    EXPECT_EQ(DecideResponse(300, &kTarget, 0).error, "HTTP status not OK: 300");
    EXPECT_EQ(DecideResponse(305, &kTarget, 0).error, "HTTP status not OK: 305");
}

TEST(ResponseDecision, ARedirectWithoutUsableLocationIsABadStatus) {
    EXPECT_EQ(DecideResponse(302, nullptr, 0).error, "HTTP status not OK: 302");
    // Even where a third redirect would have been one too many.
    EXPECT_EQ(DecideResponse(301, nullptr, 2).error, "HTTP status not OK: 301");
}

TEST(ResponseDecision, AtMostThreeRequestsPerDownload) {
    // Walks a download whose every response redirects.
    int redirects = 0;
    int requests = 0;
    ResponseDecision decision{ResponseAction::FollowRedirect, {}};
    while (decision.action == ResponseAction::FollowRedirect) {
        ++requests;
        decision = DecideResponse(302, &kTarget, redirects++);
    }
    EXPECT_EQ(requests, 3);
    EXPECT_EQ(decision.action, ResponseAction::Fail);
    EXPECT_EQ(decision.error, "Too many redirects");
    // Two redirects and then a 200 succeed.
    EXPECT_EQ(DecideResponse(200, nullptr, 2).action, ResponseAction::ReadBody);
}

TEST(StatusText, DecimalWithoutPadding) {
    EXPECT_EQ(StatusNotOkText(0), "HTTP status not OK: 0");
    EXPECT_EQ(StatusNotOkText(4294967295u), "HTTP status not OK: 4294967295");
}

TEST(ContentLength, DecimalUpTo64Bits) {
    std::uint64_t length = 7;
    EXPECT_TRUE(ParseContentLength(L"0", length));
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(ParseContentLength(L"5368709120", length));  // 5 GiB
    EXPECT_EQ(length, 5368709120u);
    EXPECT_TRUE(ParseContentLength(L"18446744073709551615", length));
    EXPECT_EQ(length, 18446744073709551615u);
}

TEST(ContentLength, AnythingElseIsNoLength) {
    std::uint64_t length = 7;
    for (const wchar_t* text : {L"", L"18446744073709551616", L"-1", L"12a", L" 12", L"1,2"})
        EXPECT_FALSE(ParseContentLength(text, length)) << text;
    EXPECT_EQ(length, 7u);
}

TEST(BodyOutcome, WholeBodiesSucceed) {
    EXPECT_EQ(BodyFailureText({false, false, true, 20000, 20000}), nullptr);
    EXPECT_EQ(BodyFailureText({false, false, true, 0, 0}), nullptr);
    EXPECT_EQ(BodyFailureText({false, false, false, 0, 12345}), nullptr);  // no length announced
}

TEST(BodyOutcome, EachFailureHasItsOwnText) {
    EXPECT_STREQ(BodyFailureText({false, false, true, 20000, 8192}), kBodyIncomplete);
    EXPECT_STREQ(BodyFailureText({true, false, true, 20000, 8192}), kReadFailed);
    EXPECT_STREQ(BodyFailureText({true, false, false, 0, 8192}), kReadFailed);
    EXPECT_STREQ(BodyFailureText({false, true, true, 20000, 20000}), kWriteFailed);
    // Counts past 4 GiB are compared whole, not modulo 2^32.
    EXPECT_STREQ(BodyFailureText({false, false, true, (1ull << 32) + 5, 5}), kBodyIncomplete);
}

}  // namespace
