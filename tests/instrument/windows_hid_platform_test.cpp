#include "instrument/windows_hid_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <thread>

#include "instrument/usb.h"

namespace tavex {
namespace {

using Result = HidDeviceLock::Result;

// TryLock on a thread of its own: a mutex taken twice by one thread is simply taken again.
Result TryLockElsewhere(HidDeviceLock& lock, bool release) {
    Result result = Result::kFailed;
    std::thread([&] {
        result = lock.TryLock();
        if (release && result == Result::kHeld) lock.Unlock();
    }).join();
    return result;
}

// Wine's HID stack has a couple of virtual devices and no meter: the library loads, the list
// is built, none of it is the meter, and every failure is a plain failure.
TEST(WindowsHidPlatform, WorksOnTheSystemsHidStackWithoutAMeter) {
    auto platform = MakeWindowsHidPlatform();
    // Nothing works before the library is loaded, and nothing crashes.
    EXPECT_FALSE(platform->ListInterfaces().has_value());
    EXPECT_EQ(platform->Open("\\\\?\\hid#nothing"), nullptr);

    ASSERT_TRUE(platform->Load());
    const auto paths = platform->ListInterfaces();
    ASSERT_TRUE(paths.has_value());
    std::unique_ptr<HidDevice> kept;
    for (const std::string& path : *paths) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(path.empty());
        auto device = platform->Open(path);
        if (!device) continue;  // a keyboard or mouse may refuse to be opened for writing
        std::uint16_t vendor = 0, product = 0;
        if (device->GetAttributes(vendor, product)) {
            EXPECT_FALSE(vendor == kMeterVendorId && product == kMeterProductId);
        }
        // A device without feature reports must not seem to answer a fetch of one.
        HidReportLengths lengths;
        if (device->GetReportLengths(lengths) && lengths.feature == 0) {
            std::uint8_t report[15] = {};
            EXPECT_LT(device->GetFeature(report, sizeof report), 0);
        }
        if (!kept) kept = std::move(device);
    }
    for (const char* path :
         {"", "\\\\?\\hid#vid_03eb&pid_5603#no-such-device", "C:\\no-such-folder\\no-such-file"}) {
        EXPECT_EQ(platform->Open(path), nullptr) << path;
    }
    // Not UTF-8, or cut short by a NUL: refused rather than taken for another path.
    EXPECT_EQ(platform->Open("\\\\?\\hid#\xff\xfe"), nullptr);
    EXPECT_EQ(platform->Open(std::string("C:\\windows\0\\x", 14)), nullptr);

    // A device opened before the library is unloaded keeps working.
    std::uint16_t vendor = 0, product = 0;
    const bool attributes = kept && kept->GetAttributes(vendor, product);
    platform->Unload();
    if (attributes) {
        std::uint16_t vendorAgain = 0, productAgain = 0;
        EXPECT_TRUE(kept->GetAttributes(vendorAgain, productAgain));
        EXPECT_EQ(vendorAgain, vendor);
        EXPECT_EQ(productAgain, product);
    }
    EXPECT_FALSE(platform->ListInterfaces().has_value());

    // The link over it: a full search finds no meter, and the exchange says so.
    USB usb(MakeWindowsHidPlatform());
    EXPECT_TRUE(usb.libraryReady);
    std::uint8_t data[8] = {};
    EXPECT_FALSE(usb.Transact(16, 14, 1, data));
    EXPECT_EQ(usb.LastFailure(), ExchangeFailure::kNoMeter);
    EXPECT_FALSE(usb.everFound.load());
}

// The lock of a device excludes every other holder (another handle on the same name, as
// another program has) until it is let go of, and stays free for other devices.
TEST(WindowsHidPlatform, DeviceLockExcludesOtherHoldersOfTheSameDevice) {
    auto platform = MakeWindowsHidPlatform();
    const std::string path = "\\\\?\\hid#vid_03eb&pid_5603#7&2f1c&0&0000#{4d1e55b2-f16f-11cf}";
    std::string upper = path;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    auto mine = platform->OpenDeviceLock(path);
    auto theirs = platform->OpenDeviceLock(upper);  // the same device, spelt otherwise
    auto other = platform->OpenDeviceLock(path + "1");
    ASSERT_TRUE(mine && theirs && other);

    ASSERT_EQ(mine->TryLock(), Result::kHeld);
    EXPECT_EQ(TryLockElsewhere(*theirs, true), Result::kInUse);
    EXPECT_EQ(TryLockElsewhere(*other, true), Result::kHeld);
    mine->Unlock();
    EXPECT_EQ(TryLockElsewhere(*theirs, true), Result::kHeld);

    // A holder whose thread ended without letting go does not keep the device for good.
    EXPECT_EQ(TryLockElsewhere(*theirs, false), Result::kHeld);
    EXPECT_EQ(mine->TryLock(), Result::kHeld);
    mine->Unlock();

    EXPECT_EQ(platform->OpenDeviceLock(""), nullptr);
    EXPECT_EQ(platform->OpenDeviceLock(std::string("a\0b", 3)), nullptr);
}

// Lock names are valid mutex names in the namespace all sessions share, and two devices never
// share one, however long their paths.
TEST(WindowsHidPlatform, DeviceLockNames) {
    const std::wstring prefix = L"Global\\tavex-";
    const std::string base = "\\\\?\\hid#vid_03eb&pid_5603#7&2f1c&0&0000#{4d1e55b2}";
    const std::string longPath = base + std::string(400, 'x');
    for (const std::string& path : {base, longPath, std::string("\xd0\x9f\\path")}) {
        const std::wstring name = DeviceLockName(path);
        ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0);
        EXPECT_LE(name.size(), 260u);
        EXPECT_TRUE(std::all_of(name.begin() + prefix.size(), name.end(), [](wchar_t c) {
            return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_' || c == L'-';
        })) << path;
    }
    EXPECT_NE(DeviceLockName(longPath), DeviceLockName(longPath + "y"));
    EXPECT_NE(DeviceLockName(longPath + "y"), DeviceLockName(longPath + "z"));
}

}  // namespace
}  // namespace tavex
