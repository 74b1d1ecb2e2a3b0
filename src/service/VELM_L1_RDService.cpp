// Process entry of the RD service: the process-wide objects, the start-up sequence, the
// termination signals and the orderly stop.
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "net/VELM_HTTP_Helper.h"
#include "security/VELM_Secure_Helper.h"
#include "server/VELM_Local_Server_Handler.h"
#include "service/Commons.h"
#include "service/DeviceMonitoring.h"
#include "service/Logger.h"
#include "service/Profile.h"
#include "service/TimeSync.h"
#include "service/VELM_Utils.h"


namespace {
constexpr const char* kServiceVersion = "1.3.5";
}  // namespace

// ---- Process-wide flags --------------------------------------------------------------------

// Set once, by the signal handler or when the local server cannot start; every loop of the
// process leaves when it sees it. Stored from a signal handler, so it must be lock-free.
std::atomic<bool> STOP_ALL_THREADS{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is stored from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "descriptors are exchanged in a signal handler");

// Listening socket of the support tool (-1 while none is open); the signal handler closes it
// so that the support-tool thread's accept fails and the thread ends.
std::atomic<int> rdSupportSock{-1};

// ---- Process-wide objects, in construction order -------------------------------------------
// Each object gets plain pointers to those constructed before it and owns none of them.

// 1. Time of the last check against the management server's clock.
std::atomic<int64_t> lastTimeCheck{static_cast<int64_t>(std::time(nullptr))};
// 2.
VELM_Utils velmUtils;
// 3.
Device_Comm_Mgmt devCommMgmtHelper(&velmUtils);
// 4.
VELM_Secure_Helper velmSecureHelper;
// 5. The HTTPS client of the management server.
VELM_HTTP_Helper velmHttpHelper(&velmUtils);
// 6. Reads the anti-spoof settings from the configuration store: the store must answer
//    "empty" here, before the installation directories or the log exist.
VELM_Core_Helper velmCoreHelper(&devCommMgmtHelper, &velmHttpHelper, &velmUtils, &velmSecureHelper);
// 7.
VELM_Local_Server_Handler rdServerHandler(&devCommMgmtHelper, &velmHttpHelper, &velmUtils, &velmSecureHelper,
                                          &velmCoreHelper, false);
// 8. velmFWUpgrade (VELM_FW_Upgrade) and 9. velmRDUpdate (VELM_RD_Update) follow here.

// Device monitoring: the discovery pass bound to the objects above, run by its thread.
ServiceScannerOperations monitoringOperations(&devCommMgmtHelper, &velmCoreHelper, &velmSecureHelper);
velm::discovery::DeviceDiscovery deviceDiscovery(devCommMgmtHelper, velmCoreHelper.deviceInUse,
                                                 monitoringOperations);
DeviceMonitoringContext deviceMonitoringContext{&deviceDiscovery, &STOP_ALL_THREADS};

namespace {

// Posted by the signal handler so the entry point notices a stop at once rather than at its
// next 200 ms step.
sem_t stopSignal;

void WriteConsole(const char* line) {
    size_t left = std::strlen(line);
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, line, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        line += n;
        left -= static_cast<size_t>(n);
    }
}

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Ends the process at once; the detached threads and the objects above are left as they are.
[[noreturn]] void EndProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}

// A start-up step could not create its thread: log, notify and end with status 1.
[[noreturn]] void FailStartup(const std::string& message) {
    Logger::log(ERROR, message);
    Commons::ShowNotification(message);
    EndProcess(1);
}

// Creates a detached thread; false when it cannot be created.
bool StartDetachedThread(void* (*routine)(void*), void* arg) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, routine, arg) != 0) return false;
    pthread_detach(thread);
    return true;
}

// Sleeps in steps of 200 ms until STOP_ALL_THREADS is set; a signal ends the current step.
void WaitForStop() {
    while (!STOP_ALL_THREADS.load()) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 200000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (sem_clockwait(&stopSignal, CLOCK_MONOTONIC, &deadline) != 0 && errno == EINTR) {
        }
    }
}

}  // namespace

// SIGINT, SIGTERM, SIGABRT. Only async-signal-safe calls: atomic exchanges and stores,
// shutdown, close, write and sem_post. The scanner link is closed by the orderly stop, which
// runs on the entry thread right after this (its disconnect takes the link lock).
extern "C" void sighandler(int) {
    const int savedErrno = errno;
    const int client = Commons::supportClientsock.exchange(-1);
    if (client != -1) ::close(client);
    const int listener = rdSupportSock.exchange(-1);
    if (listener != -1) {
        ::shutdown(listener, SHUT_RDWR);
        ::close(listener);
    }
    WriteConsole("STOPPING ALL THREADS\n");
    STOP_ALL_THREADS.store(true);
    WriteConsole("CLOSING SERVER\n");
    WriteConsole("STOPPING RD SERVICE\n");
    sem_post(&stopSignal);
    errno = savedErrno;
}

int main() {
    // Console lines reach a pipe or a journal as soon as they are written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sem_init(&stopSignal, 0, 0);
    try {
        // 1. Signals; a write to a vanished peer returns an error instead of ending the process.
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = sighandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGABRT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        struct sigaction ignore;
        std::memset(&ignore, 0, sizeof ignore);
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, nullptr);

        // 2. Installation directories (the result is not needed: the log reports what fails).
        velmUtils.CreateDirectories();

        // 3. Log.
        Logger::init();

        // 4, 5. Banner.
        PrintLine(std::string("RD SERVICE VERSION: ") + kServiceVersion + " For TR460U L1 and BRX500 devices.");
        Logger::log(INFO, std::string("Starting RD Service (Version: ") + kServiceVersion +
                              ") For TR460U L1 and BRX500 devices.");

        // 6. Self-update check (velmRDUpdate.ProcessForRDUpdate), synchronously, before any
        //    other thread starts.

        // 7. Device-monitoring thread, detached.
        if (!StartDetachedThread(StartDeviceMonitoring, &deviceMonitoringContext)) {
            FailStartup("Can't create device connection monitoring thread.");
        }

        // 8. Support-tool thread (StartSupportToolMonitoring), detached. On failure:
        //    FailStartup("Can't create support tool thread.").

        // 9. Start-up time synchronisation. A short or empty answer skips it; the time-sync
        //    thread tries again later.
        const std::string serverDate =
            velmHttpHelper.GetTimeFromServer(velm::profile::Get().serverOrigin + velm::timesync::kTimePath);
        if (serverDate.size() > 3) {
            velmCoreHelper.SetSystemTime(serverDate);
            const time_t checked = std::time(nullptr);
            lastTimeCheck.store(static_cast<int64_t>(checked));
            rdServerHandler.UpdateLastCheckTime(checked);
        }

        // 10. Time-sync thread, detached.
        static velm::timesync::TimeSyncContext timeSync = velm::timesync::BindTimeSync(
            &STOP_ALL_THREADS, &lastTimeCheck, &velmCoreHelper, &velmHttpHelper, &devCommMgmtHelper, &rdServerHandler);
        if (!StartDetachedThread(velm::timesync::StartTimeSyncThread, &timeSync))
            FailStartup("Can't create utility thread.");

        // 11. Local RD server; serve until a stop is requested.
        if (rdServerHandler.StartRDServiceServer()) {
            WaitForStop();
        } else {
            Logger::log(ERROR, "Can't start RD Service on this system.");
            Commons::ShowNotification("Can't start RD Service on this system");
            STOP_ALL_THREADS.store(true);
        }

        // 12. Orderly stop. The server's workers are joined first, so no request is using the
        //     scanner when its link is closed.
        PrintLine("Stopping VELM RD Server...");
        rdServerHandler.StopRDServiceServer();
        devCommMgmtHelper.DisconnectDevice();
        PrintLine("VELM RD Server exited cleanly.");
        EndProcess(0);
    } catch (const std::exception& e) {
        const std::string message = std::string("Error while starting RD Service: ") + e.what();
        Logger::log(ERROR, message);
        Commons::ShowNotification(message);
    } catch (...) {
        Logger::log(ERROR, "Error while starting RD Service: Fatal Error");
        Commons::ShowNotification("Error while starting RD Service: Fatal Error ");
    }
    EndProcess(0);
}
