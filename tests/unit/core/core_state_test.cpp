// Service state: anti-spoof settings from the store, the RDSERVICE document, and the busy and
// no-scanner answers of DEVICEINFO, CAPTURE and REGISTER_DEV.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "IndiaTime.h"
#include "TempInstallRoot.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "service/VELM_Utils.h"

namespace {

const std::string kNs =
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" ";

std::string RdServiceDoc(const std::string& status) {
    return "<RDService xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" status=\"" +
           status +
           "\" info=\"RD service for L1 provided by Velmora\"><Interface id=\"CAPTURE\" path=\"/rd/capture\" />"
           "<Interface id=\"DEVICEINFO\" path=\"/rd/info\" /></RDService>";
}

std::string FixedDeviceInfo(bool withNs, const std::string& error) {
    return "<DeviceInfo " + (withNs ? kNs : std::string()) +
           "dpId=\"DAVIRON.VELM\" rdsId=\"RENESAS.VELM.001\" rdsVer=\"1.3.5\" dc=\"\" mi=\"TR460U L1\" mc=\"\" error=\"" +
           error + "\" ><Additional_Info/></DeviceInfo>";
}

std::string PidError(const std::string& code, const std::string& info) {
    return "<PidData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" >"
           "<Resp fType=\"\" iCount=\"\" iType=\"\" pCount=\"\" errCode=\"" +
           code + "\" errInfo=\"" + info +
           "\" fCount=\"\" nmPoints=\"\" qScore=\"\"/><DeviceInfo /><Data /><SKey /><Hmac /></PidData>";
}

std::string RegistrationDoc(const std::string& outcome) { return "<RegisterDeviceResp " + kNs + outcome + "/>"; }

class CoreState : public ::testing::Test {
protected:
    void SetUp() override { root.MakeInstallDir(); }
    TempInstallRoot root;
    VELM_Utils utils;
    Device_Comm_Mgmt device{&utils};
};

}  // namespace

TEST_F(CoreState, DefaultsWithoutStore) {
    std::filesystem::remove_all(root.installDir());  // not even the directory exists yet
    const int64_t before = std::time(nullptr);
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    const int64_t after = std::time(nullptr);
    EXPECT_EQ(core.maxSpoofAttempts.load(), 99);
    EXPECT_EQ(core.lockMinutes.load(), 15);
    EXPECT_EQ(core.spoofAttempts.load(), 0);
    EXPECT_GE(core.lastSpoofCheck.load(), before - 172800);
    EXPECT_LE(core.lastSpoofCheck.load(), after - 172800);
    EXPECT_FALSE(core.deviceInUse.load());
    EXPECT_FALSE(core.registrationRunning.load());
    EXPECT_FALSE(core.deviceTimeUpdateRunning.load());
    EXPECT_FALSE(core.spoofReported.load());
    EXPECT_TRUE(core.fingerPositions.empty());
    EXPECT_EQ(core.stageCertPath, root.path("uidai_stage_l1.cer"));
    EXPECT_EQ(core.prodCertPath, root.path("uidai_prod_l1.cer"));
    EXPECT_EQ(core.preprodCertPath, root.path("uidai_preprod_l1.cer"));
}

TEST_F(CoreState, AntiSpoofSettingsFromStore) {
    struct Case {
        std::string attempt, timelock, spoof;
        int wantAttempt, wantLock, wantSpoof;
    } cases[] = {
        {"3", "60", "2", 99, 15, 2},
        {"5", "44", "0", 5, 44, 0},
        {"99", "5", "-4", 99, 5, -4},  // no range check on the counter
        {"4", "4", "", 99, 15, 0},
        {"100", "45", "7x", 99, 15, 7},
        {" 12abc", "+20", "abc", 12, 20, 0},  // strtol: blanks and sign accepted, stops at a non-digit
        {"", "", "", 99, 15, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attempt + "/" + c.timelock + "/" + c.spoof);
        utils.WriteParameterDataToConfigFile("ATTEMPT", c.attempt);
        utils.WriteParameterDataToConfigFile("TIMELOCK", c.timelock);
        utils.WriteParameterDataToConfigFile("SPOOF_ATTEMPT", c.spoof);
        VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
        EXPECT_EQ(core.maxSpoofAttempts.load(), c.wantAttempt);
        EXPECT_EQ(core.lockMinutes.load(), c.wantLock);
        EXPECT_EQ(core.spoofAttempts.load(), c.wantSpoof);
    }
}

TEST_F(CoreState, LastSpoofCheckFromStoreAsLocalTime) {
    velm::test::IndiaTime ist;
    utils.WriteParameterDataToConfigFile("LAST_SPOOF_CHECK", "2026-01-02 03:04:05");
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    EXPECT_EQ(core.lastSpoofCheck.load(), 1767303245) << "local time, without the 5:30 offset";
}

TEST_F(CoreState, RdServiceDocuments) {
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    EXPECT_EQ(core.ProcessRDInfoRequest(), RdServiceDoc("NOTREADY"));

    device.connected = true;
    EXPECT_EQ(core.ProcessRDInfoRequest(), RdServiceDoc("READY"));

    ASSERT_TRUE(core.TryAcquireDevice());
    testing::internal::CaptureStdout();
    EXPECT_EQ(core.ProcessRDInfoRequest(), RdServiceDoc("USED"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RD BUSY\n");
    EXPECT_TRUE(core.deviceInUse.load()) << "RDSERVICE never touches the flag";
    core.ReleaseDevice();

    VELM_Core_Helper noDevice(nullptr, nullptr, &utils, nullptr);
    EXPECT_EQ(noDevice.ProcessRDInfoRequest(), RdServiceDoc("NOTREADY"));
}

TEST_F(CoreState, BusyAnswersLeaveTheHolderInCharge) {
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    device.connected = true;
    ASSERT_TRUE(core.TryAcquireDevice());  // a running capture holds the scanner

    EXPECT_EQ(core.ProcessDeviceInfoRequest(false, "", false),
              FixedDeviceInfo(true, "RD Service is currently busy with other requests."));
    EXPECT_TRUE(core.deviceInUse.load());
    EXPECT_EQ(core.ProcessCaptureRequest("<PidOptions/>", 0), PidError("710", "Being used by another application"));
    EXPECT_TRUE(core.deviceInUse.load());
    EXPECT_EQ(core.ProcessRegistrationRequest(),
              RegistrationDoc("isregsuccess=\"false\" error=\"RD Service is busy with other request.\" "));
    EXPECT_TRUE(core.deviceInUse.load());
    core.ReleaseDevice();
}

TEST_F(CoreState, NoScannerAnswersReleaseTheFlag) {
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    EXPECT_EQ(core.ProcessDeviceInfoRequest(false, "", false),
              FixedDeviceInfo(true, "Please connect L1 fingerprint scanner device."));
    EXPECT_FALSE(core.deviceInUse.load());
    EXPECT_EQ(core.ProcessCaptureRequest("<PidOptions/>", 0),
              PidError("720", "Device not ready. Please connect Fingerprint Scanner"));
    EXPECT_FALSE(core.deviceInUse.load());
    EXPECT_EQ(core.ProcessRegistrationRequest(),
              RegistrationDoc("isregsuccess=\"false\" error=\"L1 Device not connected.\" "));
    EXPECT_FALSE(core.deviceInUse.load());
}

TEST_F(CoreState, EmbeddedDeviceInfoNeitherTestsNorTouchesTheFlag) {
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    ASSERT_TRUE(core.TryAcquireDevice());  // the capture flow holds the flag itself
    const std::string xml = core.ProcessDeviceInfoRequest(true, "", false);
    EXPECT_EQ(xml, FixedDeviceInfo(false, "Please connect L1 fingerprint scanner device."));
    EXPECT_EQ(xml.rfind("<DeviceInfo dpId=", 0), 0u);
    EXPECT_TRUE(core.deviceInUse.load());
    core.ReleaseDevice();
}

TEST_F(CoreState, ConcurrentRequestsShareOneScanner) {
    // Many requests at once: every answer is either the request's own or its busy form, and
    // the flag is free when all are done.
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    std::atomic<int> busy{0}, served{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const std::string a = core.ProcessCaptureRequest("", 0);
                if (a.find("errCode=\"710\"") != std::string::npos)
                    ++busy;
                else if (a.find("errCode=\"720\"") != std::string::npos)
                    ++served;
                const std::string r = core.ProcessRegistrationRequest();
                if (r.find("busy") != std::string::npos)
                    ++busy;
                else if (r.find("not connected") != std::string::npos)
                    ++served;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(busy + served, 4 * 200 * 2);
    EXPECT_GT(served.load(), 0);
    EXPECT_FALSE(core.deviceInUse.load());
}
