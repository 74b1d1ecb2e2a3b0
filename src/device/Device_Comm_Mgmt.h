#pragma once
// The link to the one scanner the service talks to: its tty, the text commands, the binary
// update-mode protocol, and the state of the attached scanner.
//
// Threads: every exchange with the scanner (flush, write, read) runs under the link lock, so
// two threads never mix their bytes on the port. A caller that needs several exchanges in a
// row without another thread in between holds the lock itself (WithLinkLock / LockLink); the
// lock is recursive, so the operations below may be called while holding it.
//
// Timeouts are in seconds. Each one is a single deadline for the whole call: a scanner that
// stops answering, or answers one byte at a time, costs the caller at most that long, after
// which the call reports no reply (empty text, false or a negative code).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "device/GuardedText.h"

class VELM_Utils;

class Device_Comm_Mgmt {
public:
    explicit Device_Comm_Mgmt(VELM_Utils* utils);
    // Closes the port if it is still open.
    virtual ~Device_Comm_Mgmt();

    Device_Comm_Mgmt(const Device_Comm_Mgmt&) = delete;
    Device_Comm_Mgmt& operator=(const Device_Comm_Mgmt&) = delete;

    // ---- Serial transport ----

    // Opens portPath (read-write, not as controlling tty, close-on-exec, exclusive) and sets
    // raw 8N1 at 115200 baud. Does not set `connected`; the caller does on success. On any
    // failure the descriptor is closed again and portFd stays -1.
    bool ConnectDevice();
    // Closes the port when connected; wakes an exchange that is waiting on it first. Clears
    // `connected` and portPath; the other fields keep their values.
    void DisconnectDevice();
    bool SetWriteTimeout(int timeout);
    bool SetReadTimeout(int timeout);
    // Discards unread input and unsent output. The port settings are left as they are.
    void FlushBuffers();
    // Flush, write all of message within `timeout` seconds, then pause so the scanner can
    // take the command in (100 us per byte + 2.5 ms).
    bool WriteMessageToCOM(const std::string& message, int timeout);
    // Line reader: one reply line of at most maxLength bytes, without its line feed (a CR
    // before it stays), cut at the first NUL. Empty when nothing complete arrived in time.
    std::string ReadResponseFromCOM(int timeout, int maxLength);
    // Capture reader: the reply to a capture, starting at its status word ("ERR:",
    // "STATUS_OK" or "CAPTURE_TIMEOUT") and running through the line that closes it.
    // CR LF lines that come before any status word are dropped. Empty when the reply did not
    // complete in time, the link failed, or the reply grew beyond kMaxCaptureReply bytes.
    std::string ReadResponseFromCOM(int timeout);

    // Runs fn() with the link lock held and returns its result.
    template <class Fn>
    auto WithLinkLock(Fn&& fn) -> decltype(fn()) {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        return fn();
    }
    std::unique_lock<std::recursive_timed_mutex> LockLink() {
        return std::unique_lock<std::recursive_timed_mutex>(linkMutex_);
    }

    // ---- Text commands (normal firmware) ----
    std::string GetDeviceSerialNumber();
    std::string GetDeviceModelId();
    std::string GetDeviceModelCertificate();
    std::string GetDeviceCode();
    std::string GetDeviceProviderId();
    std::string GetDeviceTime();
    std::string GetDeviceInfoString();
    std::string GetDeviceKey();
    bool ChangeDeviceConnMode(const std::string& payload);
    bool SetDeviceTime(const std::string& payload);
    std::string StartDeviceRegistrationProcess(const std::string& payload);
    bool CompleteDeviceRegistrationProcess(const std::string& payload);
    bool SetUIDAIPublicKeyInDevice(const std::string& payload);
    std::string GeneratePIDData(const std::string& payload);
    bool CalibrateDevice();
    std::string CaptureFingerPrint(const std::string& payload);

    // ---- Binary frame protocol (update firmware) ----

    // Writes a command frame (start byte 0x01) into out: 01, length (payload + 1, big-endian),
    // command, payload, checksum, 03. Returns the frame length (length + 6, or 6 when
    // length <= 0 and the payload is ignored); 0 when the frame does not fit outCapacity.
    int BuildOEMCommand(uint8_t command, const uint8_t* payload, int16_t length, uint8_t* out,
                        std::size_t outCapacity);
    // Negated 8-bit sum of data[first..last] (0 when last < first); store its low byte.
    int CalculateCheckSum(const uint8_t* data, int first, int last);
    // Sends a prepared frame and reads the scanner's acknowledgement frame. Result: the number
    // of data bytes copied to reply (> 0); 0 for an acknowledgement without data (or with
    // fewer than four data bytes) or when reply is null; otherwise one of the OEM_* codes.
    int SendCommandAndWaitAckwithPayload(const uint8_t* frame, int16_t frameLength, uint8_t command,
                                         int timeout, uint8_t* reply,
                                         std::size_t replyCapacity = kOEMReplyBufferSize);

    std::string GetOEMChipNumber();
    std::string GetOEMDeviceSerialNumber();
    std::string GetOEMDeviceKeyString();
    // Copies the version bytes to out (at most outCapacity) and returns their count; -1 when
    // there are none; -99/-999 on exceptions.
    int GetOEMDeviceVer(uint8_t* out, std::size_t outCapacity = kOEMReplyBufferSize);
    bool EraseFlash();
    bool ApplyImage();

    // Result codes of SendCommandAndWaitAckwithPayload.
    static constexpr int OEM_WRITE_FAILED = -1;      // the frame did not go out whole
    static constexpr int OEM_READ_FAILED = -2;       // read error, link closed, or no full answer in time
    static constexpr int OEM_BAD_START = -3;         // answer does not start with 0x81
    static constexpr int OEM_OTHER_COMMAND = -4;     // answer is for another command
    static constexpr int OEM_REFUSED = -5;           // the scanner refused the command
    static constexpr int OEM_NOT_CONNECTED = -6;
    static constexpr int OEM_ANSWER_TOO_LONG = -7;   // announced data exceeds the reply or receive buffer
    static constexpr int OEM_EXCEPTION = -99;
    static constexpr int OEM_FATAL = -999;

    static constexpr std::size_t kOEMReplyBufferSize = 1024;
    static constexpr std::size_t kOEMReceiveBufferSize = 2048;
    static constexpr int kOEMTimeout = 20;
    static constexpr std::size_t kMaxCaptureReply = 256 * 1024;

    // ---- Link state ----
    // Flags are read by request workers and background threads. The texts are written by the
    // device-monitoring and firmware code and read elsewhere; GuardedText copies under a lock.
    std::atomic<int> portFd{-1};
    velm::GuardedText portPath;
    velm::GuardedText serialNumber;
    velm::GuardedText firmwareVersion;
    std::atomic<bool> tamperDetected{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> applicationMode{false};
    std::atomic<bool> isBRX500{false};
    std::atomic<bool> firmwareUpgradePending{false};
    std::atomic<bool> updateMode{false};
    velm::GuardedText firmwarePackagePath;
    velm::GuardedText firmwareUpdateInfo;
    velm::GuardedText firmwareSecret;
    VELM_Utils* utils;

private:
    // One text command: write `command` with writeTimeout, then read one line.
    std::string LineExchange(const std::string& command, int writeTimeout, int readTimeout, int maxLength);
    // Waits until fd is readable/writable or woken, within the deadline (ms since steady epoch).
    enum class WaitResult { Ready, Timeout, Woken, Failed };
    WaitResult WaitPort(int fd, short events, long long deadlineMs);
    // Reads exactly count bytes into buf within the deadline; false on EOF, error or timeout.
    bool ReadExact(int fd, uint8_t* buf, std::size_t count, long long deadlineMs);
    void Pause(long long microseconds);
    // One query of the update firmware without payload: its frame, then the acknowledgement's
    // data into reply. Returns the data length or the exchange's failure code. With dumpFrame
    // the frame's bytes are first printed on standard output (decimal, blank after each,
    // between two line feeds).
    int QueryOEM(uint8_t command, uint8_t* reply, std::size_t replyCapacity, bool dumpFrame = false);

    std::recursive_timed_mutex linkMutex_;
    int wakeFd_ = -1;  // eventfd signalled by DisconnectDevice to end a wait on the port
};
