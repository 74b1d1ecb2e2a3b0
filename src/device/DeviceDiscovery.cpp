// Scanner discovery through libudev and the connect sequence of a freshly attached scanner.
#include "device/DeviceDiscovery.h"

#include <libudev.h>
#include <malloc.h>

#include <cctype>
#include <memory>
#include <optional>

#include "device/Device_Comm_Mgmt.h"
#include "service/Logger.h"
#include "velm_provision.h"

namespace velm::discovery {

namespace {

std::string ToUpperAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitAt(const std::string& text, char delimiter) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto pos = text.find(delimiter, start);
        if (pos == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

struct UdevDeleter {
    void operator()(udev* p) const noexcept { udev_unref(p); }
};
struct UdevEnumerateDeleter {
    void operator()(udev_enumerate* p) const noexcept { udev_enumerate_unref(p); }
};
struct UdevDeviceDeleter {
    void operator()(udev_device* p) const noexcept { udev_device_unref(p); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevEnumerateDeleter>;
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceDeleter>;

constexpr const char* kRdsVersionTr460 = "1.3.5";
constexpr const char* kRdsVersionBrx500 = "1.3.2";

}  // namespace

ScannerIdentity IdentifyUsbScanner(const std::string& idVendor, const std::string& idProduct) {
    ScannerIdentity id;
    const std::string tr460 = provision::kUsbVendorTr460;
    const std::string brx500 = provision::kUsbVendorBrx500;
    // Exact text in either spelling; a mixed-case id is not one of the four.
    const bool isTr460 = idVendor == tr460 || idVendor == ToUpperAscii(tr460);
    const bool isBrx500 = idVendor == brx500 || idVendor == ToUpperAscii(brx500);
    if (!isTr460 && !isBrx500) return id;
    if (idProduct == kProductApplication) {
        id.mode = UsbMode::Application;
    } else if (idProduct == kProductUpdate) {
        id.mode = UsbMode::Update;
    } else {
        return id;
    }
    id.supported = true;
    id.isBRX500 = isBrx500;
    return id;
}

EnumerationResult EnumerateUsbTtys(std::vector<TtyCandidate>& out) {
    out.clear();
    UdevPtr context(udev_new());
    if (!context) return EnumerationResult::NoContext;
    UdevEnumeratePtr enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return EnumerationResult::NoEnumerator;
    udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    udev_enumerate_scan_devices(enumerate.get());

    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        const char* syspath = udev_list_entry_get_name(entry);
        if (!syspath) continue;
        UdevDevicePtr device(udev_device_new_from_syspath(context.get(), syspath));
        if (!device) continue;
        TtyCandidate candidate;
        candidate.syspath = syspath;
        candidate.devnode = OrEmpty(udev_device_get_devnode(device.get()));
        // The parent belongs to the child device and is released with it.
        udev_device* parent =
            udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
        if (parent) {
            candidate.hasUsbParent = true;
            candidate.idVendor = OrEmpty(udev_device_get_sysattr_value(parent, "idVendor"));
            candidate.idProduct = OrEmpty(udev_device_get_sysattr_value(parent, "idProduct"));
        }
        out.push_back(std::move(candidate));
    }
    return EnumerationResult::Ok;
}

std::string ShortFirmwareVersion(const std::string& version) {
    const auto point = version.find('.');
    if (point == std::string::npos) return version;
    if (version.size() - point - 1 <= 2) return version;
    return version.substr(0, point + 3);
}

bool ParseStatusWord(const std::string& text, unsigned long long& out) {
    if (text.empty() || text.size() > 20) return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (~0ULL - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

DeviceDiscovery::DeviceDiscovery(Device_Comm_Mgmt& link, std::atomic<bool>& deviceInUse,
                                 ScannerOperations& ops, Enumerator enumerate)
    : link_(link), deviceInUse_(deviceInUse), ops_(ops), enumerate_(std::move(enumerate)) {}

void DeviceDiscovery::Report(int level, const std::string& message) {
    ops_.Log(level, message);
    ops_.Notify(message);
}

void DeviceDiscovery::Disconnect() {
    ops_.DisconnectDevice();
    Report(INFO, "Device disconnected.");
}

void DeviceDiscovery::MonitorL1Devices() {
    std::vector<TtyCandidate> ttys;
    switch (enumerate_(ttys)) {
        case EnumerationResult::NoContext:
            Report(ERROR, "Failed to initialize UDEV");
            return;
        case EnumerationResult::NoEnumerator:
            Report(ERROR, "Failed to create UDEV enumeration");
            return;
        case EnumerationResult::Ok:
            break;
    }

    const TtyCandidate* match = nullptr;
    ScannerIdentity identity;
    for (const TtyCandidate& tty : ttys) {
        if (!tty.hasUsbParent) continue;
        identity = IdentifyUsbScanner(tty.idVendor, tty.idProduct);
        if (identity.supported) {
            match = &tty;
            break;
        }
    }

    // Held from the first step that touches the scanner to the end of the pass.
    std::optional<BusyGuard> busy;
    auto acquire = [&]() {
        if (!busy) busy.emplace(deviceInUse_);
        return busy->held();
    };

    bool taken = false;
    if (match) {
        bool sameConnection = false;
        if (link_.connected) {
            const bool update = link_.updateMode;
            const bool application = link_.applicationMode;
            const bool sameMode = identity.mode == UsbMode::Application ? (!update || application)
                                                                        : (update || !application);
            // A different node means a different link, even in the same mode.
            sameConnection = sameMode && match->devnode == link_.portPath;
        }
        if (!sameConnection) {
            if (match->devnode.empty()) {
                // A tty without a device node cannot be opened; the next pass looks again.
                Report(ERROR, "Device discovered without a device node: " + match->syspath);
                return;
            }
            if (!acquire()) return;  // a request came in meanwhile; the next pass retries
            if (link_.connected) Disconnect();
            link_.portPath = match->devnode;
            link_.isBRX500 = false;
            if (identity.mode == UsbMode::Application) {
                link_.applicationMode = true;
                link_.updateMode = false;
            } else {
                link_.updateMode = true;
                link_.applicationMode = false;
            }
            if (identity.isBRX500) {
                Report(INFO, "Device Model: BRX500");
                link_.isBRX500 = true;
            } else {
                Report(INFO, "Device Model: TR460U L1");
            }
            taken = true;
        }
    } else if (link_.connected) {
        if (!acquire()) return;
        Disconnect();
    }

    // The enumeration is released; give the freed heap back so an idle service stays flat.
    ttys.clear();
    ttys.shrink_to_fit();
    malloc_trim(0);

    if (link_.connected || !taken) return;

    // From here on the pass talks to the scanner: keep requests off the port meanwhile.
    if (!acquire()) return;

    if (!ops_.ConnectDevice()) {
        Report(ERROR, "Device discovered but connection failed => " + link_.portPath);
        return;
    }
    link_.connected = true;

    if (!link_.updateMode && link_.applicationMode) {
        const std::string model = ops_.GetDeviceModelId();
        if (model.find("OEMRXMODE") != std::string::npos) {
            link_.updateMode = true;
            link_.applicationMode = false;
        }
    }

    if (link_.updateMode) {
        RunUpdateModeSequence();
    } else {
        RunNormalSequence();
    }
}

void DeviceDiscovery::RunUpdateModeSequence() {
    link_.serialNumber.clear();
    link_.serialNumber = Trimmed(ops_.GetOEMDeviceSerialNumber());
    Report(INFO, "Device Connected in Update Mode: " + link_.portPath + "\tSERIAL NUMBER: " +
                     link_.serialNumber);

    if (!ops_.SupportsFirmwareUpgrade()) return;

    if (link_.firmwareUpgradePending) {
        ops_.Notify("Starting device firmware upgrade process");
        ops_.UpgradeDeviceFirmware();
        link_.firmwareUpgradePending = false;
        return;
    }
    ops_.CheckForFirmwareUpgradeEx();
    if (!link_.firmwareUpgradePending) {
        ops_.SendToSupportTool("Firmware upgrade NOT required!\r\n");
        return;
    }
    if (!link_.firmwarePackagePath.empty() && ops_.ExtractDownloadedFirmwareFiles() &&
        ops_.StartFirmwareUpgradeProcess(true)) {
        ops_.UpgradeDeviceFirmware();
        link_.firmwareUpgradePending = false;
    }
}

void DeviceDiscovery::RunNormalSequence() {
    link_.serialNumber = Trimmed(ops_.GetDeviceSerialNumber());
    Report(INFO, "Device Connected: " + link_.portPath + "\tSERIAL NUMBER: " + link_.serialNumber);

    ops_.Log(INFO, "Device Time Before Time Sync: " + ops_.GetDeviceTime());
    Report(INFO, "Setting Device Time");
    ops_.SetDeviceTime();
    const std::string record = ops_.GetDeviceTime();
    ops_.Log(INFO, "Device Time After Time Sync: " + record);

    const std::vector<std::string> fields = SplitAt(record, ',');
    if (fields.size() == 8) {
        link_.firmwareVersion = ShortFirmwareVersion(fields[3]);
        if (link_.isBRX500) {
            ops_.SetRDSVER(kRdsVersionBrx500);
            Report(INFO, std::string("Model BRX500 Detected. RD Service version : ") + kRdsVersionBrx500);
        } else {
            ops_.SetRDSVER(kRdsVersionTr460);
            Report(INFO, std::string("Model TR460U L1 Detected. RD Service version : ") + kRdsVersionTr460);
        }
        unsigned long long status = 0;
        if (ParseStatusWord(fields[1], status)) {
            link_.tamperDetected = (status & kTamperBit) != 0;
        } else {
            // Keep the previous tamper state and go on: the keys and the registration must not
            // be skipped for the whole connection because of one unreadable field.
            Report(ERROR, "Invalid device status word: " + fields[1]);
        }
    }

    ops_.Notify("Downloading UIDAI Public Key Certificate.");
    const int certificates = ops_.CheckAndDownloadUidaiCertificates();
    if (certificates == 1) {
        Report(INFO, "Registering device with UIDAI.");
        ops_.RegisterDevice();
    } else if (certificates == 0) {
        if (ops_.IsDeviceRegistered(false) == 1) {
            Report(INFO, "Device is registered with UIDAI.");
        } else {
            Report(INFO, "Registering device with UIDAI.");
            ops_.RegisterDevice();
        }
    }

    if (!ops_.SupportsFirmwareUpgrade()) return;

    ops_.CheckForFirmwareUpgradeEx();
    if (!link_.firmwareUpgradePending) {
        Report(INFO, "Fimware upgrade NOT required.");
        return;
    }
    if (!link_.firmwarePackagePath.empty() && ops_.ExtractDownloadedFirmwareFiles() &&
        ops_.StartFirmwareUpgradeProcess(false)) {
        ops_.ChangeMode();
    }
}

}  // namespace velm::discovery
