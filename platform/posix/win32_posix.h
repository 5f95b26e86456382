// The Windows kernel services the engine uses, rendered on POSIX with Windows semantics.
#pragma once

#include <cstddef>
#include <cstdint>

#include <pthread.h>

// --- Basic types (LLP64 widths as on 64-bit Windows). ---
#define WINAPI
typedef int BOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef std::size_t SIZE_T;
typedef std::uintptr_t ULONG_PTR;
typedef char CHAR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const wchar_t* LPCWSTR;
typedef std::int64_t LONGLONG;

typedef union _LARGE_INTEGER {
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef struct _SECURITY_ATTRIBUTES { // only ever passed as null
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     // status: 0 success, STATUS_PENDING (0x103) while pending, else error
    ULONG_PTR InternalHigh; // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent; // manual-reset event, reset when the I/O starts, set when it ends
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;
static_assert(sizeof(DCB) == 28, "DCB must have the Windows layout");

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;
static_assert(sizeof(COMSTAT) == 12, "COMSTAT must have the Windows layout");

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// Recursive, like a Windows critical section.
typedef struct _CRITICAL_SECTION {
    pthread_mutex_t mutex;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD EXECUTION_STATE;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef void(WINAPI* PTIMERAPCROUTINE)(LPVOID, DWORD, DWORD);

// --- Constants (Windows values). ---
#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED 0x80u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define STATUS_PENDING 0x103u

#define CREATE_WAITABLE_TIMER_MANUAL_RESET 0x1u
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x2u
#define TIMER_ALL_ACCESS 0x1F0003u
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

#define ES_SYSTEM_REQUIRED 0x00000001u
#define ES_DISPLAY_REQUIRED 0x00000002u
#define ES_CONTINUOUS 0x80000000u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_57600 57600
#define CBR_115200 115200

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_READY 21u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u

// --- Critical sections. ---
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// --- Errors (per thread). ---
DWORD GetLastError();
void SetLastError(DWORD error);

// --- Anonymous pipes. nSize is a minimum; the system's default size is kept. ---
BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES attributes,
                DWORD nSize);
// Only lpTotalBytesAvail is supported (bytes waiting); lpBuffer must be null or nBufferSize 0.
BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage);

// --- Events and threads. ---
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// Waits on events, waitable timers and thread handles (signalled once the thread has returned).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Only bWaitAll == FALSE: returns WAIT_OBJECT_0 + the lowest signalled index.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
void Sleep(DWORD dwMilliseconds);
// The priority is kept with the thread and reported back, and has no effect on its scheduling: the
// native builds run the tests, where only the calls matter.
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
int GetThreadPriority(HANDLE hThread);
// Per calling thread, as on Windows: with ES_CONTINUOUS the flags become the thread's lasting
// request, without it the call is a one-off that leaves the lasting request alone. Returns the
// thread's previous lasting state (ES_CONTINUOUS alone at first), 0 for unknown flags. A thread's
// request ends with the thread. Nothing is asked of the system: threadsKeepingSystemAwake() below
// tells the tests what Windows would be kept awake for.
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags);

// --- Waitable timers: one-shot (lPeriod 0, no completion routine), auto or manual reset; every
// timer is a high-resolution one. A due time above 0 is absolute, in 100 ns units since 1601 (UTC);
// below 0 it is relative to now, on the monotonic clock. Setting a timer resets it. ---
HANDLE CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR lpTimerName, DWORD dwFlags,
                              DWORD dwDesiredAccess);
BOOL SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                      PTIMERAPCROUTINE pfnCompletionRoutine, LPVOID lpArgToCompletionRoutine,
                      BOOL fResume);

// The monotonic counter, in nanoseconds: the frequency is 1e9.
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
// Closes any handle kind. A thread keeps running after its handle is closed.
BOOL CloseHandle(HANDLE hObject);

// printf-style into buffer; output capped at 1024 characters (plus the terminating NUL) as on
// Windows.
int wsprintfA(LPSTR buffer, LPCSTR format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// --- Files: serial devices ("\\.\COMn" -> $BRIDGE_COM_DIR/comn), pipes for ReadFile/WriteFile. ---
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES attributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Pipes: synchronous (lpOverlapped null). Devices: overlapped (lpOverlapped required). On a device
// whose line has ended (its far side closed, or the device gone) a read fails with
// ERROR_BROKEN_PIPE and a write with ERROR_NOT_READY, at once or, if pending, at completion. A
// device's write is done once its bytes are in the device's transmit queue (256 bytes), which the
// device empties at the line rate of its settings; CloseHandle discards what is still queued.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Unlike Windows (which cancels only the calling thread's I/O), this ends ALL pending I/O on the
// handle.
BOOL CancelIo(HANDLE hFile);
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
// lpStat: cbOutQue is the bytes written but not yet on the line (the transmit queue but for the
// two bytes in the transmitter, and the rest of pending writes), cbInQue the bytes waiting to be
// read; fCtsHold/fDsrHold while that flow control holds the output. lpErrors: the line errors since
// the last call (a pty has none). Either may be null.
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);

namespace win32_posix {
// For tests only: CreateFileA of \\.\COM<port> waits ms before it opens, as a slow driver may
// (0: no wait).
void setOpenDelayForTesting(int port, DWORD ms);
// For tests only: faults of the device linked as COM<port>, for every handle of it: lineHeld, a
// line stalled for good, as behind a far end that has stopped reading once the adapter's queue is
// full (writes wait, cbOutQue counts a full queue) until it is let go; stateUnreadable,
// GetCommState fails.
void setDeviceFaultsForTesting(int port, bool lineHeld, bool stateUnreadable);
// For fuzzing only: false lets written bytes leave at once instead of at the line rate, for the
// handles whose settings are set from then on.
void setLinePacingForTesting(bool paced);
// For tests only: the number of threads whose lasting execution state has ES_SYSTEM_REQUIRED.
int threadsKeepingSystemAwake();
} // namespace win32_posix
