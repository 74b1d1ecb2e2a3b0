// Discovery passes against a scripted enumeration and a recording scanner.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceDiscovery.h"
#include "device/Device_Comm_Mgmt.h"
#include "service/DeviceMonitoring.h"
#include "service/Logger.h"
#include "velm_provision.h"

using namespace velm::discovery;

namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

const std::string kTr = velm::provision::kUsbVendorTr460;
const std::string kBrx = velm::provision::kUsbVendorBrx500;

std::string LevelName(int level) {
    switch (level) {
        case INFO: return "INFO";
        case WARNING: return "WARNING";
        case ERROR: return "ERROR";
        default: return "DEBUG";
    }
}

TtyCandidate Tty(const std::string& node, const std::string& vendor, const std::string& product) {
    TtyCandidate t;
    t.syspath = "/sys/devices/usb1/1-1/1-1:1.0/tty/" + node.substr(node.rfind('/') + 1);
    t.devnode = node;
    t.hasUsbParent = true;
    t.idVendor = vendor;
    t.idProduct = product;
    return t;
}

// Records every call; replies are scripted per test.
class RecordingScanner : public ScannerOperations {
public:
    RecordingScanner(Device_Comm_Mgmt& link, std::atomic<bool>& busy) : link(link), busy(busy) {}

    bool ConnectDevice() override {
        Call("ConnectDevice " + link.portPath);
        busyDuringConnect = busy.load();
        return connectSucceeds;
    }
    void DisconnectDevice() override {
        Call("DisconnectDevice");
        if (link.connected) {
            link.connected = false;
            link.portPath.clear();
        }
    }
    std::string GetDeviceModelId() override { return Call("GetDeviceModelId"), modelId; }
    std::string GetDeviceSerialNumber() override { return Call("GetDeviceSerialNumber"), serial; }
    std::string GetOEMDeviceSerialNumber() override { return Call("GetOEMDeviceSerialNumber"), oemSerial; }
    std::string GetDeviceTime() override { return Call("GetDeviceTime"), timeRecord; }
    bool SetDeviceTime() override { return Call("SetDeviceTime"), true; }
    void SetRDSVER(const std::string& v) override { Call("SetRDSVER " + v); }
    int CheckAndDownloadUidaiCertificates() override {
        return Call("CheckAndDownloadUidaiCertificates"), certificatesResult;
    }
    int IsDeviceRegistered(bool skip) override {
        return Call(std::string("IsDeviceRegistered ") + (skip ? "true" : "false")), registeredResult;
    }
    bool RegisterDevice() override { return Call("RegisterDevice"), true; }

    bool SupportsFirmwareUpgrade() const override { return firmware; }
    void CheckForFirmwareUpgradeEx() override {
        Call("CheckForFirmwareUpgradeEx");
        if (firmwareFound) {
            link.firmwareUpgradePending = true;
            link.firmwarePackagePath = "/tmp/fw.zip";
        }
    }
    bool ExtractDownloadedFirmwareFiles() override { return Call("ExtractDownloadedFirmwareFiles"), true; }
    bool StartFirmwareUpgradeProcess(bool inUpdate) override {
        return Call(std::string("StartFirmwareUpgradeProcess ") + (inUpdate ? "true" : "false")), true;
    }
    bool ChangeMode() override { return Call("ChangeMode"), true; }
    bool UpgradeDeviceFirmware() override { return Call("UpgradeDeviceFirmware"), true; }
    void SendToSupportTool(const std::string& text) override { Call("SupportTool " + text); }

    void Log(int level, const std::string& message) override {
        std::lock_guard<std::mutex> lock(mutex);
        logs.push_back(LevelName(level) + " " + message);
    }
    void Notify(const std::string& message) override {
        std::lock_guard<std::mutex> lock(mutex);
        notes.push_back(message);
    }

    void Call(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(what);
    }
    bool Called(const std::string& what) const {
        return std::find(calls.begin(), calls.end(), what) != calls.end();
    }
    bool Logged(const std::string& line) const {
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }
    void Clear() {
        calls.clear();
        logs.clear();
        notes.clear();
    }

    Device_Comm_Mgmt& link;
    std::atomic<bool>& busy;
    bool connectSucceeds = true;
    bool busyDuringConnect = false;
    std::string modelId = "TR460U L1";
    std::string serial = "  SN0042 \r";
    std::string oemSerial = " OEM77\r";
    std::string timeRecord = "2024-01-02T03:04:05,536870912,P,2.345,a,b,c,d";
    int certificatesResult = 0;
    int registeredResult = 1;
    bool firmware = false;
    bool firmwareFound = false;

    std::mutex mutex;
    std::vector<std::string> calls, logs, notes;
};

class DiscoveryPass : public ::testing::Test {
protected:
    DiscoveryPass()
        : link(nullptr),
          scanner(link, busy),
          discovery(link, busy, scanner, [this](std::vector<TtyCandidate>& out) {
              out = ttys;
              return enumeration;
          }) {}

    void Pass() { discovery.MonitorL1Devices(); }

    Device_Comm_Mgmt link;
    std::atomic<bool> busy{false};
    RecordingScanner scanner;
    std::vector<TtyCandidate> ttys;
    EnumerationResult enumeration = EnumerationResult::Ok;
    DeviceDiscovery discovery;
};

}  // namespace

TEST(UsbIdentity, VendorAndProductTable) {
    struct Case {
        std::string vendor, product;
        bool supported, brx;
        UsbMode mode;
    } cases[] = {
        {kTr, "8230", true, false, UsbMode::Application},
        {Upper(kTr), "8240", true, false, UsbMode::Update},
        {kBrx, "8240", true, true, UsbMode::Update},
        {Upper(kBrx), "8230", true, true, UsbMode::Application},
        {kBrx, "8231", false, false, UsbMode::None},
        {kTr, "08230", false, false, UsbMode::None},
        {kTr + " ", "8230", false, false, UsbMode::None},
        {"1d6b", "8230", false, false, UsbMode::None},
        {"", "", false, false, UsbMode::None},
    };
    // A mixed-case spelling is neither of the two accepted texts.
    std::string mixed = kBrx;
    for (auto& c : mixed) {
        if (std::isalpha(static_cast<unsigned char>(c))) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            break;
        }
    }
    const bool hasLetters = mixed != kBrx && Upper(kBrx) != mixed;
    for (const auto& c : cases) {
        const ScannerIdentity id = IdentifyUsbScanner(c.vendor, c.product);
        EXPECT_EQ(id.supported, c.supported) << c.vendor << "/" << c.product;
        EXPECT_EQ(id.isBRX500, c.brx) << c.vendor << "/" << c.product;
        EXPECT_EQ(id.mode, c.mode) << c.vendor << "/" << c.product;
    }
    if (hasLetters) {
        EXPECT_FALSE(IdentifyUsbScanner(mixed, "8230").supported) << mixed;
    }
}

TEST(RecordFields, FirmwareVersionAndStatusWord) {
    EXPECT_EQ(ShortFirmwareVersion("1.234"), "1.23");
    EXPECT_EQ(ShortFirmwareVersion("1.23"), "1.23");
    EXPECT_EQ(ShortFirmwareVersion("12.3.4"), "12.3.");
    EXPECT_EQ(ShortFirmwareVersion("7"), "7");
    EXPECT_EQ(ShortFirmwareVersion(""), "");

    unsigned long long v = 99;
    EXPECT_TRUE(ParseStatusWord("536870912", v));
    EXPECT_EQ(v, kTamperBit);
    EXPECT_TRUE(ParseStatusWord("18446744073709551615", v));
    for (const char* bad : {"", "-1", "12a", " 12", "0x10", "18446744073709551616", "+5"}) {
        v = 7;
        EXPECT_FALSE(ParseStatusWord(bad, v)) << bad;
        EXPECT_EQ(v, 7u) << bad;
    }
}

TEST_F(DiscoveryPass, PlugInNormalModeRunsTheConnectSequence) {
    ttys = {Tty("/dev/ttyS0", "", ""), Tty("/dev/ttyACM0", kTr, "8230")};
    ttys[0].hasUsbParent = false;
    Pass();

    EXPECT_TRUE(link.connected);
    EXPECT_EQ(link.portPath, "/dev/ttyACM0");
    EXPECT_TRUE(link.applicationMode);
    EXPECT_FALSE(link.updateMode);
    EXPECT_FALSE(link.isBRX500);
    EXPECT_EQ(link.serialNumber, "SN0042");
    EXPECT_EQ(link.firmwareVersion, "2.34");
    EXPECT_TRUE(link.tamperDetected);
    EXPECT_TRUE(scanner.busyDuringConnect) << "the pass must keep requests off the port";
    EXPECT_FALSE(busy) << "the busy flag is released after the pass";

    const std::vector<std::string> expected = {
        "ConnectDevice /dev/ttyACM0", "GetDeviceModelId", "GetDeviceSerialNumber", "GetDeviceTime",
        "SetDeviceTime", "GetDeviceTime", "SetRDSVER 1.3.5", "CheckAndDownloadUidaiCertificates",
        "IsDeviceRegistered false"};
    EXPECT_EQ(scanner.calls, expected);
    EXPECT_TRUE(scanner.Logged("INFO Device Model: TR460U L1"));
    EXPECT_TRUE(scanner.Logged("INFO Device Connected: /dev/ttyACM0\tSERIAL NUMBER: SN0042"));
    EXPECT_TRUE(scanner.Logged("INFO Device Time After Time Sync: " + scanner.timeRecord));
    EXPECT_TRUE(scanner.Logged("INFO Model TR460U L1 Detected. RD Service version : 1.3.5"));
    EXPECT_TRUE(scanner.Logged("INFO Device is registered with UIDAI."));

    // Connected in the same mode: later passes only enumerate.
    scanner.Clear();
    Pass();
    Pass();
    EXPECT_TRUE(scanner.calls.empty());
    EXPECT_TRUE(link.connected);
}

TEST_F(DiscoveryPass, Brx500UpperCaseVendorSetsModelAndVersion) {
    ttys = {Tty("/dev/ttyACM3", Upper(kBrx), "8230")};
    scanner.modelId = "BRX500";
    scanner.timeRecord = "2024-01-02T03:04:05,0,P,1.5,a,b,c,d";
    link.tamperDetected = true;
    Pass();
    EXPECT_TRUE(link.isBRX500);
    EXPECT_FALSE(link.tamperDetected);
    EXPECT_EQ(link.firmwareVersion, "1.5");
    EXPECT_TRUE(scanner.Called("SetRDSVER 1.3.2"));
    EXPECT_TRUE(scanner.Logged("INFO Device Model: BRX500"));
    EXPECT_TRUE(scanner.Logged("INFO Model BRX500 Detected. RD Service version : 1.3.2"));
}

TEST_F(DiscoveryPass, TimeRecordWithoutEightFieldsKeepsStateButRunsTheRest) {
    for (const std::string record : {"a,1,P,9.99,b,c,d", "a,1,P,9.99,b,c,d,e,f", ""}) {
        Device_Comm_Mgmt fresh(nullptr);
        std::atomic<bool> flag{false};
        RecordingScanner s(fresh, flag);
        s.timeRecord = record;
        fresh.firmwareVersion = "old";
        fresh.tamperDetected = true;
        std::vector<TtyCandidate> list = {Tty("/dev/ttyACM0", kTr, "8230")};
        DeviceDiscovery d(fresh, flag, s, [&](std::vector<TtyCandidate>& out) {
            out = list;
            return EnumerationResult::Ok;
        });
        d.MonitorL1Devices();
        EXPECT_EQ(fresh.firmwareVersion, "old") << record;
        EXPECT_TRUE(fresh.tamperDetected) << record;
        EXPECT_FALSE(s.Called("SetRDSVER 1.3.5")) << record;
        EXPECT_TRUE(s.Called("CheckAndDownloadUidaiCertificates")) << record;
    }
}

TEST_F(DiscoveryPass, UnreadableStatusWordDoesNotSkipKeysAndRegistration) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    scanner.timeRecord = "2024-01-02T03:04:05,abc,P,3.1,a,b,c,d";
    scanner.registeredResult = 0;
    link.tamperDetected = true;
    Pass();
    EXPECT_TRUE(link.tamperDetected);
    EXPECT_EQ(link.firmwareVersion, "3.1");
    EXPECT_TRUE(scanner.Logged("ERROR Invalid device status word: abc"));
    EXPECT_TRUE(scanner.Called("CheckAndDownloadUidaiCertificates"));
    EXPECT_TRUE(scanner.Called("RegisterDevice"));
}

TEST_F(DiscoveryPass, RegistrationDecisionTable) {
    struct Case {
        int certificates, registered;
        bool asksRegistered, registers;
    } cases[] = {
        {1, 1, false, true}, {0, 1, true, false},  {0, 2, true, true},   {0, 0, true, true},
        {0, -1, true, true}, {2, 0, false, false}, {3, 0, false, false}, {-1, 0, false, false},
    };
    for (const auto& c : cases) {
        Device_Comm_Mgmt fresh(nullptr);
        std::atomic<bool> flag{false};
        RecordingScanner s(fresh, flag);
        s.certificatesResult = c.certificates;
        s.registeredResult = c.registered;
        std::vector<TtyCandidate> list = {Tty("/dev/ttyACM0", kTr, "8230")};
        DeviceDiscovery d(fresh, flag, s, [&](std::vector<TtyCandidate>& out) {
            out = list;
            return EnumerationResult::Ok;
        });
        d.MonitorL1Devices();
        EXPECT_EQ(s.Called("IsDeviceRegistered false"), c.asksRegistered) << c.certificates << "/" << c.registered;
        EXPECT_EQ(s.Called("RegisterDevice"), c.registers) << c.certificates << "/" << c.registered;
        EXPECT_EQ(s.Logged("INFO Registering device with UIDAI."), c.registers);
        EXPECT_EQ(s.Logged("INFO Device is registered with UIDAI."), c.asksRegistered && !c.registers);
    }
}

TEST_F(DiscoveryPass, UnplugDisconnectsAndReplugConnectsAgain) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    ASSERT_TRUE(link.connected);

    scanner.Clear();
    ttys.clear();
    Pass();
    EXPECT_FALSE(link.connected);
    EXPECT_EQ(scanner.calls, std::vector<std::string>{"DisconnectDevice"});
    EXPECT_TRUE(scanner.Logged("INFO Device disconnected."));

    // Nothing attached and nothing connected: a pass does nothing at all.
    scanner.Clear();
    Pass();
    EXPECT_TRUE(scanner.calls.empty());

    ttys = {Tty("/dev/ttyACM1", kTr, "8230")};
    Pass();
    EXPECT_TRUE(link.connected);
    EXPECT_EQ(link.portPath, "/dev/ttyACM1");
    EXPECT_TRUE(scanner.Called("ConnectDevice /dev/ttyACM1"));
}

TEST_F(DiscoveryPass, ReEnumerationBetweenModes) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    ASSERT_TRUE(link.connected);

    // Normal -> update firmware within one pass.
    scanner.Clear();
    ttys = {Tty("/dev/ttyACM0", Upper(kTr), "8240")};
    Pass();
    EXPECT_TRUE(link.connected);
    EXPECT_TRUE(link.updateMode);
    EXPECT_FALSE(link.applicationMode);
    EXPECT_FALSE(link.isBRX500);
    EXPECT_EQ(link.serialNumber, "OEM77");
    const std::vector<std::string> update = {"DisconnectDevice", "ConnectDevice /dev/ttyACM0",
                                             "GetOEMDeviceSerialNumber"};
    EXPECT_EQ(scanner.calls, update);
    EXPECT_TRUE(scanner.Logged("INFO Device disconnected."));
    EXPECT_TRUE(scanner.Logged("INFO Device Connected in Update Mode: /dev/ttyACM0\tSERIAL NUMBER: OEM77"));

    scanner.Clear();
    Pass();
    EXPECT_TRUE(scanner.calls.empty()) << "same mode, nothing to do";

    // And back to the normal firmware.
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    EXPECT_TRUE(link.applicationMode);
    EXPECT_FALSE(link.updateMode);
    EXPECT_TRUE(scanner.Called("GetDeviceSerialNumber"));
    EXPECT_EQ(link.serialNumber, "SN0042");
}

TEST_F(DiscoveryPass, UpdateFirmwareUnderNormalProductIdReconnectsEveryPass) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    scanner.modelId = "xxOEMRXMODExx";
    Pass();
    EXPECT_TRUE(link.updateMode);
    EXPECT_FALSE(link.applicationMode);
    EXPECT_TRUE(scanner.Called("GetOEMDeviceSerialNumber"));
    EXPECT_FALSE(scanner.Called("GetDeviceSerialNumber"));

    scanner.Clear();
    Pass();
    const std::vector<std::string> again = {"DisconnectDevice", "ConnectDevice /dev/ttyACM0",
                                            "GetDeviceModelId", "GetOEMDeviceSerialNumber"};
    EXPECT_EQ(scanner.calls, again);

    // Once the model identifier is normal again, the normal sequence runs and passes go quiet.
    scanner.modelId = "TR460U L1";
    Pass();
    EXPECT_TRUE(link.applicationMode);
    scanner.Clear();
    Pass();
    EXPECT_TRUE(scanner.calls.empty());
}

TEST_F(DiscoveryPass, OnlyTheFirstSupportedScannerIsUsed) {
    ttys = {Tty("/dev/ttyUSB0", "0403", "6001"), Tty("/dev/ttyACM0", kBrx, "8230"),
            Tty("/dev/ttyACM1", kTr, "8230")};
    Pass();
    EXPECT_EQ(link.portPath, "/dev/ttyACM0");
    EXPECT_TRUE(link.isBRX500);

    scanner.Clear();
    ttys.pop_back();  // the second scanner goes away
    Pass();
    EXPECT_TRUE(scanner.calls.empty());
    EXPECT_TRUE(link.connected);
}

TEST_F(DiscoveryPass, NewNodeInTheSameModeIsANewLink) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    scanner.Clear();
    ttys = {Tty("/dev/ttyACM1", kTr, "8230")};
    Pass();
    EXPECT_TRUE(scanner.Called("DisconnectDevice"));
    EXPECT_TRUE(scanner.Called("ConnectDevice /dev/ttyACM1"));
    EXPECT_EQ(link.portPath, "/dev/ttyACM1");
}

TEST_F(DiscoveryPass, FailedConnectionIsReportedAndRetried) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    scanner.connectSucceeds = false;
    Pass();
    EXPECT_FALSE(link.connected);
    EXPECT_TRUE(scanner.Logged("ERROR Device discovered but connection failed => /dev/ttyACM0"));
    EXPECT_EQ(scanner.calls, std::vector<std::string>{"ConnectDevice /dev/ttyACM0"});

    scanner.connectSucceeds = true;
    Pass();
    EXPECT_TRUE(link.connected);
    EXPECT_TRUE(scanner.Called("GetDeviceSerialNumber"));
}

TEST_F(DiscoveryPass, BusyScannerIsLeftAlone) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    busy = true;  // a request holds the scanner
    Pass();
    EXPECT_TRUE(scanner.calls.empty());
    EXPECT_FALSE(link.connected);
    EXPECT_TRUE(busy) << "the request's flag must stay set";

    busy = false;
    Pass();
    ASSERT_TRUE(link.connected);

    // Unplugged while a request runs: the disconnect waits for the request to end.
    scanner.Clear();
    ttys.clear();
    busy = true;
    Pass();
    EXPECT_TRUE(link.connected);
    EXPECT_TRUE(scanner.calls.empty());
    busy = false;
    Pass();
    EXPECT_FALSE(link.connected);
}

TEST_F(DiscoveryPass, EnumerationFailuresAndBrokenEntries) {
    enumeration = EnumerationResult::NoContext;
    Pass();
    enumeration = EnumerationResult::NoEnumerator;
    Pass();
    EXPECT_TRUE(scanner.Logged("ERROR Failed to initialize UDEV"));
    EXPECT_TRUE(scanner.Logged("ERROR Failed to create UDEV enumeration"));
    EXPECT_EQ(scanner.notes.size(), 2u);

    enumeration = EnumerationResult::Ok;
    ttys = {Tty("", kTr, "8230")};
    Pass();
    EXPECT_FALSE(link.connected);
    EXPECT_TRUE(scanner.calls.empty());
    EXPECT_FALSE(busy);
}

TEST_F(DiscoveryPass, FirmwareUpgradeFlowsThroughBothModes) {
    scanner.firmware = true;
    scanner.firmwareFound = true;
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    EXPECT_TRUE(link.firmwareUpgradePending);
    EXPECT_TRUE(scanner.Called("StartFirmwareUpgradeProcess false"));
    EXPECT_EQ(scanner.calls.back(), "ChangeMode");

    // The scanner comes back in update mode: the pending image is flashed.
    scanner.Clear();
    ttys = {Tty("/dev/ttyACM0", kTr, "8240")};
    Pass();
    EXPECT_EQ(scanner.calls.back(), "UpgradeDeviceFirmware");
    EXPECT_FALSE(scanner.Called("CheckForFirmwareUpgradeEx"));
    EXPECT_FALSE(link.firmwareUpgradePending);

    // Nothing newer: the normal sequence says so.
    scanner.firmwareFound = false;
    link.firmwarePackagePath.clear();
    scanner.Clear();
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    EXPECT_TRUE(scanner.Logged("INFO Fimware upgrade NOT required."));
    EXPECT_FALSE(scanner.Called("ChangeMode"));

    // Update mode without a pending upgrade tells the support tool.
    scanner.Clear();
    ttys = {Tty("/dev/ttyACM0", kTr, "8240")};
    Pass();
    EXPECT_TRUE(scanner.Called("SupportTool Firmware upgrade NOT required!\r\n"));
}

TEST_F(DiscoveryPass, WithoutFirmwareSupportTheSequencesEndEarly) {
    ttys = {Tty("/dev/ttyACM0", kTr, "8230")};
    Pass();
    EXPECT_FALSE(scanner.Called("CheckForFirmwareUpgradeEx"));
    ttys = {Tty("/dev/ttyACM0", kTr, "8240")};
    Pass();
    EXPECT_FALSE(scanner.Called("CheckForFirmwareUpgradeEx"));
    EXPECT_FALSE(scanner.Called("UpgradeDeviceFirmware"));
}

namespace {

// Counts passes and lets the test wait for a given count.
class PassCounter {
public:
    void Tick() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    void WaitFor(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ >= n; }))
            << "the monitoring loop stopped making passes";
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

}  // namespace

TEST(MonitoringThread, RunsPassesReportsFailuresAndStops) {
    Device_Comm_Mgmt link(nullptr);
    std::atomic<bool> busy{false};
    std::atomic<bool> stop{false};
    RecordingScanner scanner(link, busy);
    PassCounter passes;
    std::atomic<int> throwKind{0};
    DeviceDiscovery discovery(link, busy, scanner, [&](std::vector<TtyCandidate>& out) {
        out.clear();
        const int kind = throwKind.exchange(0);
        passes.Tick();
        if (kind == 1) throw std::runtime_error("boom");
        if (kind == 2) throw 42;
        return EnumerationResult::Ok;
    });
    DeviceMonitoringContext context;
    context.discovery = &discovery;
    context.stop = &stop;
    context.interval = std::chrono::milliseconds(1);

    throwKind = 1;
    std::thread thread([&] { EXPECT_EQ(StartDeviceMonitoring(&context), nullptr); });
    passes.WaitFor(2);  // the loop survived the exception
    throwKind = 2;
    // The pass that takes the request to throw may already be under way; two passes after
    // this point, the throw has been handled whichever pass took it.
    passes.WaitFor(passes.Count() + 2);
    stop = true;
    thread.join();

    std::lock_guard<std::mutex> lock(scanner.mutex);
    EXPECT_NE(std::find(scanner.logs.begin(), scanner.logs.end(),
                        "ERROR Error while processing Device Monitoring task: boom"),
              scanner.logs.end());
    EXPECT_NE(std::find(scanner.notes.begin(), scanner.notes.end(),
                        "Error while processing Device Monitoring task: Fatal Error"),
              scanner.notes.end());
}

TEST(MonitoringThread, StopsAtOnceWhenTheStopFlagIsAlreadySet) {
    Device_Comm_Mgmt link(nullptr);
    std::atomic<bool> busy{false};
    std::atomic<bool> stop{true};
    RecordingScanner scanner(link, busy);
    int enumerations = 0;
    DeviceDiscovery discovery(link, busy, scanner, [&](std::vector<TtyCandidate>& out) {
        out.clear();
        ++enumerations;
        return EnumerationResult::Ok;
    });
    DeviceMonitoringContext context;
    context.discovery = &discovery;
    context.stop = &stop;
    context.interval = std::chrono::hours(1);  // a pause that never ends would hang the test
    EXPECT_EQ(StartDeviceMonitoring(&context), nullptr);
    EXPECT_EQ(enumerations, 0);
    EXPECT_EQ(StartDeviceMonitoring(nullptr), nullptr);
}
