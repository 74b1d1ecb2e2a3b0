#pragma once
// The local RD API server: plain and TLS HTTP on the first free port of 11100-11120 and on
// port 11200, loopback only.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

class Device_Comm_Mgmt;
class VELM_HTTP_Helper;
class VELM_Utils;
class VELM_Secure_Helper;
class VELM_Core_Helper;

class VELM_Local_Server_Handler {
public:
    VELM_Local_Server_Handler(Device_Comm_Mgmt* device, VELM_HTTP_Helper* http, VELM_Utils* utils,
                              VELM_Secure_Helper* secure, VELM_Core_Helper* core, bool localhostOriginOnly);
    virtual ~VELM_Local_Server_Handler();

    bool StartRDServiceServer();
    bool StopRDServiceServer();
    void UpdateLastCheckTime(time_t seconds);
    int CurrentPort() const;
};
