#include "service/Profile.h"

#include <memory>

namespace velm::profile {
namespace {
std::unique_ptr<Profile>& Override() {
    static std::unique_ptr<Profile> p;
    return p;
}
}  // namespace

const Profile& Get() {
    if (Override()) return *Override();
    static const Profile builtIn = BuiltIn();
    return builtIn;
}

std::string InstallPath(const std::string& name) { return Get().installDir + "/" + name; }

void OverrideForTesting(const Profile& profile) { Override() = std::make_unique<Profile>(profile); }

}  // namespace velm::profile
