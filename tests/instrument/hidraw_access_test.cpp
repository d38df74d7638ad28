#include "instrument/hidraw_access.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavex {
namespace {

namespace fs = std::filesystem;

// The uevent of the meter's HID device as the kernel writes it.
constexpr const char* kMeterUevent =
    "DRIVER=hid-generic\nHID_ID=0003:000003EB:00005603\nHID_NAME=TAVEX QX482TDA\n"
    "HID_PHYS=usb-0000:00:14.0-2/input0\nHID_UNIQ=\nMODALIAS=hid:b0003g0001v000003EBp00005603\n";

// One hidrawN entry of the fake sysfs tree: its HID device's uevent (none: no file) and what
// opening its node fails with (0: it opens).
struct FakeHidraw {
    std::string name;
    std::optional<std::string> uevent;
    int openErrno = 0;
};

struct Case {
    const char* what;
    std::vector<FakeHidraw> devices;
    std::optional<std::string> blocked;  // the entry expected
};

// Each case builds <root>/sys as the kernel lays it out (class/hidraw/hidrawN/device linking to
// the HID device's folder, named with its plug's number) and asks with <root>/dev for /dev; the
// tests run as root, for whom no file mode refuses an open, so the open is the test's.
TEST(HidrawAccess, FindsTheMeterThisUserMayNotOpen) {
    std::string pattern = (fs::temp_directory_path() / "tavex-sysfs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    // Gone however the test ends, a failed assertion too.
    const struct RemovedAtTheEnd {
        fs::path path;
        ~RemovedAtTheEnd() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removed{root};
    const std::string otherVendor = "HID_ID=0003:0000046D:0000C52B\n";

    const std::vector<Case> cases = {
        {"no hidraw folder at all", {}, std::nullopt},
        {"a meter refused (no rule)", {{"hidraw0", kMeterUevent, EACCES}}, "hidraw0"},
        {"a meter refused by a security module", {{"hidraw3", kMeterUevent, EPERM}}, "hidraw3"},
        {"a meter that opens", {{"hidraw0", kMeterUevent, 0}}, std::nullopt},
        {"a node not made yet", {{"hidraw0", kMeterUevent, ENOENT}}, std::nullopt},
        {"another vendor refused", {{"hidraw0", otherVendor, EACCES}}, std::nullopt},
        {"lower-case digits", {{"hidraw1", "HID_ID=0003:000003eb:00005603\n", EACCES}}, "hidraw1"},
        {"the meter's IDs over Bluetooth",
         {{"hidraw0", "HID_ID=0005:000003EB:00005603\n", EACCES}},
         std::nullopt},
        {"malformed uevents",
         {{"hidraw0", std::nullopt, EACCES},
          {"hidraw1", "HID_NAME=TAVEX\n", EACCES},
          {"hidraw2", "HID_ID=0003:000003EB\n", EACCES},
          {"hidraw3", "HID_ID=0003:000003EB:00005603x\n", EACCES},
          {"hidraw4", "HID_ID=0003:1000003EB:00005603\n", EACCES},
          {"hidraw9", "HID_ID=0003:100003EB:00005603\n", EACCES},
          {"hidraw5", "HID_ID=0003::00005603\n", EACCES},
          {"hidraw6", "HID_ID= 0003:000003EB:00005603\n", EACCES},
          {"hidraw7", "XHID_ID=0003:000003EB:00005603\n", EACCES},
          {"hidraw8", "", EACCES}},
         std::nullopt},
        {"entries that are not hidraw nodes",
         {{"hidraw", kMeterUevent, EACCES},
          {"hidrawX", kMeterUevent, EACCES},
          {"hidraw1a", kMeterUevent, EACCES},
          {"mouse0", kMeterUevent, EACCES}},
         std::nullopt},
        {"several devices: the first refused meter by number",
         {{"hidraw0", otherVendor, EACCES},
          {"hidraw1", kMeterUevent, 0},
          {"hidraw10", kMeterUevent, EACCES},
          {"hidraw2", kMeterUevent, EPERM},
          {"hidraw3", kMeterUevent, EACCES}},
         "hidraw2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root / "sys");
        std::map<std::string, int> openErrno;
        for (std::size_t k = 0; k < c.devices.size(); ++k) {
            const FakeHidraw& d = c.devices[k];
            const fs::path hidDevice =
                root / "sys" / "devices" / ("0003:03EB:5603.000" + std::to_string(k));
            fs::create_directories(hidDevice);
            if (d.uevent) std::ofstream(hidDevice / "uevent") << *d.uevent;
            const fs::path entry = root / "sys" / "class" / "hidraw" / d.name;
            fs::create_directories(entry);
            fs::create_directory_symlink(hidDevice, entry / "device");
            openErrno[(root / "dev" / d.name).string()] = d.openErrno;
        }
        std::set<std::string> tried;
        const auto open = [&](const std::string& node) {
            tried.insert(node);
            const auto it = openErrno.find(node);
            return it == openErrno.end() ? ENOENT : it->second;
        };
        const auto blocked =
            FindBlockedMeter((root / "sys").string(), (root / "dev").string(), open);
        ASSERT_EQ(blocked.has_value(), c.blocked.has_value());
        if (blocked) {
            EXPECT_EQ(blocked->node, (root / "dev" / *c.blocked).string());
            // The HID device of that entry, by the number it was made with.
            std::size_t k = 0;
            while (c.devices[k].name != *c.blocked) ++k;
            EXPECT_EQ(blocked->device, "0003:03EB:5603.000" + std::to_string(k));
        }
        // Only the meter's nodes are opened.
        for (const std::string& node : tried) {
            const auto d = std::find_if(
                c.devices.begin(), c.devices.end(),
                [&](const FakeHidraw& d) { return (root / "dev" / d.name).string() == node; });
            ASSERT_NE(d, c.devices.end()) << node;
            EXPECT_NE(d->uevent.value_or("").find("HID_ID=0003:000003"), std::string::npos) << node;
        }
    }
}

// The real open: a node that is not there is no refused meter; a node this process may open
// (whoever runs the test) opens and is closed again.
TEST(HidrawAccess, RealOpenReportsTheErrno) {
    EXPECT_EQ(HidrawOpenError("/dev/hidraw-that-does-not-exist"), ENOENT);
    EXPECT_EQ(HidrawOpenError("/dev/null"), 0);
}

}  // namespace
}  // namespace tavex
