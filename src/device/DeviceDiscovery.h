#pragma once
// Finding the scanner on the USB bus and bringing a freshly attached scanner into use.
//
// One pass (`MonitorL1Devices`) enumerates the tty devices through libudev, picks the first
// one whose USB parent carries a supported identity, follows plug, unplug and re-enumeration
// between the normal (8230) and update (8240) firmware, and runs the connect sequence:
// identity, clock, UIDAI keys, registration and firmware check.
//
// Everything the pass calls outside of discovery goes through `ScannerOperations`, so the pass
// can run against the real scanner link and service logic or against a test double.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

class Device_Comm_Mgmt;

namespace velm::discovery {

// Product ids of the two firmware modes.
inline constexpr const char* kProductApplication = "8230";
inline constexpr const char* kProductUpdate = "8240";

// One tty device as enumerated, with the ids of its USB parent.
struct TtyCandidate {
    std::string syspath;
    std::string devnode;    // empty when the device has no node
    bool hasUsbParent = false;
    std::string idVendor;   // parent sysattr, as read
    std::string idProduct;  // parent sysattr, as read
};

enum class UsbMode { None, Application, Update };

struct ScannerIdentity {
    bool supported = false;
    bool isBRX500 = false;
    UsbMode mode = UsbMode::None;
};

// Classifies a USB device by its idVendor/idProduct texts. The vendor ids are compared exactly,
// in lower-case and upper-case hexadecimal; the product id must be "8230" or "8240".
ScannerIdentity IdentifyUsbScanner(const std::string& idVendor, const std::string& idProduct);

enum class EnumerationResult { Ok, NoContext, NoEnumerator };

// Lists the devices of subsystem "tty" in udev enumeration order, each with the idVendor and
// idProduct of its "usb"/"usb_device" parent. Builds and releases its own udev context.
EnumerationResult EnumerateUsbTtys(std::vector<TtyCandidate>& out);

using Enumerator = std::function<EnumerationResult(std::vector<TtyCandidate>&)>;

// The operations a pass calls on the scanner link, the service logic and the reporting
// channels. Firmware steps are optional: a binding that does not provide them ends the
// normal sequence after registration and the update-mode sequence after the identity.
class ScannerOperations {
public:
    virtual ~ScannerOperations() = default;

    // Scanner link.
    virtual bool ConnectDevice() = 0;
    virtual void DisconnectDevice() = 0;
    virtual std::string GetDeviceModelId() = 0;
    virtual std::string GetDeviceSerialNumber() = 0;
    virtual std::string GetOEMDeviceSerialNumber() = 0;
    virtual std::string GetDeviceTime() = 0;

    // Service logic.
    virtual bool SetDeviceTime() = 0;
    virtual void SetRDSVER(const std::string& version) = 0;
    virtual int CheckAndDownloadUidaiCertificates() = 0;
    virtual int IsDeviceRegistered(bool skipExpiryCheck) = 0;
    virtual bool RegisterDevice() = 0;

    // Firmware upgrade.
    virtual bool SupportsFirmwareUpgrade() const { return false; }
    virtual void CheckForFirmwareUpgradeEx() {}
    virtual bool ExtractDownloadedFirmwareFiles() { return false; }
    virtual bool StartFirmwareUpgradeProcess(bool /*inUpdateMode*/) { return false; }
    virtual bool ChangeMode() { return false; }
    virtual bool UpgradeDeviceFirmware() { return false; }
    // Sends text on the support tool's connection when one is open.
    virtual void SendToSupportTool(const std::string& /*text*/) {}

    // Reporting: the service log and notifications.
    virtual void Log(int level, const std::string& message) = 0;
    virtual void Notify(const std::string& message) = 0;
};

// Firmware version text as kept for DEVICEINFO: at most two characters after the first point
// ("1.234" -> "1.23"); a text without a point is kept as it is.
std::string ShortFirmwareVersion(const std::string& version);

// Parses the status word of the device time record (an unsigned decimal number, nothing else).
// Returns false for anything that is not one.
bool ParseStatusWord(const std::string& text, unsigned long long& out);

// Bit 29 of the status word: the scanner detected tampering.
inline constexpr unsigned long long kTamperBit = 1ULL << 29;

class DeviceDiscovery {
public:
    // deviceInUse is the service's busy flag: a pass takes it (test-and-set) for the time it
    // talks to the scanner and leaves the scanner alone when a request holds it.
    DeviceDiscovery(Device_Comm_Mgmt& link, std::atomic<bool>& deviceInUse, ScannerOperations& ops,
                    Enumerator enumerate = EnumerateUsbTtys);

    // One pass.
    void MonitorL1Devices();

    // True while a request holds the busy flag; the monitoring loop skips the pass then.
    bool DeviceBusy() const { return deviceInUse_.load(); }

    ScannerOperations& Operations() { return ops_; }

private:
    // Holds the busy flag for one scope; `held()` is false when a request had it first.
    class BusyGuard {
    public:
        explicit BusyGuard(std::atomic<bool>& flag) : flag_(flag), held_(!flag.exchange(true)) {}
        ~BusyGuard() {
            if (held_) flag_.store(false);
        }
        BusyGuard(const BusyGuard&) = delete;
        BusyGuard& operator=(const BusyGuard&) = delete;
        bool held() const { return held_; }

    private:
        std::atomic<bool>& flag_;
        bool held_;
    };

    void Disconnect();
    void RunUpdateModeSequence();
    void RunNormalSequence();
    void Report(int level, const std::string& message);

    Device_Comm_Mgmt& link_;
    std::atomic<bool>& deviceInUse_;
    ScannerOperations& ops_;
    Enumerator enumerate_;
};

}  // namespace velm::discovery
