#include <gtest/gtest.h>

#include "common/delete_rules.h"

namespace {

TEST(UndeletedFile, GoneIsDoneHeldWaitsForRestartUnlessItMayBeOnAShareAnythingElseFails) {
    const struct {
        std::uint32_t error;
        bool mayBeRemote;
        DeleteOutcome expected;
    } cases[] = {
        {kErrorFileNotFound, false, DeleteOutcome::AlreadyGone},
        {kErrorPathNotFound, true, DeleteOutcome::AlreadyGone},
        {kErrorSharingViolation, false, DeleteOutcome::AtRestart},
        {kErrorAccessDenied, false, DeleteOutcome::AtRestart},  // a running image
        {kErrorLockViolation, false, DeleteOutcome::AtRestart},
        {kErrorUserMappedFile, false, DeleteOutcome::AtRestart},
        {kErrorSharingViolation, true, DeleteOutcome::LeftOnShare},
        {kErrorAccessDenied, true, DeleteOutcome::LeftOnShare},
        {kErrorUserMappedFile, true, DeleteOutcome::LeftOnShare},
        {19, false, DeleteOutcome::Failed},  // write-protected
        {53, true, DeleteOutcome::Failed},   // the network path is gone
        {0, false, DeleteOutcome::Failed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecideUndeleted(c.error, c.mayBeRemote), c.expected) << c.error << " " << c.mayBeRemote;
}

TEST(NetworkPath, UncInEveryFormAndDevicePathsWithoutADriveLetterMayBeRemote) {
    for (const wchar_t* path :
         {L"\\\\server\\share\\Downloads\\tarvex-setup.exe", L"\\\\?\\UNC\\server\\share\\a.exe",
          L"\\\\.\\UNC\\server\\share\\a.exe", L"\\\\?\\Volume{0b1c}\\a.exe", L"\\\\?\\1:\\a.exe", L"\\\\server"})
        EXPECT_TRUE(MayBeNetworkPath(path)) << path;
    for (const wchar_t* path : {L"C:\\Users\\张三\\Downloads\\tarvex-setup.exe", L"\\\\?\\C:\\Users\\a.exe",
                                L"\\\\.\\d:\\a.exe", L"Z:\\a.exe", L"\\a.exe", L""})
        EXPECT_FALSE(MayBeNetworkPath(path)) << path;
}

}  // namespace
