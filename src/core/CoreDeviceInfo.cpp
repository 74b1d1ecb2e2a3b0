// The DeviceInfo element: the DEVICEINFO answer and the element embedded in PidData.
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "core/CoreSpoof.h"
#include "core/CoreSupport.h"
#include "net/VELM_HTTP_Helper.h"
#include "core/CoreInternal.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "security/VELM_Secure_Helper.h"
#include "service/Logger.h"
#include "service/VELM_Utils.h"

namespace {

// The element used when no device values can be read: fixed identity, an error text and an
// empty information block.
std::string FixedIdentityElement(bool forCapture, const std::string& error) {
    std::string xml = "<DeviceInfo ";
    if (!forCapture) xml += velm::core::kXmlNamespaces;
    xml += "dpId=\"DAVIRON.VELM\" rdsId=\"RENESAS.VELM.001\" rdsVer=\"1.3.5\" dc=\"\" mi=\"TR460U L1\" ";
    xml += "mc=\"\" error=\"" + error + "\" >";  // blank kept between the attributes
    xml += "<Additional_Info/></DeviceInfo>";
    return xml;
}

// name="value" followed by a blank; device texts are escaped so the element stays well formed.
std::string Attribute(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + velm::net::XmlEscape(value) + "\" ";
}

std::string InfoTimeStamp(VELM_Utils& utils) {
    std::string ts = utils.GetStringFromTime(velm::spoof::Now(), "%Y-%m-%d %H:%M:%S");
    size_t blank = ts.find(' ');
    if (blank != std::string::npos) ts[blank] = 'T';
    return ts + "+05:30";
}

}  // namespace

std::string VELM_Core_Helper::ProcessDeviceInfoRequest(bool forCapture, std::string liveness, bool skipExpiryCheck) {
    // The RD API call takes the scanner for its whole run; the capture flow already holds it.
    if (!forCapture && !TryAcquireDevice())
        return FixedIdentityElement(false, "RD Service is currently busy with other requests.");
    velm::core::DeviceUseGuard release(*this, !forCapture);

    if (!device || !utils || !secure || !device->connected.load())
        return FixedIdentityElement(forCapture, "Please connect L1 fingerprint scanner device.");

    try {
        std::string xml = "<DeviceInfo ";
        if (!forCapture) xml += velm::core::kXmlNamespaces;

        const std::string mi = velm::core::Trimmed(*utils, device->GetDeviceModelId());
        const std::string dc = velm::core::Trimmed(*utils, device->GetDeviceCode());
        const std::string dpId = velm::core::Trimmed(*utils, device->GetDeviceProviderId());
        const std::string rdsId = velm::core::Trimmed(*utils, secure->GetRDSID());
        const std::string rdsVer = velm::core::Trimmed(*utils, secure->GetRDSVER());
        std::string mc = velm::core::Trimmed(*utils, device->GetDeviceModelCertificate());

        xml += Attribute("dpId", dpId) + Attribute("rdsId", rdsId) + Attribute("rdsVer", rdsVer) +
               Attribute("dc", dc) + Attribute("mi", mi);

        const int registered = IsDeviceRegistered(skipExpiryCheck);
        if (registered != 1) {
            const bool nowRegistered = RegisterDevice();
            if (!nowRegistered && registered != 2) {
                xml += Attribute("mc", mc) + "error=\"Device registration error.\" >";
                xml += "<Additional_Info/></DeviceInfo>";
                return xml;
            }
            mc = velm::core::Trimmed(*utils, device->GetDeviceModelCertificate());
        }
        xml += Attribute("mc", mc) + "error=\"\" >";

        std::vector<std::pair<const char*, std::string>> entries = {
            {"srno", velm::core::Trimmed(*utils, device->serialNumber)},
            {"sysid", velm::core::Trimmed(*utils, utils->ReadParameterFromConfigFile("Installed_TS"))},
            {"ts", InfoTimeStamp(*utils)},
            {"modality_type", "Finger"},
            {"device_type", "L1"},
            {"FwVer", velm::core::Trimmed(*utils, device->firmwareVersion)},
            {"TamperLevel", device->tamperDetected.load() ? "1" : "0"},
            {"BaseVer", "1.0"},
        };
        if (!liveness.empty()) entries.emplace_back("Liveness", liveness);

        xml += "<Additional_Info>";
        for (const auto& e : entries)
            xml += "<Info name=\"" + std::string(e.first) + "\" value=\"" + velm::net::XmlEscape(e.second) + "\" />";
        xml += "</Additional_Info><additional_info>";
        for (const auto& e : entries)
            xml += "<Param name=\"" + std::string(e.first) + "\" value=\"" + velm::net::XmlEscape(e.second) + "\" />";
        xml += "</additional_info></DeviceInfo>";

        // Only for its log lines and notifications.
        IsDeviceRegistered(skipExpiryCheck);
        return xml;
    } catch (const std::exception& e) {
        Logger::log(ERROR, "Error while processing device information request: " + std::string(e.what()));
    } catch (...) {
        Logger::log(ERROR, "Error while processing device information request: Fatal Error");
    }
    return FixedIdentityElement(forCapture, "Can't read device information.");
}
