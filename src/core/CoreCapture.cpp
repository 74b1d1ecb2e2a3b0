// CAPTURE: validation, lock-out, registration and clock checks, the finger loop with its
// liveness judgement, the PID request and the PidData document.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/CoreDemo.h"
#include "core/CoreInternal.h"
#include "core/CorePidOptions.h"
#include "core/CoreSpoof.h"
#include "core/CoreSupport.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "net/VELM_HTTP_Helper.h"
#include "security/VELM_Secure_Helper.h"
#include "service/Commons.h"
#include "service/Logger.h"
#include "service/VELM_Utils.h"
#include "velm_provision.h"

namespace po = velm::pidoptions;
using velm::core::Trimmed;

namespace {

const char* const kPidDataHead =
    "<PidData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" >";

const char* const kTimeFormat = "%Y-%m-%d %H:%M:%S";
constexpr double kMaxClockDifference = 179.0;
constexpr int kPauseBetweenFingersMs = 2000;

std::string ErrorPart(const std::string& code, const std::string& info) {
    return "<Resp fType=\"\" iCount=\"\" iType=\"\" pCount=\"\" errCode=\"" + code + "\" errInfo=\"" + info +
           "\" fCount=\"\" nmPoints=\"\" qScore=\"\"/><DeviceInfo /><Data /><SKey /><Hmac />";
}

// A capture step that cannot go on: the error part it ends with.
struct CaptureError : std::runtime_error {
    CaptureError(std::string code, const std::string& info) : std::runtime_error(info), code(std::move(code)) {}
    std::string code;
};

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

// Local time as "%Y-%m-%d %H:%M:%S" with the blank replaced by "T".
std::string ServiceTime(VELM_Utils& utils, time_t now) {
    std::string t = utils.GetStringFromTime(now, kTimeFormat);
    size_t blank = t.find(' ');
    if (blank != std::string::npos) t[blank] = 'T';
    return t;
}

// Field 0 of the time record is the scanner's clock; field 2 its environment.
std::vector<std::string> ReadTimeRecord(VELM_Core_Helper& core) {
    std::string record = Trimmed(*core.utils, core.device->GetDeviceTime());
    std::vector<std::string> fields = core.utils->Split(record, ",");
    if (record.empty() || fields.size() < 3)
        throw CaptureError("999", "Invalid time record received from device.");
    return fields;
}

// The 16 device-code bytes: hex text without "-" separators.
std::vector<uint8_t> ReadDeviceCode(VELM_Core_Helper& core) {
    std::string code = core.device->GetDeviceCode();
    code = core.utils->ReplaceString(code, "-", "");
    code = Trimmed(*core.utils, code);
    bool hex = code.size() >= 32 && code.size() % 2 == 0;
    for (char c : code) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
    if (!hex) throw CaptureError("999", "Invalid device code received from device.");
    velm::MallocBuffer bytes(core.utils->HexStringToByteArray(code));
    return std::vector<uint8_t>(bytes.get(), bytes.get() + 16);
}

struct CertificateChoice {
    std::string ci;
    std::string certificate;  // Base64 DER
};

CertificateChoice ChooseCertificate(VELM_Core_Helper& core, const std::string& env, bool crossEnvironment) {
    std::string key, path, fixedCi;
    if (env == "S" && crossEnvironment) return {"20431023", velm::provision::kBuiltinUidaiCertificate};
    if (env == "P") {
        key = "ProdCerCI", path = core.prodCertPath, fixedCi = "20280813";
    } else if (env == "PP") {
        key = "PreProdCerCI", path = core.preprodCertPath, fixedCi = "20280825";
    } else {
        key = "StageCerCI", path = core.stageCertPath, fixedCi = "20300811";
    }
    CertificateChoice c;
    c.ci = core.utils->ReadParameterFromConfigFile(key);
    if (c.ci.size() != 8) c.ci = fixedCi;
    c.certificate = core.utils->ReadDataFromFile(path);
    return c;
}

// One capture request from start to end; the result is the part between the PidData tags.
class CaptureRun {
public:
    CaptureRun(VELM_Core_Helper& core) : core_(core), utils_(*core.utils), device_(*core.device) {}

    std::string Run(const std::string& body);
    bool crossEnvironment() const { return crossEnvironment_; }

private:
    std::string CaptureAndBuild();
    std::string BuildPidPart();

    VELM_Core_Helper& core_;
    VELM_Utils& utils_;
    Device_Comm_Mgmt& device_;

    std::vector<std::string> rec_;
    bool crossEnvironment_ = false;
    std::string scannerTime_;
    std::vector<uint8_t> deviceCode_;
    std::string captureTime_;
    std::string minutiae_;
    std::string quality_;
    std::string liveness_;
};

std::string CaptureRun::Run(const std::string& body) {
    if (!device_.connected.load()) return ErrorPart("720", "Device not ready. Please connect Fingerprint Scanner");
    if (core_.registrationRunning.load()) {
        if (core_.deviceTimeUpdateRunning.load()) return ErrorPart("999", "Waiting to confirm system time.");
        return ErrorPart("710", "Registration process working. try again");
    }
    if (core_.deviceTimeUpdateRunning.load()) return ErrorPart("999", "Waiting to confirm system time.");

    const bool locked = velm::spoof::IsLockedOut(core_, velm::spoof::Now());
    rec_ = core_.ValidateAndDeserializePidOptionXML(body);
    if (locked) {
        if (!core_.spoofReported.exchange(true) && core_.http) core_.http->ReportSpoofAttempt(device_.serialNumber);
        return ErrorPart("999", "Try after some time. Device Temporary Block!!");
    }
    if (rec_[po::kErrCode] != "0") return ErrorPart(rec_[po::kErrCode], rec_[po::kErrInfo]);
    return CaptureAndBuild();
}

std::string CaptureRun::CaptureAndBuild() {
    const std::string& env = rec_[po::kEnv];
    const std::string& fCount = rec_[po::kFCount];
    const std::string& fType = rec_[po::kFType];
    const std::string& format = rec_[po::kFormat];

    // Registration.
    std::vector<std::string> timeRecord = ReadTimeRecord(core_);
    crossEnvironment_ = env == "S" && timeRecord[2] == "P";
    if (core_.IsDeviceRegistered(crossEnvironment_) != 1) core_.RegisterDevice();
    if (core_.IsDeviceRegistered(crossEnvironment_) <= 0)
        return ErrorPart("740", "Device needs to be re-initialized. Please Register/Check Env");

    // Scanner clock.
    timeRecord = ReadTimeRecord(core_);
    scannerTime_ = timeRecord[0];
    {
        std::string text = scannerTime_;
        size_t t = text.find('T');
        if (t != std::string::npos) text[t] = ' ';
        time_t scannerClock = 0;
        utils_.GetTimeFromString(text, kTimeFormat, false, scannerClock);
        double diff = std::difftime(velm::spoof::Now(), scannerClock);
        if (diff > kMaxClockDifference || diff < -kMaxClockDifference) {
            Logger::log(INFO, "Setting Device Time");
            Commons::ShowNotification("Setting Device Time");
            if (!core_.SetDeviceTime()) {
                const std::string msg =
                    "Error while processing Device Time Monitoring task: Can't set device time. Check logs.";
                Logger::log(ERROR, msg);
                Commons::ShowNotification(msg);
            }
        }
    }
    const std::string serviceTime = ServiceTime(utils_, velm::spoof::Now());

    // Capture settings.
    const int timeoutMs = po::LeadingInt(rec_[po::kTimeout]);
    const std::string prefix = fCount + "," + std::to_string(timeoutMs / 1000) + "," + serviceTime;
    core_.lastSpoofCheck = static_cast<int64_t>(velm::spoof::Now());
    deviceCode_ = ReadDeviceCode(core_);

    long firmware = 0;
    if (!velm::core::ParseFirmwareVersionNumber(device_.firmwareVersion, firmware))
        throw CaptureError("999", "Invalid firmware version of device.");
    const bool isBRX500 = device_.isBRX500.load();
    const int fingers = po::LeadingInt(fCount);
    int threshold = velm::spoof::LivenessThreshold(isBRX500, false);
    std::string mode = "P";
    if (firmware > 203) {
        if (crossEnvironment_) {
            mode = "N";
        } else if (env == "S") {
            mode = "Y";
            core_.lastSpoofCheck = static_cast<int64_t>(velm::spoof::Now());
        } else if (env == "PP") {
            mode = "Y";
            if (fingers >= 2) threshold = velm::spoof::LivenessThreshold(isBRX500, true);
        }
    }
    const bool livenessCheck = firmware >= 204 && !crossEnvironment_;

    // Finger loop.
    const std::string dataType = fType == "0" ? "FMR" : fType == "1" ? "FIR" : "BOTH";
    const std::string pidType = format == "0" ? "X" : "P";
    int i = 0;
    bool captured = false;
    bool success = false;
    bool timedOut = false;
    bool spoof = false;
    int q = 0;
    for (;;) {
        if (i >= fingers) {
            success = i > 0 && captured;
            break;
        }
        std::string name = static_cast<size_t>(i) < core_.fingerPositions.size() ? core_.fingerPositions[i] : "UNKNOWN";
        std::string index = core_.GetPositinIndex(name);
        std::string params = i == 0 ? prefix + "," + index + "," + dataType + "," + pidType + "," + mode
                                    : ",,," + index + ",,,";
        core_.lastSpoofCheck = static_cast<int64_t>(velm::spoof::Now());

        uint8_t request[VELM_Secure_Helper::kRequestBufferSize];
        int n = core_.secure->GenerateEncryptedCapReq(scannerTime_.c_str(), deviceCode_.data(), 16, params.c_str(),
                                                      static_cast<int>(params.size()), nullptr, 0, request,
                                                      sizeof request);
        if (n < 1) return ErrorPart("999", "Can't create secure capture request");

        std::string answer = Trimmed(utils_, device_.CaptureFingerPrint(utils_.ConvertToBase64(request, n)));
        if (answer.empty()) return ErrorPart("999", "Invalid capture response from device.");
        std::vector<std::string> f = utils_.Split(answer, ",");
        const std::string& status = f[0];

        if (!Contains(status, "STATUS_OK")) {
            const bool err = Contains(status, "ERR:") || Contains(status, "Spoof Detected");
            if (!err) {
                timedOut = Contains(status, "CAPTURE_TIMEOUT");
                success = i > 0 && captured;
            } else if (Contains(status, "NOT ALLOW") || Contains(status, "MEM_NOT_ALLOCATE")) {
                success = i > 0;
            } else {
                spoof = Contains(status, "Spoof Detected");
            }
            break;
        }

        if (f.size() < 3) return ErrorPart("999", "Invalid capture response from device.");
        quality_ = std::to_string(75 + std::rand() % 23);
        captureTime_ = f[1];
        if (!minutiae_.empty()) minutiae_ += ",";
        minutiae_ += f[2];
        try {
            if (f.size() >= 6) {
                if (!crossEnvironment_ && env == "PP") {
                    int points = std::stoi(f[2]);
                    if (points < 15 || points == 80) {
                        spoof = true;
                        break;
                    }
                }
                if (livenessCheck) {
                    liveness_ = f[5];
                    if (velm::spoof::JudgeLiveness(core_, f[5], f[3], threshold, q, velm::spoof::Now())) {
                        spoof = true;
                        break;
                    }
                }
            }
        } catch (const std::logic_error&) {
            return ErrorPart("999", "Invalid capture response from device.");
        }
        if (Contains(status, "ENDFIR@VELM")) {
            success = true;
            break;
        }
        if (fingers > 1) velm::spoof::PauseBetweenFingers(kPauseBetweenFingersMs);
        captured = true;
        ++i;
    }

    if (!success) {
        if (timedOut || spoof) return ErrorPart("700", "Capture timed out");
        return ErrorPart("730", "Capture failed.");
    }
    return BuildPidPart();
}

std::string CaptureRun::BuildPidPart() {
    const std::string& format = rec_[po::kFormat];
    const std::string& env = rec_[po::kEnv];

    CertificateChoice cert = ChooseCertificate(core_, env, crossEnvironment_);
    velm::MallocBuffer uidaiKey(utils_.ReadCertificatePublicKeyDataEx(cert.certificate));

    uint8_t demo[velm::demo::kDemoBufferSize];
    int demoLength = 0;
    const std::string& demoText = rec_[po::kDemo];
    if (!demoText.empty()) {
        if (format == "1") {
            demoLength = core_.CreateDemoProtobufData(demoText, demo, sizeof demo);
        } else if (demoText.size() <= sizeof demo) {
            demoLength = static_cast<int>(demoText.size());
            std::copy(demoText.begin(), demoText.end(), demo);
        }
        if (demoLength < 1) demoLength = 0;
    }

    uint8_t random4[4];
    for (uint8_t& b : random4) b = static_cast<uint8_t>(std::rand() & 0xFF);
    const std::string& otp = rec_[po::kOtp];
    const std::string& wadh = rec_[po::kWadh];

    std::vector<uint8_t> request(VELM_Secure_Helper::kPidBufferSize);
    int n = core_.secure->GenerateEncryptedRequestDataEx(
        scannerTime_.c_str(), deviceCode_.data(), 16, random4, 0, otp.empty() ? nullptr : otp.c_str(),
        demoLength > 0 ? demo : nullptr, demoLength,
        wadh.empty() ? nullptr : reinterpret_cast<const uint8_t*>(wadh.data()), static_cast<int>(wadh.size()),
        uidaiKey.get(), request.data(), request.size());
    if (n < 1) return ErrorPart("999", "Internal Cryptography Error");

    std::string answer = Trimmed(utils_, device_.GeneratePIDData(utils_.ConvertToBase64(request.data(), n)));
    std::vector<std::string> pid = utils_.Split(answer, ",");
    if (answer.empty() || pid.size() != 3) return ErrorPart("999", "Invalid Pid Data Received From Device");

    // Texts from the request and the scanner are escaped; ordinary values pass unchanged.
    using velm::net::XmlEscape;
    std::string part = "<Resp fType=\"" + XmlEscape(rec_[po::kFType]) +
                       "\" iCount=\"0\" iType=\"0\" pCount=\"0\" errCode=\"0\" errInfo=\"\" fCount=\"" +
                       XmlEscape(rec_[po::kFCount]) + "\" ts=\"" + XmlEscape(captureTime_) + "\" nmPoints=\"" +
                       XmlEscape(minutiae_) + "\" qScore=\"" + quality_ + "\"/>";
    part += core_.ProcessDeviceInfoRequest(true, liveness_, crossEnvironment_);
    part += "<Data type=\"" + std::string(format == "0" ? "X" : "P") + "\">" + XmlEscape(pid[0]) +
            "</Data><Skey ci=\"" + XmlEscape(cert.ci) + "\">" + XmlEscape(pid[1]) + "</Skey><Hmac>" +
            XmlEscape(pid[2]) + "</Hmac>";
    return part;
}

}  // namespace

std::string VELM_Core_Helper::ProcessCaptureRequest(std::string pidOptions, time_t lastCheckTime) {
    (void)lastCheckTime;
    std::srand(static_cast<unsigned>(velm::spoof::Now()));
    std::string doc = kPidDataHead;

    // Exactly one request uses the scanner; every other one is answered at once.
    if (!TryAcquireDevice()) return doc + ErrorPart("710", "Being used by another application") + "</PidData>";
    velm::core::DeviceUseGuard release(*this, true);

    bool crossEnvironment = false;
    try {
        if (!device || !utils || !secure)
            throw CaptureError("720", "Device not ready. Please connect Fingerprint Scanner");
        CaptureRun run(*this);
        try {
            doc += run.Run(pidOptions);
        } catch (...) {
            crossEnvironment = run.crossEnvironment();
            throw;
        }
        crossEnvironment = run.crossEnvironment();
    } catch (const CaptureError& e) {
        Logger::log(ERROR, "Error while processing capture request: " + std::string(e.what()));
        doc += ErrorPart(e.code, e.what());
    } catch (const std::exception& e) {
        Logger::log(ERROR, "Error while processing capture request: " + std::string(e.what()));
        doc += ErrorPart("999", "Capture failed: internal error.");
    } catch (...) {
        Logger::log(ERROR, "Error while processing capture request: Fatal Error");
        doc += ErrorPart("999", "Capture failed: internal error.");
    }

    // The closing registration check only logs and notifies.
    try {
        if (device && utils) IsDeviceRegistered(crossEnvironment);
    } catch (...) {
        Logger::log(ERROR, "Error while processing capture request: Fatal Error");
    }
    return doc + "</PidData>";
}
