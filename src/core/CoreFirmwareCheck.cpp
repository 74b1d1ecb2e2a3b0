// Whether the server's firmware version is newer than the scanner's.
#include <string>

#include "core/CoreSupport.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"

bool VELM_Core_Helper::IsFirmwareUpgradeRequired(std::string serverVersion) {
    long server = 0, scanner = 0;
    const std::string current = device->firmwareVersion;
    if (!velm::core::ParseFirmwareVersionNumber(serverVersion, server)) return false;
    if (!velm::core::ParseFirmwareVersionNumber(current, scanner)) return false;
    return scanner < server;
}
