#include "tests/support/hidapi_stand_in.h"

#include <hidapi/hidapi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

using tavex::hidapi_stand_in::Device;

struct hid_device_ {
    Device* device;
    std::unique_ptr<hid_device_info> info;  // built at the first ask, then kept, as hidapi does
    std::wstring error;
};

namespace tavex::hidapi_stand_in {
namespace {

struct State {
    std::deque<Device> devices;
    bool enumerationFails = false;
    Counts counts;
    std::wstring error;
};

State& Current() {
    static State state;
    return state;
}

// The same node: hidapi may be handed another name of it (/proc/self/fd/N).
bool SameNode(const std::string& a, const char* b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b, &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

Device* Find(const char* path) {
    if (path == nullptr) return nullptr;
    for (Device& device : Current().devices) {
        if (!device.gone && (device.path == path || SameNode(device.path, path))) return &device;
    }
    return nullptr;
}

// Appends "<pid> <what>" to the device's log, when it keeps one.
void Log(const Device& device, char what) {
    if (device.logFd < 0) return;
    const std::string line = std::to_string(::getpid()) + " " + what + "\n";
    (void)::write(device.logFd, line.data(), line.size());
}

}  // namespace

void Reset() {
    Current() = State{};
}

Device& Add(std::string path, std::uint16_t vendor, std::uint16_t product) {
    Device& device = Current().devices.emplace_back();
    device.path = std::move(path);
    device.vendor = vendor;
    device.product = product;
    return device;
}

void SetEnumerationFails(bool fails) {
    Current().enumerationFails = fails;
}

Counts GetCounts() {
    return Current().counts;
}

}  // namespace tavex::hidapi_stand_in

using tavex::hidapi_stand_in::Current;
using tavex::hidapi_stand_in::Find;
using tavex::hidapi_stand_in::Log;

extern "C" {

int hid_init(void) {
    ++Current().counts.init;
    return 0;
}

int hid_exit(void) {
    ++Current().counts.exit;
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    auto& state = Current();
    if (state.enumerationFails) {
        state.error = L"Couldn't create udev context";
        return nullptr;
    }
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const Device& device : state.devices) {
        if (device.gone || (vendor_id != 0 && vendor_id != device.vendor) ||
            (product_id != 0 && product_id != device.product)) {
            continue;
        }
        auto* info = new hid_device_info{};
        info->path = strdup(device.path.c_str());
        info->vendor_id = device.vendor;
        info->product_id = device.product;
        *tail = info;
        tail = &info->next;
    }
    if (head == nullptr) {
        state.error = L"No HID devices found in the system.";
        return nullptr;
    }
    ++state.counts.liveEnumerations;
    return head;
}

void hid_free_enumeration(hid_device_info* devs) {
    if (devs == nullptr) return;
    --Current().counts.liveEnumerations;
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        delete devs;
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    Device* device = Find(path);
    if (device == nullptr) {
        Current().error = L"Failed to open a device with path";
        return nullptr;
    }
    ++Current().counts.openHandles;
    return new hid_device_{device, nullptr, L"Success"};
}

void hid_close(hid_device* dev) {
    if (dev == nullptr) return;
    --Current().counts.openHandles;
    delete dev;
}

hid_device_info* hid_get_device_info(hid_device* dev) {
    if (!dev->info) {
        if (dev->device->gone) return nullptr;
        dev->info = std::make_unique<hid_device_info>();
        dev->info->vendor_id = dev->device->vendor;
        dev->info->product_id = dev->device->product;
    }
    return dev->info.get();
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
    ++Current().counts.featureCalls;
    Device& device = *dev->device;
    if (device.gone) {
        dev->error = L"No such device";
        return -1;
    }
    device.sent.emplace_back(data, data + length);
    Log(device, 'S');
    return static_cast<int>(std::min(length, device.takes));
}

// hidraw: for an unnumbered report (byte 0 is 0) the device's bytes land from byte 1 on and
// the count returned includes byte 0; for a numbered one they land from byte 0, the number
// first. Bytes the device does not send are left as they were.
int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    ++Current().counts.featureCalls;
    Device& device = *dev->device;
    if (device.gone || device.replies.empty() || !device.replies.front()) {
        if (!device.replies.empty()) device.replies.pop_front();
        dev->error = device.gone ? L"No such device" : L"Broken pipe";
        return -1;
    }
    const std::vector<std::uint8_t> sent = *device.replies.front();
    device.replies.pop_front();
    Log(device, 'G');
    if (data[0] == 0) {
        const std::size_t n = std::min(sent.size(), length - 1);
        std::copy_n(sent.begin(), n, data + 1);
        return n == 0 ? 0 : static_cast<int>(n + 1);
    }
    const std::size_t n = std::min(sent.size(), length);
    std::copy_n(sent.begin(), n, data);
    return static_cast<int>(n);
}

const wchar_t* hid_error(hid_device* dev) {
    return dev == nullptr ? Current().error.c_str() : dev->error.c_str();
}

}  // extern "C"
