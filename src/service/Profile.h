#pragma once
// Compile-time profile: every fixed path and origin of the service comes from here.
// The production and dev executables link different built-in profiles; nothing is read
// from the environment or the command line.
#include <string>

namespace velm::profile {

struct Profile {
    std::string name;              // "production" or "dev"
    std::string installDir;        // installation directory, no trailing slash
    std::string trustStoreDir;     // system CA directory that receives the local CA at server start
    std::string trustStoreCaFile;  // file name of the local CA inside installDir and trustStoreDir
    std::string serverOrigin;      // management server origin, "https://host[:port]", no trailing slash
    std::string serverCaBundle;    // extra CA bundle trusted for the management server ("" = system store only)
    std::string signingPublicKeyPem;  // public key that signs the server's certificate answers
};

// The profile in force.
const Profile& Get();

// installDir + "/" + name.
std::string InstallPath(const std::string& name);

// Test support only: replaces the built-in profile for the rest of the process.
// Call before any other thread runs; the service itself never calls it.
void OverrideForTesting(const Profile& profile);
// The built-in profile this binary was compiled with.
Profile BuiltIn();

}  // namespace velm::profile
