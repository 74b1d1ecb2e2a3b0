// The service's server: RD operations answered by VELM_Core_Helper. Kept apart from the server
// itself so that the server can be linked without the RD service logic.
#include "core/VELM_Core_Helper.h"
#include "server/VELM_Local_Server_Handler.h"
#include "service/VELM_Utils.h"

namespace {

class CoreOperations : public VELM_RD_Operations {
public:
    CoreOperations(VELM_Core_Helper* core, VELM_Utils* utils) : core_(core), utils_(utils) {}

    std::string RDInfo() override { return core_->ProcessRDInfoRequest(); }
    std::string DeviceInfo() override { return core_->ProcessDeviceInfoRequest(false, std::string(), false); }
    std::string Capture(const std::string& pidOptions, time_t lastCheckTime) override {
        return core_->ProcessCaptureRequest(pidOptions, lastCheckTime);
    }
    std::string RegisterDevice() override { return core_->ProcessRegistrationRequest(); }
    std::string ToUpper(const std::string& text) override { return utils_->to_upper(text); }

private:
    VELM_Core_Helper* core_;
    VELM_Utils* utils_;
};

}  // namespace

VELM_Local_Server_Handler::VELM_Local_Server_Handler(Device_Comm_Mgmt* /*device*/, VELM_HTTP_Helper* /*http*/,
                                                     VELM_Utils* utils, VELM_Secure_Helper* /*secure*/,
                                                     VELM_Core_Helper* core, bool localhostOriginOnly)
    : VELM_Local_Server_Handler(nullptr, localhostOriginOnly, Ports{}) {
    ownedOperations_ = std::make_unique<CoreOperations>(core, utils);
    operations_ = ownedOperations_.get();
}
