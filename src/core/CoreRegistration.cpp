// Device registration: the registration check from the scanner's model certificate, the
// registration exchange between scanner and management server, and REGISTER_DEV.
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "core/CoreInternal.h"
#include "core/CoreSupport.h"
#include "net/VELM_HTTP_Helper.h"
#include "service/Commons.h"
#include "service/Logger.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"
#include "velm_provision.h"

namespace {

constexpr const char* kRegistrationPath = "/TR460_REGISTRATION_SERVICE/TR460REGNew.asmx";
constexpr const char* kRegistrationAction = "RegisterDevice3";

std::string RegistrationAnswer(const std::string& outcome) {
    return std::string("<RegisterDeviceResp ") + velm::core::kXmlNamespaces + outcome + "/>";
}

std::string RegistrationRequestBody(const std::string& requestData) {
    std::string body;
    body += "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tem=\"";
    body += velm::provision::kNamespace_registration;
    body += "\">";
    body += "<soapenv:Header/><soapenv:Body><tem:RegisterDevice3>";
    body += "<tem:argReqData>" + requestData + "</tem:argReqData>";
    body += "<tem:argCallVersion>1.0</tem:argCallVersion>";
    body += "<tem:argFCMId>NA</tem:argFCMId>";
    body += "<tem:argDeviceDetails>Linux</tem:argDeviceDetails>";
    body += "</tem:RegisterDevice3></soapenv:Body></soapenv:Envelope>";
    return body;
}

// Sets a flag for the lifetime of the guard; every way out clears it.
class RunningFlag {
public:
    explicit RunningFlag(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
    ~RunningFlag() { flag_.store(false); }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

private:
    std::atomic<bool>& flag_;
};

}  // namespace

int VELM_Core_Helper::IsDeviceRegistered(bool skipExpiryCheck) {
    const std::string prefix = "Device Registration Check Error: ";
    try {
        if (!velm::core::ScannerConnected(*this)) {
            Logger::log(WARNING, prefix + "L1 device not connected.");
            Commons::ShowNotification(prefix + "L1 device not connected.");
            return 0;
        }
        const std::string certText = device->GetDeviceModelCertificate();
        const std::vector<uint8_t> der = velm::core::DecodeBase64Bounded(certText, certText.size());
        if (der.empty()) {
            Logger::log(ERROR, prefix + "Can't get device certificate data from device.");
            Commons::ShowNotification(prefix + "Can't get device certificate data from device.");
            return 0;
        }
        time_t expiry = 0;
        if (!velm::core::ReadCertificateNotAfter(der.data(), der.size(), expiry)) {
            Logger::log(ERROR, prefix + "Can't parse device certificate. May be invalid data.");
            Commons::ShowNotification(prefix + "Can't parse device certificate. May be invalid data.");
            return 0;
        }
        if (skipExpiryCheck) return 1;
        return velm::core::ClassifyCertificateExpiry(difftime(time(nullptr), expiry));
    } catch (const std::exception& e) {
        Logger::log(ERROR, std::string("Error while checking device registration: ") + e.what());
    } catch (...) {
        Logger::log(ERROR, "Error while checking device registration: Fatal Error");
    }
    return 0;
}

bool VELM_Core_Helper::RegisterDevice() {
    const std::string prefix = "Device Registration Process Error: ";
    RunningFlag running(registrationRunning);
    try {
        if (!velm::core::ScannerConnected(*this)) {
            Logger::log(WARNING, prefix + "L1 device not connected.");
            return false;
        }
        std::string request;
        {
            auto link = device->LockLink();
            const std::vector<std::string> record = utils->Split(device->GetDeviceTime(), ",");
            if (record.size() != 8) {
                Logger::log(ERROR, prefix + "Invalid details received from device.");
                return false;
            }
            request = device->StartDeviceRegistrationProcess(record[2]);
        }
        if (request.find("FAIL") != std::string::npos) {
            Logger::log(ERROR, prefix + "Can't generate registration request from device.[" + request + "]");
            return false;
        }
        const std::string data = "4," + request;
        const std::string reqData = utils->ConvertToBase64(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        const std::string answer = http->SendRequestToServer(velm::profile::Get().serverOrigin + kRegistrationPath,
                                                             kRegistrationAction, RegistrationRequestBody(reqData));
        const velm::net::SoapAnswer soap = velm::net::ParseSoapAnswer(answer, kRegistrationAction);
        const std::string& resultText = soap.text;
        if (!soap.ok()) {
            Logger::log(ERROR, prefix + "Invalid response received from server " +
                                   std::to_string(static_cast<int>(soap.step)) + ".");
            return false;
        }
        std::string trimmed = resultText;
        if (utils->trim(trimmed).empty()) {
            // Nothing the device could take.
            Logger::log(ERROR, prefix + "Invalid response received from server 5.");
            return false;
        }
        const velm::core::SpoofSettingsText received = velm::core::SpoofSettingsFromResult(resultText);
        if (!device->CompleteDeviceRegistrationProcess(resultText)) {
            Logger::log(ERROR, prefix + "Device found this response data invalid.");
            return false;
        }
        Logger::log(DEBUG, "Device Registration Process: Device registration process complete.");
        const velm::core::SpoofSettingsText kept = velm::core::ApplySpoofSettingRanges(received);
        utils->WriteParametersToConfigFile(
            {{"ATTEMPT", kept.attempt}, {"TIMELOCK", kept.timelock}, {"LEVEL", kept.level}});
        maxSpoofAttempts.store(velm::core::TextToInt(kept.attempt));
        lockMinutes.store(velm::core::TextToInt(kept.timelock));
        return true;
    } catch (const std::exception& e) {
        Logger::log(ERROR, std::string("Error while registering device: ") + e.what());
    } catch (...) {
        Logger::log(ERROR, "Error while registering device: Fatal Error");
    }
    return false;
}

std::string VELM_Core_Helper::ProcessRegistrationRequest() {
    if (!TryAcquireDevice())
        return RegistrationAnswer("isregsuccess=\"false\" error=\"RD Service is busy with other request.\" ");
    velm::core::DeviceUseGuard release(*this, true);

    if (!velm::core::ScannerConnected(*this))
        return RegistrationAnswer("isregsuccess=\"false\" error=\"L1 Device not connected.\" ");

    bool registered = false;
    try {
        registered = RegisterDevice();
    } catch (...) {
        registered = false;
    }
    return registered ? RegistrationAnswer("isregsuccess=\"true\" error=\"\" ")
                      : RegistrationAnswer("isregsuccess=\"false\" error=\"Registration failed.\" ");
}
