#pragma once
// A private installation directory under the build tree for one test: the profile's paths
// point into it while the object lives, and it is removed afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "service/Profile.h"

class TempInstallRoot {
public:
    TempInstallRoot() {
        const std::filesystem::path base = std::filesystem::path(VELM_BINARY_DIR) / "test-roots";
        std::filesystem::create_directories(base);
        std::string tmpl = (base / "root.XXXXXX").string();
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = name.data();
        velm::profile::Profile p = velm::profile::BuiltIn();
        p.installDir = root_ + "/opt/VELM_L1_RD_Service";
        p.trustStoreDir = root_ + "/ca-certificates";
        velm::profile::OverrideForTesting(p);
    }
    ~TempInstallRoot() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempInstallRoot(const TempInstallRoot&) = delete;
    TempInstallRoot& operator=(const TempInstallRoot&) = delete;

    const std::string& root() const { return root_; }
    std::string installDir() const { return velm::profile::Get().installDir; }
    std::string path(const std::string& name) const { return velm::profile::InstallPath(name); }
    void MakeInstallDir() const { std::filesystem::create_directories(installDir()); }

private:
    std::string root_;
};
