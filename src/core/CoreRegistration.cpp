// REGISTER_DEV: the RegisterDeviceResp answer.
#include <string>

#include "core/CoreInternal.h"

namespace {

std::string RegistrationAnswer(const std::string& outcome) {
    return std::string("<RegisterDeviceResp ") + velm::core::kXmlNamespaces + outcome + "/>";
}

}  // namespace

std::string VELM_Core_Helper::ProcessRegistrationRequest() {
    if (!TryAcquireDevice())
        return RegistrationAnswer("isregsuccess=\"false\" error=\"RD Service is busy with other request.\" ");
    velm::core::DeviceUseGuard release(*this, true);

    if (!velm::core::ScannerConnected(*this))
        return RegistrationAnswer("isregsuccess=\"false\" error=\"L1 Device not connected.\" ");

    // Connected scanner: the registration exchange with the device and the management server
    // is not built yet; until it is, the request reports a failed registration.
    return RegistrationAnswer("isregsuccess=\"false\" error=\"Registration failed.\" ");
}
