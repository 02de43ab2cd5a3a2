// The test host's locks and threads from the operating system directly (CRITICAL_SECTION and
// CreateThread on Windows, where the mingw-w64 toolchain has no std::thread or std::mutex; the
// standard library elsewhere), so the same host builds for both.
#pragma once

#include <functional>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#endif

namespace telvix::ofxtest {

// A recursive lock, held with HostGuard.
class HostLock {
public:
#if defined(_WIN32)
    HostLock() { InitializeCriticalSection(&section_); }
    ~HostLock() { DeleteCriticalSection(&section_); }
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }
    bool try_lock() { return TryEnterCriticalSection(&section_) != 0; }
#else
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }
#endif
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;
#if !defined(_WIN32)
    HostLock() = default;
    ~HostLock() = default;
#endif

private:
#if defined(_WIN32)
    CRITICAL_SECTION section_;
#else
    std::recursive_mutex mutex_;
#endif
};

// Holds a HostLock for its scope.
class HostGuard {
public:
    explicit HostGuard(HostLock& lock) : lock_(lock) { lock_.lock(); }
    ~HostGuard() { lock_.unlock(); }
    HostGuard(const HostGuard&) = delete;
    HostGuard& operator=(const HostGuard&) = delete;

private:
    HostLock& lock_;
};

// Runs work(i) for every i < count, each on a thread of its own, and returns when all have
// returned. False when a thread could not be started (those started still ran and were joined).
bool runOnThreads(unsigned count, const std::function<void(unsigned)>& work);

}  // namespace telvix::ofxtest
