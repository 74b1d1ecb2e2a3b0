#pragma once
// A text field that several threads read while one thread replaces it. Every access copies
// under a small mutex, so a reader never sees a half-written string. It converts to and
// from std::string, so it reads and assigns like a plain string field:
//
//     device->serialNumber = trimmed;          // replace
//     std::string sn = device->serialNumber;   // copy out
//     Logger::log(INFO, "SERIAL NUMBER: " + device->serialNumber);
//
// For std::string member functions not mirrored here, copy it out first (`.get()`).
#include <mutex>
#include <ostream>
#include <string>
#include <utility>

namespace velm {

class GuardedText {
public:
    GuardedText() = default;
    GuardedText(std::string value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
    GuardedText(const GuardedText& other) : value_(other.get()) {}

    GuardedText& operator=(const GuardedText& other) {
        if (this != &other) set(other.get());
        return *this;
    }
    GuardedText& operator=(std::string value) {
        set(std::move(value));
        return *this;
    }
    GuardedText& operator=(const char* value) {
        set(value ? std::string(value) : std::string());
        return *this;
    }

    std::string get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    void set(std::string value) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_.swap(value);
    }
    operator std::string() const { return get(); }  // NOLINT: implicit on purpose

    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_.empty();
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_.size();
    }
    std::size_t length() const { return size(); }
    void clear() { set(std::string()); }
    std::size_t find(const std::string& what, std::size_t pos = 0) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_.find(what, pos);
    }

private:
    mutable std::mutex mutex_;
    std::string value_;
};

inline std::string operator+(const std::string& a, const GuardedText& b) { return a + b.get(); }
inline std::string operator+(const char* a, const GuardedText& b) { return a + b.get(); }
inline std::string operator+(const GuardedText& a, const std::string& b) { return a.get() + b; }
inline std::string operator+(const GuardedText& a, const char* b) { return a.get() + b; }
inline std::string operator+(const GuardedText& a, char b) { return a.get() + b; }
inline std::string operator+(char a, const GuardedText& b) { return a + b.get(); }

inline bool operator==(const GuardedText& a, const std::string& b) { return a.get() == b; }
inline bool operator==(const std::string& a, const GuardedText& b) { return a == b.get(); }
inline bool operator==(const GuardedText& a, const char* b) { return a.get() == b; }
inline bool operator==(const char* a, const GuardedText& b) { return a == b.get(); }
inline bool operator!=(const GuardedText& a, const std::string& b) { return !(a == b); }
inline bool operator!=(const std::string& a, const GuardedText& b) { return !(a == b); }
inline bool operator!=(const GuardedText& a, const char* b) { return !(a == b); }
inline bool operator!=(const char* a, const GuardedText& b) { return !(a == b); }

inline std::ostream& operator<<(std::ostream& out, const GuardedText& text) { return out << text.get(); }

}  // namespace velm
