// CAPTURE: the PidData answer.
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/CoreInternal.h"

namespace {

const char* const kPidDataHead =
    "<PidData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" >";

// An error Resp followed by the empty device, data, key and hmac elements.
std::string ErrorPart(const std::string& code, const std::string& info) {
    return "<Resp fType=\"\" iCount=\"\" iType=\"\" pCount=\"\" errCode=\"" + code + "\" errInfo=\"" + info +
           "\" fCount=\"\" nmPoints=\"\" qScore=\"\"/>" + "<DeviceInfo /><Data /><SKey /><Hmac />";
}

}  // namespace

std::string VELM_Core_Helper::ProcessCaptureRequest(std::string pidOptions, time_t lastCheckTime) {
    (void)pidOptions;
    (void)lastCheckTime;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    std::string doc = kPidDataHead;

    // Exactly one request uses the scanner; every other one is answered at once.
    if (!TryAcquireDevice()) return doc + ErrorPart("710", "Being used by another application") + "</PidData>";
    velm::core::DeviceUseGuard release(*this, true);

    if (!velm::core::ScannerConnected(*this)) {
        doc += ErrorPart("720", "Device not ready. Please connect Fingerprint Scanner");
    } else {
        // Connected scanner: option validation, lock-out, registration and clock checks, the
        // finger loop and the PID block are not built yet; until they are, the capture fails.
        doc += ErrorPart("730", "Capture failed.");
    }

    // Closing step of every capture: the final registration check (which only logs) joins
    // here with the registration work; the busy flag is cleared by the guard.
    return doc + "</PidData>";
}
