#include <gtest/gtest.h>

#include "common/delete_rules.h"

namespace {

TEST(UndeletedFile, GoneIsDoneHeldWaitsForRestartOnlyOnAFixedDriveAnythingElseFails) {
    const struct {
        std::uint32_t error;
        Volume volume;
        DeleteOutcome expected;
    } cases[] = {
        {kErrorFileNotFound, Volume::Fixed, DeleteOutcome::AlreadyGone},
        {kErrorPathNotFound, Volume::Share, DeleteOutcome::AlreadyGone},
        {kErrorSharingViolation, Volume::Fixed, DeleteOutcome::AtRestart},
        {kErrorAccessDenied, Volume::Fixed, DeleteOutcome::AtRestart},  // a running image
        {kErrorLockViolation, Volume::Fixed, DeleteOutcome::AtRestart},
        {kErrorUserMappedFile, Volume::Fixed, DeleteOutcome::AtRestart},
        {kErrorSharingViolation, Volume::Share, DeleteOutcome::LeftInPlace},
        {kErrorAccessDenied, Volume::Substituted, DeleteOutcome::LeftInPlace},
        {kErrorUserMappedFile, Volume::Removable, DeleteOutcome::LeftInPlace},
        {kErrorLockViolation, Volume::Unknown, DeleteOutcome::LeftInPlace},
        {19, Volume::Fixed, DeleteOutcome::Failed},  // write-protected
        {53, Volume::Share, DeleteOutcome::Failed},  // the network path is gone
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecideUndeleted(c.error, c.volume), c.expected) << c.error << " " << static_cast<int>(c.volume);
}

TEST(NetworkPath, UncInEveryFormAndDevicePathsWithoutADriveLetterMayBeRemote) {
    for (const wchar_t* path :
         {L"\\\\server\\share\\Downloads\\tarvex-setup.exe", L"\\\\?\\UNC\\server\\share\\a.exe",
          L"\\\\.\\UNC\\server\\share\\a.exe", L"\\\\?\\Volume{0b1c}\\a.exe", L"\\\\?\\1:\\a.exe", L"\\\\server"})
        EXPECT_TRUE(MayBeNetworkPath(path) && !DriveLetterOf(path)) << path;
    for (const wchar_t* path : {L"C:\\Users\\张三\\Downloads\\tarvex-setup.exe", L"\\\\?\\C:\\Users\\a.exe",
                                L"\\\\.\\d:\\a.exe", L"Z:\\a.exe", L"\\a.exe", L""})
        EXPECT_FALSE(MayBeNetworkPath(path)) << path;
}

// From what Windows says of the volume; the log names it by kind and letter, never by a folder.
TEST(Volume, OnlyAFixedDriveOfItsOwnKeepsARestartDeleteSharesSubstAndRemovableDrivesAndTheUntoldDoNot) {
    const struct {
        const wchar_t *path, *dosDevice, *root;
        std::uint32_t driveType;
        Volume expected;
        const char* described;
    } cases[] = {
        {L"\\\\?\\c:\\Users\\张三\\a.exe", L"\\Device\\HarddiskVolume3", L"C:\\", 3, Volume::Fixed, "a fixed drive"},
        {L"s:\\a.exe", L"\\??\\C:\\Users\\张三\\Downloads", L"S:\\", 3, Volume::Substituted, "substituted drive S:"},
        {L"E:\\a.exe", L"\\Device\\HarddiskVolume7", L"e:\\", 2, Volume::Removable, "removable drive E:"},
        {L"C:\\usb\\a.exe", L"\\Device\\HarddiskVolume3", L"C:\\usb\\", 2, Volume::Removable,
         "a removable drive mounted in a folder"},
        {L"Z:\\a.exe", L"\\Device\\LanmanRedirector\\;Z:0\\srv\\share", L"Z:\\", 4, Volume::Share, "a network share"},
        {L"\\\\srv\\share\\a.exe", L"", L"\\\\srv\\share\\", 3, Volume::Share, "a network share"},
        {L"C:\\a.exe", L"\\Device\\HarddiskVolume3", L"", 0, Volume::Unknown, "a volume that could not be told"},
        {L"C:\\a.exe", L"", L"C:\\", 3, Volume::Unknown, "a volume that could not be told"},  // no mapping
    };
    for (const auto& c : cases) {
        const Volume volume = ClassifyVolume(c.path, c.driveType, c.dosDevice);
        EXPECT_EQ(volume, c.expected) << c.path;
        EXPECT_EQ(DescribeVolume(volume, c.path, c.root), c.described) << c.path;
    }
}

}  // namespace
