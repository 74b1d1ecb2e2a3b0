#pragma once
// Fixture for the registration, key-rotation and clock tests: the scanner twin on a pty pair
// and the management-server twin on a free loopback port, both in one helper process
// (registration_twins.py), with the real service classes wired to them. The install
// directory is a temporary directory, and a recording `date` stands first on PATH.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "net/VELM_HTTP_Helper.h"
#include "security/VELM_Secure_Helper.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"

extern char** environ;

namespace velm::test {

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The string value of "key" in a flat JSON text (first occurrence), JSON escapes of quotes
// and backslashes undone; empty when absent.
inline std::string JsonString(const std::string& json, const std::string& key) {
    const std::string marker = "\"" + key + "\": \"";
    size_t pos = json.find(marker);
    if (pos == std::string::npos) return "";
    pos += marker.size();
    std::string out;
    for (; pos < json.size() && json[pos] != '"'; ++pos) {
        if (json[pos] == '\\' && pos + 1 < json.size()) {
            ++pos;
            out += json[pos] == 'n' ? '\n' : json[pos] == 'r' ? '\r' : json[pos];
        } else {
            out += json[pos];
        }
    }
    return out;
}

inline std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

class TwinsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = VELM_BINARY_DIR "/tmp_regtwinsXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        installDir_ = root_ + "/install";
        ASSERT_EQ(::mkdir(installDir_.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root_ + "/bin").c_str(), 0755), 0);
        dateLog_ = root_ + "/date.log";
        {
            std::ofstream date(root_ + "/bin/date");
            date << "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\" >> '" << dateLog_ << "'; done\n"
                 << "echo >> '" << dateLog_ << "'\nexit ${DATE_EXIT:-0}\n";
        }
        ::chmod((root_ + "/bin/date").c_str(), 0755);
        const char* oldPath = ::getenv("PATH");
        oldPath_ = oldPath ? oldPath : "/usr/bin:/bin";
        ::setenv("PATH", (root_ + "/bin:" + oldPath_).c_str(), 1);

        StartHost();
        ASSERT_FALSE(tty_.empty()) << "twins did not start";

        auto profile = velm::profile::BuiltIn();
        profile.installDir = installDir_;
        profile.trustStoreDir = root_ + "/ca-certificates";
        profile.serverOrigin = origin_;
        profile.serverCaBundle = ca_;
        velm::profile::OverrideForTesting(profile);

        utils_ = std::make_unique<VELM_Utils>();
        device_ = std::make_unique<Device_Comm_Mgmt>(utils_.get());
        secure_ = std::make_unique<VELM_Secure_Helper>();
        http_ = std::make_unique<VELM_HTTP_Helper>(utils_.get());
        core_ = std::make_unique<VELM_Core_Helper>(device_.get(), http_.get(), utils_.get(), secure_.get());
        device_->portPath = tty_;
        ASSERT_TRUE(device_->ConnectDevice());
        device_->connected = true;
        device_->serialNumber = "VT0000012345";
        device_->firmwareVersion = "2.04";
    }

    void TearDown() override {
        if (device_) device_->DisconnectDevice();
        core_.reset();
        http_.reset();
        secure_.reset();
        device_.reset();
        utils_.reset();
        StopHost();
        ::setenv("PATH", oldPath_.c_str(), 1);
        ::unsetenv("DATE_EXIT");
        RemoveTree(root_);
    }

    // One request to the twins; the JSON answer line.
    std::string Call(const std::string& target, const std::string& op, const std::string& args = "{}") {
        const std::string line = "{\"target\": \"" + target + "\", \"op\": \"" + op + "\", \"args\": " + args + "}\n";
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(toHost_, line.data() + done, line.size() - done);
            if (n <= 0) return "";
            done += static_cast<size_t>(n);
        }
        const std::string answer = ReadLine(30000);
        EXPECT_NE(answer.find("\"ok\": true"), std::string::npos) << op << ": " << answer;
        return answer;
    }

    std::string DateLog() const { return ReadWholeFile(dateLog_); }
    std::string Store(const std::string& key) const { return utils_->ReadParameterFromConfigFile(key); }

    std::string root_, installDir_, dateLog_, tty_, origin_, ca_;
    std::unique_ptr<VELM_Utils> utils_;
    std::unique_ptr<Device_Comm_Mgmt> device_;
    std::unique_ptr<VELM_Secure_Helper> secure_;
    std::unique_ptr<VELM_HTTP_Helper> http_;
    std::unique_ptr<VELM_Core_Helper> core_;

private:
    void StartHost() {
        int in[2], out[2];
        ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string script = std::string(VELM_SOURCE_DIR) + "/tests/unit/core/registration_twins.py";
        const std::string state = root_ + "/twins";
        std::vector<std::string> args = {"/usr/bin/python3", script, state};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("PYTHONPATH=", 0) != 0) envs.push_back(*e);
        envs.push_back(std::string("PYTHONPATH=") + VELM_SOURCE_DIR);
        envs.push_back("PYTHONDONTWRITEBYTECODE=1");
        std::vector<char*> envp;
        for (auto& e : envs) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toHost_ = in[1];
        fromHost_ = out[0];
        ASSERT_EQ(rc, 0);
        const std::string hello = ReadLine(60000);
        tty_ = JsonString(hello, "tty");
        origin_ = JsonString(hello, "origin");
        ca_ = JsonString(hello, "ca");
    }

    void StopHost() {
        if (toHost_ >= 0) ::close(toHost_);
        toHost_ = -1;
        if (pid_ > 0) {
            // The helper ends when its stdin closes; one bounded wait, then it is killed.
            const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
            bool exited = false;
            if (pidfd >= 0) {
                pollfd p{pidfd, POLLIN, 0};
                exited = ::poll(&p, 1, 15000) > 0;
                ::close(pidfd);
            }
            if (!exited) ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
            pid_ = -1;
        }
        if (fromHost_ >= 0) ::close(fromHost_);
        fromHost_ = -1;
    }

    std::string ReadLine(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return "";
            pollfd p{fromHost_, POLLIN, 0};
            const int n = ::poll(&p, 1, static_cast<int>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return "";
            char buf[65536];
            const ssize_t got = ::read(fromHost_, buf, sizeof buf);
            if (got <= 0) return "";
            buffer_.append(buf, static_cast<size_t>(got));
        }
    }

    static void RemoveTree(const std::string& path) {
        if (path.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }

    std::string oldPath_;
    pid_t pid_ = -1;
    int toHost_ = -1, fromHost_ = -1;
    std::string buffer_;
};

}  // namespace velm::test
