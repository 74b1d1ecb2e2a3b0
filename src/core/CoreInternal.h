#pragma once
// Pieces shared by the RD API operations of VELM_Core_Helper.
#include <string>

#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "service/VELM_Utils.h"

namespace velm::core {

inline constexpr const char* kXmlNamespaces =
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" ";

// Clears the busy flag on every way out of a request that took it.
class DeviceUseGuard {
public:
    DeviceUseGuard(VELM_Core_Helper& core, bool active) : core_(core), active_(active) {}
    ~DeviceUseGuard() {
        if (active_) core_.ReleaseDevice();
    }
    DeviceUseGuard(const DeviceUseGuard&) = delete;
    DeviceUseGuard& operator=(const DeviceUseGuard&) = delete;

private:
    VELM_Core_Helper& core_;
    bool active_;
};

// A copy of text without surrounding white space.
inline std::string Trimmed(const VELM_Utils& utils, std::string text) {
    utils.trim(text);
    return text;
}

inline bool ScannerConnected(const VELM_Core_Helper& core) {
    return core.device != nullptr && core.device->connected.load();
}

}  // namespace velm::core
