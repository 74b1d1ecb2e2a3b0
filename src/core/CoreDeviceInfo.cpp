// The DeviceInfo element: the DEVICEINFO answer and the element embedded in PidData.
#include <string>

#include "core/CoreInternal.h"

namespace {

// The element used when no device values can be read: fixed identity, an error text and an
// empty information block.
std::string FixedIdentityElement(bool forCapture, const std::string& error) {
    std::string xml = "<DeviceInfo ";
    if (!forCapture) xml += velm::core::kXmlNamespaces;
    xml += "dpId=\"DAVIRON.VELM\" rdsId=\"RENESAS.VELM.001\" rdsVer=\"1.3.5\" dc=\"\" mi=\"TR460U L1\" ";
    xml += "mc=\"\" error=\"" + error + "\" >";
    xml += "<Additional_Info/></DeviceInfo>";
    return xml;
}

}  // namespace

std::string VELM_Core_Helper::ProcessDeviceInfoRequest(bool forCapture, std::string liveness, bool skipExpiryCheck) {
    (void)liveness;
    (void)skipExpiryCheck;
    // The RD API call takes the scanner for its whole run; the capture flow already holds it.
    if (!forCapture && !TryAcquireDevice())
        return FixedIdentityElement(false, "RD Service is currently busy with other requests.");
    velm::core::DeviceUseGuard release(*this, !forCapture);

    if (!velm::core::ScannerConnected(*this))
        return FixedIdentityElement(forCapture, "Please connect L1 fingerprint scanner device.");

    // Connected scanner: the identity read from the device, the registration check and the
    // information block are not built yet; until they are, the element says so.
    return FixedIdentityElement(forCapture, "Device information is not available.");
}
