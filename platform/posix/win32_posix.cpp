// POSIX layer core: handles, events, timers, waits, threads, critical sections, pipes, the
// performance counter, errors.
#include "platform/posix/win32_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "platform/posix/win32_posix_internal.h"

namespace win32_posix {
namespace {

using Clock = std::chrono::steady_clock;

struct Thread : Object {
    Thread() : Object(Kind::Thread) {}
    bool done = false; // the thread function has returned: the handle is signalled
    int priority = THREAD_PRIORITY_NORMAL;
};

struct Pipe : Object {
    explicit Pipe(int descriptor) : Object(Kind::Pipe), fd(descriptor) {}
    int fd;
};

// Never destroyed: detached threads may still use them while the process exits.
struct Globals {
    std::mutex lock;
    std::condition_variable changed;
    std::unordered_set<Object*> live;
};
Globals& globals() {
    static Globals* g = new Globals;
    return *g;
}

thread_local DWORD lastError = ERROR_SUCCESS;
std::atomic<DWORD> nextThreadId{1000};

// A thread's lasting execution state. Its request for the system ends with the thread: here for any
// thread, and for ours (CreateThread) already before its handle is signalled.
std::atomic<int> awakeThreads{0};
struct ExecutionState {
    EXECUTION_STATE lasting = ES_CONTINUOUS;
    ~ExecutionState() {
        if ((lasting & ES_SYSTEM_REQUIRED) != 0) {
            --awakeThreads;
        }
    }
};
thread_local ExecutionState executionState;
// Whether the thread has asked for anything, so that a thread that never did (an opener, a reader)
// does not make its record, and with it a destructor to run, on its way out.
thread_local bool executionStateAsked = false;

// A timer whose due time has come is set here, when a wait looks at it: nothing else can tell.
bool isSignalled(Object* o, Clock::time_point now) {
    if (o->kind == Kind::Thread) {
        return static_cast<const Thread*>(o)->done;
    }
    if (o->kind == Kind::Timer) {
        auto* timer = static_cast<Timer*>(o);
        if (timer->armed && now >= timer->due) {
            timer->armed = false;
            timer->signalled = true;
        }
    }
    return static_cast<const Event*>(o)->signalled;
}

// The wait that is satisfied by a signalled auto-reset event or timer resets it.
void consume(Object* o) {
    if (o->kind != Kind::Thread && !static_cast<Event*>(o)->manual) {
        static_cast<Event*>(o)->signalled = false;
    }
}

HANDLE createEvent(BOOL manualReset, BOOL initialState) {
    auto* event = new Event(manualReset != FALSE, initialState != FALSE);
    std::lock_guard<std::mutex> held(bigLock());
    registerLocked(event);
    return event;
}

Pipe* findPipe(HANDLE handle, int* fd) {
    std::lock_guard<std::mutex> held(bigLock());
    auto* pipe = static_cast<Pipe*>(findLocked(handle, Kind::Pipe));
    if (pipe != nullptr) {
        *fd = pipe->fd;
    }
    return pipe;
}

} // namespace

std::mutex& bigLock() {
    return globals().lock;
}
std::condition_variable& changed() {
    return globals().changed;
}

void registerLocked(Object* object) {
    globals().live.insert(object);
}
void unregisterLocked(Object* object) {
    globals().live.erase(object);
}

Object* findLocked(HANDLE handle, Kind kind) {
    auto* object = static_cast<Object*>(handle);
    if (globals().live.count(object) == 0 || object->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

void retainLocked(Object* object) {
    ++object->refs;
}

void releaseLocked(Object* object) {
    if (--object->refs == 0) {
        delete object;
    }
}

void setEventLocked(Event* event) {
    event->signalled = true;
    changed().notify_all();
}

int threadsKeepingSystemAwake() {
    return awakeThreads;
}

DWORD errorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ELOOP:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
        return ERROR_NO_DATA;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace win32_posix

using namespace win32_posix;

// --- Errors. ---

DWORD GetLastError() {
    return lastError;
}
void SetLastError(DWORD error) {
    lastError = error;
}

// --- Critical sections: recursive mutexes. ---

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}
void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_destroy(&cs->mutex);
}
void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_lock(&cs->mutex);
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(&cs->mutex);
}

// --- Events and waits. ---

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    return createEvent(bManualReset, bInitialState);
}
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    return createEvent(bManualReset, bInitialState);
}

BOOL SetEvent(HANDLE hEvent) {
    std::lock_guard<std::mutex> held(bigLock());
    auto* event = static_cast<Event*>(findLocked(hEvent, Kind::Event));
    if (event == nullptr) {
        return FALSE;
    }
    setEventLocked(event);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    std::lock_guard<std::mutex> held(bigLock());
    auto* event = static_cast<Event*>(findLocked(hEvent, Kind::Event));
    if (event == nullptr) {
        return FALSE;
    }
    event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

// Waits on events, timers and thread handles. Each waited object is retained for the wait's span,
// so a handle closed meanwhile does not pull the object out from under the wait (as on Windows).
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    std::unique_lock<std::mutex> held(bigLock());
    std::array<Object*, MAXIMUM_WAIT_OBJECTS> objects{};
    for (DWORD i = 0; i < nCount; ++i) {
        auto* object = static_cast<Object*>(lpHandles[i]);
        if (globals().live.count(object) == 0 ||
            (object->kind != Kind::Event && object->kind != Kind::Timer &&
             object->kind != Kind::Thread)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects[i] = object;
    }
    for (DWORD i = 0; i < nCount; ++i) {
        retainLocked(objects[i]);
    }
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        const auto now = Clock::now();
        if (bWaitAll) {
            bool all = true;
            for (DWORD i = 0; i < nCount && all; ++i) {
                all = isSignalled(objects[i], now);
            }
            if (all) {
                for (DWORD i = 0; i < nCount; ++i) {
                    consume(objects[i]);
                }
                result = WAIT_OBJECT_0;
                break;
            }
        } else {
            DWORD found = nCount;
            for (DWORD i = 0; i < nCount && found == nCount; ++i) {
                if (isSignalled(objects[i], now)) {
                    found = i; // the lowest signalled index wins
                }
            }
            if (found < nCount) {
                consume(objects[found]);
                result = WAIT_OBJECT_0 + found;
                break;
            }
        }
        if (dwMilliseconds != INFINITE && now >= deadline) {
            break;
        }
        // Until the wait's own end or the first due time of a timer waited on, whichever is first.
        auto until = dwMilliseconds == INFINITE ? Clock::time_point::max() : deadline;
        for (DWORD i = 0; i < nCount; ++i) {
            if (objects[i]->kind == Kind::Timer && static_cast<Timer*>(objects[i])->armed &&
                static_cast<Timer*>(objects[i])->due < until) {
                until = static_cast<Timer*>(objects[i])->due;
            }
        }
        if (until == Clock::time_point::max()) {
            changed().wait(held);
        } else {
            changed().wait_until(held, until);
        }
    }
    for (DWORD i = 0; i < nCount; ++i) {
        releaseLocked(objects[i]);
    }
    return result;
}

// --- Threads. ---

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    const DWORD createSuspended = 0x4;
    if (lpStartAddress == nullptr || (dwCreationFlags & createSuspended) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* thread = new Thread;
    thread->refs = 2; // the handle and the running thread
    const DWORD id = nextThreadId++;
    {
        std::lock_guard<std::mutex> held(bigLock());
        registerLocked(thread);
    }
    if (lpThreadId != nullptr) {
        *lpThreadId = id;
    }
    try {
        std::thread([thread, lpStartAddress, lpParameter] {
            lpStartAddress(lpParameter);
            if (executionStateAsked) {
                SetThreadExecutionState(ES_CONTINUOUS); // its request ends before its handle is set
            }
            std::lock_guard<std::mutex> held(bigLock());
            thread->done = true;
            changed().notify_all();
            releaseLocked(thread);
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> held(bigLock());
        unregisterLocked(thread);
        delete thread;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return thread;
}

void Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
    const bool known =
        (nPriority >= THREAD_PRIORITY_LOWEST && nPriority <= THREAD_PRIORITY_HIGHEST) ||
        nPriority == THREAD_PRIORITY_IDLE || nPriority == THREAD_PRIORITY_TIME_CRITICAL;
    std::lock_guard<std::mutex> held(bigLock());
    auto* thread = static_cast<Thread*>(findLocked(hThread, Kind::Thread));
    if (thread == nullptr) {
        return FALSE;
    }
    if (!known) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->priority = nPriority;
    return TRUE;
}

int GetThreadPriority(HANDLE hThread) {
    std::lock_guard<std::mutex> held(bigLock());
    auto* thread = static_cast<Thread*>(findLocked(hThread, Kind::Thread));
    return thread == nullptr ? THREAD_PRIORITY_ERROR_RETURN : thread->priority;
}

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags) {
    if ((esFlags & ~(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    executionStateAsked = true;
    ExecutionState& state = executionState;
    const EXECUTION_STATE previous = state.lasting;
    if ((esFlags & ES_CONTINUOUS) != 0) {
        awakeThreads +=
            int((esFlags & ES_SYSTEM_REQUIRED) != 0) - int((previous & ES_SYSTEM_REQUIRED) != 0);
        state.lasting = esFlags;
    }
    return previous;
}

// --- Waitable timers. ---

HANDLE CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpTimerName, DWORD dwFlags, DWORD) {
    const DWORD known = CREATE_WAITABLE_TIMER_MANUAL_RESET | CREATE_WAITABLE_TIMER_HIGH_RESOLUTION;
    if (lpTimerName != nullptr || (dwFlags & ~known) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // named timers are not rendered
        return nullptr;
    }
    auto* timer = new Timer((dwFlags & CREATE_WAITABLE_TIMER_MANUAL_RESET) != 0);
    std::lock_guard<std::mutex> held(bigLock());
    registerLocked(timer);
    return timer;
}

BOOL SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                      PTIMERAPCROUTINE pfnCompletionRoutine, LPVOID, BOOL) {
    if (lpDueTime == nullptr || lPeriod != 0 || pfnCompletionRoutine != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER); // periodic timers and routines are not rendered
        return FALSE;
    }
    const LONGLONG due = lpDueTime->QuadPart;
    const auto now = Clock::now();
    std::chrono::nanoseconds fromNow(0);
    if (due > 0) {
        // Windows counts from 1601, the system clock from 1970: 11644473600 s later.
        fromNow = std::chrono::nanoseconds((due - 116444736000000000LL) * 100) -
                  std::chrono::system_clock::now().time_since_epoch();
    } else {
        fromNow = std::chrono::nanoseconds(-due * 100);
    }
    const Clock::time_point when = now + std::chrono::duration_cast<Clock::duration>(fromNow);
    std::lock_guard<std::mutex> held(bigLock());
    auto* timer = static_cast<Timer*>(findLocked(hTimer, Kind::Timer));
    if (timer == nullptr) {
        return FALSE;
    }
    timer->signalled = false;
    timer->armed = true;
    timer->due = when;
    changed().notify_all(); // waiters on it look at the new due time
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    lpPerformanceCount->QuadPart =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    lpFrequency->QuadPart = 1000000000;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    std::unique_lock<std::mutex> held(bigLock());
    auto* object = static_cast<Object*>(hObject);
    if (globals().live.count(object) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    unregisterLocked(object);
    switch (object->kind) {
    case Kind::Event:
    case Kind::Timer:
    case Kind::Thread:
        releaseLocked(object); // a running thread keeps its own reference and keeps running
        return TRUE;
    case Kind::Pipe: {
        const int fd = static_cast<Pipe*>(object)->fd;
        delete object;
        held.unlock();
        close(fd);
        return TRUE;
    }
    case Kind::Device:
        return closeDevice(object, held);
    }
    return FALSE;
}

// --- Anonymous pipes. ---

BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES, DWORD nSize) {
    // Windows has no SIGPIPE: a write to a pipe without reader fails with an error instead.
    static std::once_flag noSigpipe;
    std::call_once(noSigpipe, [] { signal(SIGPIPE, SIG_IGN); });
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    // nSize is a minimum: grow the pipe if asked for more than it has, never shrink it.
    const int size = fcntl(fds[1], F_GETPIPE_SZ);
    if (size > 0 && nSize > static_cast<DWORD>(size)) {
        fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(nSize));
    }
    auto* reader = new Pipe(fds[0]);
    auto* writer = new Pipe(fds[1]);
    std::lock_guard<std::mutex> held(bigLock());
    registerLocked(reader);
    registerLocked(writer);
    *hReadPipe = reader;
    *hWritePipe = writer;
    return TRUE;
}

BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
    int fd = -1;
    if (findPipe(hNamedPipe, &fd) == nullptr) {
        return FALSE;
    }
    if (lpBuffer != nullptr && nBufferSize > 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // peeking at the bytes themselves is not supported
        return FALSE;
    }
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) != 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    if (available == 0) {
        // An empty pipe whose write end is closed is broken, as on Windows.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
    }
    if (lpBytesRead != nullptr) {
        *lpBytesRead = 0;
    }
    if (lpTotalBytesAvail != nullptr) {
        *lpTotalBytesAvail = static_cast<DWORD>(available);
    }
    if (lpBytesLeftThisMessage != nullptr) {
        *lpBytesLeftThisMessage = 0;
    }
    return TRUE;
}

// --- ReadFile / WriteFile: synchronous on pipes, overlapped (or synchronous) on devices. ---

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    std::unique_lock<std::mutex> held(bigLock());
    auto* object = static_cast<Object*>(hFile);
    if (globals().live.count(object) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->kind == Kind::Device) {
        return deviceReadLocked(object, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                lpOverlapped, held);
    }
    if (object->kind != Kind::Pipe || lpOverlapped != nullptr) {
        SetLastError(object->kind != Kind::Pipe ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int fd = static_cast<Pipe*>(object)->fd;
    held.unlock();
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    if (nNumberOfBytesToRead == 0) {
        return TRUE;
    }
    // Blocks until at least one byte is there; returns what is there, up to the count.
    for (;;) {
        const ssize_t got = read(fd, lpBuffer, nNumberOfBytesToRead);
        if (got > 0) {
            if (lpNumberOfBytesRead != nullptr) {
                *lpNumberOfBytesRead = static_cast<DWORD>(got);
            }
            return TRUE;
        }
        if (got == 0) {
            SetLastError(ERROR_BROKEN_PIPE); // the write end is closed and the pipe is empty
            return FALSE;
        }
        if (errno != EINTR) {
            SetLastError(errorFromErrno(errno));
            return FALSE;
        }
    }
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    std::unique_lock<std::mutex> held(bigLock());
    auto* object = static_cast<Object*>(hFile);
    if (globals().live.count(object) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->kind == Kind::Device) {
        return deviceWriteLocked(object, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                                 lpOverlapped, held);
    }
    if (object->kind != Kind::Pipe || lpOverlapped != nullptr) {
        SetLastError(object->kind != Kind::Pipe ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int fd = static_cast<Pipe*>(object)->fd;
    held.unlock();
    // Writes everything, blocking while the pipe is full.
    const auto* bytes = static_cast<const BYTE*>(lpBuffer);
    DWORD done = 0;
    BOOL result = TRUE;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t put = write(fd, bytes + done, nNumberOfBytesToWrite - done);
        if (put > 0) {
            done += static_cast<DWORD>(put);
        } else if (put < 0 && errno != EINTR) {
            SetLastError(errorFromErrno(errno));
            result = FALSE;
            break;
        }
    }
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = done;
    }
    return result;
}

// --- Formatting. ---

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    const int limit = 1024; // Windows writes at most 1024 characters plus the NUL
    va_list arguments;
    va_start(arguments, format);
    const int wanted = std::vsnprintf(buffer, limit + 1, format, arguments);
    va_end(arguments);
    return wanted > limit ? limit : wanted;
}
