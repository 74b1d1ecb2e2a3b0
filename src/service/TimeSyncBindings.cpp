// The time-sync loop's hooks, wired to the service objects.
#include <string>

#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "net/VELM_HTTP_Helper.h"
#include "server/VELM_Local_Server_Handler.h"
#include "service/Commons.h"
#include "service/Logger.h"
#include "service/Profile.h"
#include "service/TimeSync.h"

namespace velm::timesync {

TimeSyncContext BindTimeSync(const std::atomic<bool>* stop, std::atomic<int64_t>* lastTimeCheck,
                             VELM_Core_Helper* core, VELM_HTTP_Helper* http, Device_Comm_Mgmt* device,
                             VELM_Local_Server_Handler* server) {
    TimeSyncContext ctx;
    ctx.stop = stop;
    ctx.deviceBusy = [core] { return core->deviceInUse.load(); };
    ctx.deviceConnected = [device] { return device != nullptr && device->connected.load(); };
    ctx.fetchServerTime = [http] { return http->GetTimeFromServer(velm::profile::Get().serverOrigin + kTimePath); };
    ctx.setSystemTime = [core](const std::string& date) { return core->SetSystemTime(date); };
    ctx.setDeviceTime = [core] {
        // Hold the scanner as a request does, so no capture starts between the clock reading
        // and the time request. A request that got there first checks the scanner clock itself.
        if (!core->TryAcquireDevice()) {
            Logger::log(INFO, "Scanner in use: its clock is left to the running request.");
            return true;
        }
        struct Release {
            VELM_Core_Helper* core;
            ~Release() { core->ReleaseDevice(); }
        } release{core};
        return core->SetDeviceTime();
    };
    ctx.lastCheckTime = [lastTimeCheck] { return static_cast<time_t>(lastTimeCheck->load()); };
    ctx.recordCheck = [lastTimeCheck, server](time_t when) {
        lastTimeCheck->store(static_cast<int64_t>(when));
        if (server != nullptr) server->UpdateLastCheckTime(when);
    };
    ctx.report = [](int level, const std::string& text) {
        Logger::log(level, text);
        Commons::ShowNotification(text);
    };
    return ctx;
}

}  // namespace velm::timesync
