// Opening the links without holding the worker: the open itself on a short-lived thread, the
// Connect and Disconnect commands around it, the reopening of a lost port, and the request that
// keeps the system awake while a link is open.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "controller.h"
#include "status_code.h"

// Shared by the opening thread and the worker, and freed by whichever lets go of it last. The
// worker may give a job up (a Disconnect, another Connect, the program's end) while its thread is
// still inside CreateFile; the thread then closes the port it opened itself, and never touches the
// controller, which may be gone by then.
struct OpenJob {
    std::mutex lock;
    std::uint8_t port = 0;
    // Written by the thread before done is set; read by the worker once it has seen done.
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD refusedSettings = 0;
    std::atomic<bool> done{false};
    // Guarded by lock.
    bool givenUp = false;
    HANDLE wake = nullptr; // the worker's message event, signalled when the open has finished
    int holders = 2;
};

namespace {

void letGo(OpenJob* job, std::unique_lock<std::mutex>& held) {
    const bool last = --job->holders == 0;
    held.unlock();
    if (last) {
        delete job;
    }
}

DWORD WINAPI runOpenJob(LPVOID parameter) {
    OpenJob* job = static_cast<OpenJob*>(parameter);
    DWORD refused = 0;
    const HANDLE port = Controller::openConfigured(job->port, &refused);
    std::unique_lock<std::mutex> held(job->lock);
    job->handle = port;
    job->refusedSettings = refused;
    job->done.store(true, std::memory_order_release);
    if (!job->givenUp) {
        SetEvent(job->wake);
    } else if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    letGo(job, held);
    return 0;
}

// The worker lets go of a job it no longer wants; a port it opened is closed by whoever comes last.
void giveUp(OpenJob* job) {
    std::unique_lock<std::mutex> held(job->lock);
    job->givenUp = true;
    if (job->done.load(std::memory_order_acquire) && job->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(job->handle);
    }
    letGo(job, held);
}

} // namespace

void Controller::connectLink(int link, std::uint8_t port) {
    LinkState& state = links[link];
    if (deferWhileOpening(
            link, link == LinkIncoming ? CommandConnectIncoming : CommandConnectOutgoing, port)) {
        return;
    }
    const bool open = link == LinkIncoming ? incomingOpen != 0 : outgoingOpen != 0;
    if (open) {
        reportLink(link, StatusAlreadyOpened, port);
        return;
    }
    // The user's choice ends any retrying: a retry already opening this very port becomes the
    // Connect's own open; one opening another port is given up.
    state.retrying = false;
    if (link == LinkIncoming) {
        reportIncoming(StatusOpening, port);
    }
    if (state.job != nullptr && state.jobPort == port) {
        state.jobByUser = true;
        return;
    }
    startOpen(link, port, true);
}

void Controller::disconnectLink(int link) {
    if (deferWhileOpening(
            link, link == LinkIncoming ? CommandDisconnectIncoming : CommandDisconnectOutgoing,
            0)) {
        return;
    }
    // A Disconnect stops the retries for good: the user's Disconnect means disconnect.
    stopRetrying(link);
    if (link == LinkIncoming) {
        if (!incomingOpen) {
            reportIncoming(StatusNotOpened, 0);
            return;
        }
        // Ticks stop with the guider's link: a pulse running now would never be halted.
        haltMovingAxes();
        closeIncoming();
        reportIncoming(StatusClosed, incomingPortNumber);
        return;
    }
    if (!outgoingOpen) {
        reportOutgoing(StatusNotOpened, 0);
        return;
    }
    // Halted before it closes: once closed, nothing can reach the mount until a Connect. A halt
    // that finds the device gone has closed the link and reported it already.
    haltMovingAxes();
    stopRetrying(LinkOutgoing);
    if (outgoingOpen) {
        closeOutgoing();
        reportOutgoing(StatusClosed, outgoingPortNumber);
    }
}

bool Controller::deferWhileOpening(int link, std::uint8_t code, std::uint8_t port) {
    LinkState& state = links[link];
    if (state.job == nullptr || !state.jobByUser) {
        return false;
    }
    // A Connect is opening this link: what comes after it waits for it, as it did when the worker
    // opened ports itself, so that statuses keep their order. The worker never waits here: a
    // repeat of the command before only counts it again, and should a program fill the queue with
    // changes of mind, the newest takes the last place.
    LinkState::Deferred* last =
        state.deferredCount > 0 ? &state.deferred[state.deferredCount - 1] : nullptr;
    if (last != nullptr && last->code == code && last->port == port) {
        last->times += 1;
        return true;
    }
    if (state.deferredCount < LinkState::MaxDeferred) {
        last = &state.deferred[state.deferredCount++];
    }
    *last = {code, port, 1};
    return true;
}

void Controller::startOpen(int link, std::uint8_t port, bool byUser) {
    LinkState& state = links[link];
    if (state.job != nullptr) {
        giveUp(state.job);
        state.job = nullptr;
    }
    OpenJob* job = new OpenJob;
    job->port = port;
    job->wake = messageEvent;
    DWORD id = 0;
    const HANDLE thread = CreateThread(nullptr, 0, runOpenJob, job, 0, &id);
    if (thread == nullptr) {
        // No thread to open it on: open it here, as the worker always used to.
        job->handle = openConfigured(port, &job->refusedSettings);
        job->done.store(true, std::memory_order_release);
        job->holders = 1;
    } else {
        CloseHandle(thread);
    }
    state.job = job;
    state.jobByUser = byUser;
    state.jobPort = port;
}

void Controller::collectOpens() {
    for (int link = LinkIncoming; link <= LinkOutgoing; ++link) {
        LinkState& state = links[link];
        if (state.job == nullptr || !state.job->done.load(std::memory_order_acquire)) {
            continue;
        }
        OpenJob* job = state.job;
        const HANDLE port = job->handle;
        const DWORD refusedSettings = job->refusedSettings;
        {
            std::unique_lock<std::mutex> held(job->lock);
            letGo(job, held);
        }
        state.job = nullptr;
        if (refusedSettings != 0) {
            events.record(EventLineSettings, refusedSettings, state.jobPort);
        }
        finishOpen(link, port);
        // Then what waited for the Connect, in order, until one of them opens again.
        int next = 0;
        while (next < state.deferredCount && state.job == nullptr) {
            LinkState::Deferred& command = state.deferred[next];
            const std::uint8_t code = command.code;
            if (--command.times == 0) {
                next += 1;
            }
            if (code == CommandConnectIncoming || code == CommandConnectOutgoing) {
                connectLink(link, command.port);
            } else {
                disconnectLink(link);
            }
        }
        for (int i = next; i < state.deferredCount; ++i) {
            state.deferred[i - next] = state.deferred[i];
        }
        state.deferredCount -= next;
    }
    updateAwake();
}

void Controller::finishOpen(int link, HANDLE port) {
    LinkState& state = links[link];
    const std::uint8_t number = state.jobPort;
    const bool byUser = state.jobByUser;
    if (port == INVALID_HANDLE_VALUE) {
        // A retry that failed stays quiet; the next one comes with the ticks.
        if (byUser) {
            reportLink(link, StatusCannotOpen, number);
        }
        return;
    }
    if (!byUser) {
        state.retrying = false;
        events.record(link == LinkIncoming ? EventIncomingReopen : EventOutgoingReopen, ReopenBack,
                      number);
    }
    if (link == LinkIncoming) {
        if (!byUser) {
            reportIncoming(StatusOpening, number);
        }
        incomingOpened(port, number);
        return;
    }
    // Halts first: an axis left moving when the link closed or was lost is owed its halt, whoever
    // opens the port again. One that times out stays owed and goes on a later tick.
    outgoingPort = port;
    outgoingOpen = 1;
    outgoingPortNumber = number;
    if (!writeHalts(unhalted)) {
        closeOutgoing();
        if (byUser) {
            reportOutgoing(StatusCannotOpen, number);
        } else {
            startRetrying(LinkOutgoing, number);
        }
        return;
    }
    outgoingOpened(port, number);
}

void Controller::incomingOpened(HANDLE port, std::uint8_t number) {
    incomingPort = port;
    incomingOpen = 1;
    incomingPortNumber = number;
    incomingOpening += 1;
    parserState = 0;
    commandLength = 0;
    raShowClear = NoMask;
    decShowSet = 0;
    decShowClear = NoMask;
    displayState = 0;
    raShowSet = 0;
    commandCount = 0;
    firstCommandSeen = 0;
    ResetEvent(incomingStopEvent);
    incomingReaderThread =
        CreateThread(nullptr, 0, runIncomingReader, this, 0, &incomingReaderThreadId);
    SetThreadPriority(incomingReaderThread, THREAD_PRIORITY_ABOVE_NORMAL); // asleep until bytes
    reportIncoming(StatusWaiting, incomingPortNumber);
}

void Controller::outgoingOpened(HANDLE port, std::uint8_t number) {
    outgoingPort = port;
    outgoingOpen = 1;
    outgoingPortNumber = number;
    reportOutgoing(StatusPortOpened, outgoingPortNumber);
}

void Controller::startRetrying(int link, std::uint8_t port) {
    LinkState& state = links[link];
    state.retrying = true;
    state.retryPort = port;
    state.retryTicks = RetryTicks;
    events.record(link == LinkIncoming ? EventIncomingReopen : EventOutgoingReopen, ReopenRetrying,
                  port);
}

void Controller::stopRetrying(int link) {
    LinkState& state = links[link];
    state.retrying = false;
    if (state.job != nullptr && !state.jobByUser) {
        giveUp(state.job);
        state.job = nullptr;
    }
}

void Controller::retryLostLinks() {
    for (int link = LinkIncoming; link <= LinkOutgoing; ++link) {
        LinkState& state = links[link];
        if (!state.retrying || state.job != nullptr) {
            continue;
        }
        state.retryTicks -= 1;
        if (state.retryTicks <= 0) {
            state.retryTicks = RetryTicks;
            startOpen(link, state.retryPort, false);
        }
    }
}

void Controller::updateAwake() {
    const bool wanted = incomingOpen != 0 || outgoingOpen != 0 || links[LinkIncoming].retrying ||
                        links[LinkOutgoing].retrying;
    if (wanted == keepingAwake) {
        return;
    }
    // The request belongs to the calling thread, which is always the worker; the display may still
    // turn off, and a closed lid or the user's own Sleep still win.
    SetThreadExecutionState(wanted ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
    keepingAwake = wanted;
    events.record(EventAwake, wanted ? 1 : 0, 0);
}

void Controller::endOpens(std::int64_t deadline) {
    for (int link = LinkIncoming; link <= LinkOutgoing; ++link) {
        LinkState& state = links[link];
        state.retrying = false;
        state.deferredCount = 0;
        if (state.job == nullptr) {
            continue;
        }
        // Most opens take milliseconds: wait for them, so that the ports are free when the program
        // has ended; one that hangs is left to close its port alone.
        OpenJob* job = state.job;
        state.job = nullptr;
        while (!job->done.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now().time_since_epoch().count() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The mount's port came back in time: it gets the halts it is owed before it closes.
        if (link == LinkOutgoing && unhalted != 0 && job->done.load(std::memory_order_acquire) &&
            job->handle != INVALID_HANDLE_VALUE) {
            outgoingPort = job->handle;
            outgoingOpen = 1;
            std::unique_lock<std::mutex> held(job->lock);
            letGo(job, held);
            writeHalts(unhalted);
            continue;
        }
        giveUp(job);
    }
}
