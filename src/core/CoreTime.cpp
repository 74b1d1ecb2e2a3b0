// Host clock from the management server's clock, and the scanner's clock from the host's.
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "core/CoreSupport.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "security/VELM_Secure_Helper.h"
#include "service/RunProgram.h"
#include "service/Commons.h"
#include "service/VELM_Utils.h"

namespace {

// "date -s" is quick; a program that hangs must not hold the caller.
constexpr int kClockCommandTimeoutMs = 10000;

// Clears a flag on every way out.
class FlagGuard {
public:
    explicit FlagGuard(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
    ~FlagGuard() { flag_.store(false); }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    std::atomic<bool>& flag_;
};

}  // namespace

bool VELM_Core_Helper::SetSystemTime(std::string dateText) {
    const std::string prefix = "MSG:Error while setting system time: ";
    try {
        time_t serverTime = 0;
        if (!velm::core::ParseServerDate(dateText, serverTime)) {
            // Setting the clock from a half-parsed date would move it to a wrong time.
            Commons::ShowNotification(prefix + "unrecognised date text.");
            return false;
        }
        const std::string when = velm::core::FormatClockCommandTime(serverTime);
        const int status = velm::RunProgram({"date", "-s", when}, kClockCommandTimeoutMs);
        if (status != 0) {
            Commons::ShowNotification(prefix + "clock command failed (status " + std::to_string(status) + ").");
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        Commons::ShowNotification(prefix + e.what());
    } catch (...) {
        Commons::ShowNotification(prefix + "Fatal error.");
    }
    return false;
}

bool VELM_Core_Helper::SetDeviceTime() {
    const std::string prefix = "MSG:Error while setting device time: ";
    FlagGuard running(deviceTimeUpdateRunning);
    try {
        const std::string stamp = velm::core::BuildDeviceTimeStamp(time(nullptr));

        // The time record, the device code and the request belong together: no other
        // exchange may come between them.
        auto link = device->LockLink();
        const std::string record = device->GetDeviceTime();
        const std::vector<std::string> fields = utils->Split(record, ",");
        if (record.empty() || fields.size() != 8) {
            Commons::ShowNotification(prefix + "Can't get device time.");
            return false;
        }
        std::string code = utils->ReplaceString(device->GetDeviceCode(), "-", "");
        utils->trim(code);
        // The request key takes exactly 16 device-code bytes; a shorter code must not be read
        // past its end.
        if (code.size() != 2 * VELM_Secure_Helper::kDeviceCodeLength) {
            Commons::ShowNotification(prefix + "Can't get device code.");
            return false;
        }
        velm::MallocBuffer codeBytes(utils->HexStringToByteArray(code));
        uint8_t request[VELM_Secure_Helper::kRequestBufferSize];
        const int length = secure->GenerateEncryptedTS(fields[0].c_str(), codeBytes.get(),
                                                       VELM_Secure_Helper::kDeviceCodeLength, stamp.c_str(),
                                                       request, sizeof request);
        if (length < 1) {
            Commons::ShowNotification(prefix + "Can't build the time request (" + std::to_string(length) + ").");
            return false;
        }
        const std::string payload = utils->ConvertToBase64(request, static_cast<size_t>(length));
        deviceTimeUpdateRunning.store(false);
        return device->SetDeviceTime(payload);
    } catch (const std::exception& e) {
        Commons::ShowNotification(prefix + e.what());
    } catch (...) {
        Commons::ShowNotification(prefix + "Fatal error.");
    }
    return false;
}
