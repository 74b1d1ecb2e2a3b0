// Built-in profile values. Compiled once per profile (see the top-level CMakeLists.txt).
#include "service/Profile.h"

#include "velm_provision.h"

namespace velm::profile {

Profile BuiltIn() {
    Profile p;
#if defined(VELM_PROFILE_DEV)
    const std::string root = VELM_DEVROOT;
    p.name = "dev";
    p.installDir = root + "/opt/VELM_L1_RD_Service";
    p.trustStoreDir = root + "/usr/local/share/ca-certificates";
    p.serverOrigin = provision::kServerOrigin_dev;
    p.serverCaBundle = root + "/etc/velm/management-ca.pem";
    p.signingPublicKeyPem = provision::kSigningPublicKey_dev;
#elif defined(VELM_PROFILE_PRODUCTION)
    p.name = "production";
    p.installDir = "/opt/VELM_L1_RD_Service";
    p.trustStoreDir = "/usr/local/share/ca-certificates";
    p.serverOrigin = provision::kServerOrigin_production;
    p.serverCaBundle = "";
    p.signingPublicKeyPem = provision::kSigningPublicKey_production;
#else
#error "compile with VELM_PROFILE_DEV or VELM_PROFILE_PRODUCTION"
#endif
    p.trustStoreCaFile = "velm_localhost_ca.crt";
    return p;
}

}  // namespace velm::profile
