// Service state of the RD service logic and the RDSERVICE discovery document.
#include "core/VELM_Core_Helper.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "device/Device_Comm_Mgmt.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"

namespace {

constexpr int64_t kTwoDays = 172800;

// Integer of a stored setting, read like strtol with base 10 (no digits: 0).
long StoredInteger(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

}  // namespace

VELM_Core_Helper::VELM_Core_Helper(Device_Comm_Mgmt* device, VELM_HTTP_Helper* http, VELM_Utils* utils,
                                   VELM_Secure_Helper* secure)
    : device(device),
      http(http),
      utils(utils),
      secure(secure),
      stageCertPath(velm::profile::InstallPath("uidai_stage_l1.cer")),
      prodCertPath(velm::profile::InstallPath("uidai_prod_l1.cer")),
      preprodCertPath(velm::profile::InstallPath("uidai_preprod_l1.cer")) {
    lastSpoofCheck = static_cast<int64_t>(std::time(nullptr)) - kTwoDays;
    if (utils == nullptr) return;
    // Runs while the process-wide objects are created: before the log is open and possibly
    // before the installation directory exists. A missing store reads as empty everywhere.
    try {
        const std::string attempt = utils->ReadParameterFromConfigFile("ATTEMPT");
        const std::string timelock = utils->ReadParameterFromConfigFile("TIMELOCK");
        const std::string spoofAttempt = utils->ReadParameterFromConfigFile("SPOOF_ATTEMPT");
        const std::string lastCheck = utils->ReadParameterFromConfigFile("LAST_SPOOF_CHECK");

        const long a = StoredInteger(attempt);
        maxSpoofAttempts = (a >= 5 && a <= 99) ? static_cast<int32_t>(a) : 99;
        const long t = StoredInteger(timelock);
        lockMinutes = (t >= 5 && t <= 44) ? static_cast<int32_t>(t) : 15;
        spoofAttempts = spoofAttempt.empty() ? 0 : static_cast<int32_t>(StoredInteger(spoofAttempt));

        lastSpoofCheck = static_cast<int64_t>(std::time(nullptr)) - kTwoDays;
        if (!lastCheck.empty()) {
            time_t parsed = 0;
            if (utils->GetTimeFromString(lastCheck, "%Y-%m-%d %H:%M:%S", false, parsed))
                lastSpoofCheck = static_cast<int64_t>(parsed);
        }
    } catch (...) {
        // Defaults stay in force.
    }
}

VELM_Core_Helper::~VELM_Core_Helper() = default;

std::string VELM_Core_Helper::ProcessRDInfoRequest() {
    const char* status = "READY";
    if (deviceInUse.load()) {
        std::fputs("RD BUSY\n", stdout);
        std::fflush(stdout);
        status = "USED";
    } else if (device == nullptr || !device->connected.load()) {
        status = "NOTREADY";
    }
    return std::string(
               "<RDService xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
               "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" status=\"") +
           status +
           "\" info=\"RD service for L1 provided by Velmora\"><Interface id=\"CAPTURE\" path=\"/rd/capture\" />"
           "<Interface id=\"DEVICEINFO\" path=\"/rd/info\" /></RDService>";
}
