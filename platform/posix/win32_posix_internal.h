// Internals of the POSIX layer: handle objects, the process-wide lock, event signalling.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/posix/win32_posix.h"

#define ERROR_NO_DATA 232u
#define STATUS_SUCCESS 0x00000000u
#define STATUS_CANCELLED 0xC0000120u
#define STATUS_DEVICE_NOT_READY 0xC00000A3u
#define STATUS_PIPE_BROKEN 0xC000014Bu

namespace win32_posix {

// A HANDLE points to one of these. Every live object is in a registry, so a stale or foreign handle
// is refused with ERROR_INVALID_HANDLE instead of being dereferenced.
enum class Kind { Event, Timer, Thread, Pipe, Device };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    // Events, timers and threads only: the handle, each waiter, each pending I/O (events) and the
    // running thread (threads) hold one reference; the object is deleted when the last one goes.
    int refs = 1;
};

struct Event : Object {
    Event(bool manualReset, bool initial, Kind k = Kind::Event)
        : Object(k), manual(manualReset), signalled(initial) {}
    bool manual;
    bool signalled;
};

// A waitable timer is an event that sets itself when its due time comes.
struct Timer : Event {
    explicit Timer(bool manualReset) : Event(manualReset, false, Kind::Timer) {}
    bool armed = false;
    std::chrono::steady_clock::time_point due;
};

// The single lock that guards all objects' state, and the condition announced on every change
// (an event set, a thread ended, an I/O completed).
std::mutex& bigLock();
std::condition_variable& changed();

// The following require bigLock() to be held.
void registerLocked(Object* object);
void unregisterLocked(Object* object);
// The live object behind handle, if it has the given kind; otherwise null with
// ERROR_INVALID_HANDLE.
Object* findLocked(HANDLE handle, Kind kind);
void retainLocked(Object* object);
void releaseLocked(Object* object);
void setEventLocked(Event* event);

// CloseHandle for a device; called with the lock held (it is released inside) after unregistering.
BOOL closeDevice(Object* device, std::unique_lock<std::mutex>& held);
// ReadFile/WriteFile for a device handle, called with the lock held.
BOOL deviceReadLocked(Object* device, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov,
                      std::unique_lock<std::mutex>& held);
BOOL deviceWriteLocked(Object* device, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov,
                       std::unique_lock<std::mutex>& held);

// errno -> the closest Windows error code.
DWORD errorFromErrno(int error);

} // namespace win32_posix
