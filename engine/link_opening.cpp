// Opening the links without holding the worker: the open itself on a short-lived thread, the
// Connect and Disconnect commands around it, the reopening of a lost port, and the request that
// keeps the system awake while a link is open.
#include <atomic>
#include <chrono>
#include <mutex>

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
    if (deferWhileBusy(link, link == LinkIncoming ? CommandConnectIncoming : CommandConnectOutgoing,
                       port)) {
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
    if (deferWhileBusy(link,
                       link == LinkIncoming ? CommandDisconnectIncoming : CommandDisconnectOutgoing,
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
        closeIncoming(CloseDisconnected);
        return;
    }
    if (!outgoingOpen) {
        reportOutgoing(StatusNotOpened, 0);
        return;
    }
    // Halted before it closes: once closed, nothing can reach the mount until a Connect. The
    // halts go out before the handle does. One that finds the device gone has closed the link and
    // reported it already.
    haltMovingAxes();
    stopRetrying(LinkOutgoing);
    if (outgoingOpen) {
        closeOutgoing(CloseDisconnected);
    }
}

bool Controller::linkBusy(int link) const {
    const LinkState& state = links[link];
    return (state.job != nullptr && state.jobByUser) || state.confirming || lines[link].closing;
}

namespace {

bool sameCommand(const LinkState::Run& run, std::uint8_t code, std::uint8_t port) {
    return run.times > 0 && run.code == code && run.port == port;
}

bool isDisconnect(std::uint8_t code) {
    return code == CommandDisconnectIncoming || code == CommandDisconnectOutgoing;
}

// Two entries of waiting commands folded into what they come to. Every command still gets an
// answer, and the link ends as the last of them leaves it: a Disconnect last leaves it closed; a
// Connect after a Disconnect opens the port of the first Connect after the last Disconnect; with
// no Disconnect at all, the first Connect's port is the one that opens.
LinkState::Deferred folded(const LinkState::Deferred& older, const LinkState::Deferred& newer,
                           std::uint8_t disconnectCode) {
    std::int32_t total = 0;
    std::int32_t connectsAfter = 0;
    std::uint8_t connectCode = 0;
    std::uint8_t port = 0;
    bool portKnown = false;
    bool disconnected = false;
    bool lastIsDisconnect = false;
    for (const LinkState::Deferred* entry : {&older, &newer}) {
        for (const LinkState::Run& run : entry->runs) {
            if (run.times == 0) {
                continue;
            }
            total += run.times;
            lastIsDisconnect = isDisconnect(run.code);
            if (lastIsDisconnect) {
                disconnected = true;
                connectsAfter = 0;
                portKnown = false;
                continue;
            }
            connectCode = run.code;
            if (!portKnown) {
                port = run.port;
                portKnown = true;
            }
            connectsAfter += run.times;
        }
    }
    LinkState::Deferred net;
    if (lastIsDisconnect) {
        net.runs[0] = {disconnectCode, 0, total};
    } else if (!disconnected) {
        net.runs[0] = {connectCode, port, total};
    } else {
        net.runs[0] = {disconnectCode, 0, total - connectsAfter};
        net.runs[1] = {connectCode, port, connectsAfter};
    }
    return net;
}

} // namespace

bool Controller::deferWhileBusy(int link, std::uint8_t code, std::uint8_t port) {
    LinkState& state = links[link];
    // The command runDeferred is carrying out goes ahead; any other waits while the link is busy
    // or older commands still wait, so that statuses keep their order. The worker never waits.
    if (runningDeferred[link] || (!linkBusy(link) && state.deferredCount == 0)) {
        return false;
    }
    LinkState::Deferred* last =
        state.deferredCount > 0 ? &state.deferred[state.deferredCount - 1] : nullptr;
    if (last != nullptr) {
        LinkState::Run& first = last->runs[0];
        LinkState::Run& second = last->runs[1];
        if (second.times == 0 && sameCommand(first, code, port)) {
            first.times += 1;
            return true;
        }
        if (sameCommand(second, code, port)) {
            second.times += 1;
            return true;
        }
        if (second.times == 0 && first.times > 0) {
            second = {code, port, 1};
            return true;
        }
    }
    if (state.deferredCount == LinkState::MaxDeferred) {
        state.deferred[0] =
            folded(state.deferred[0], state.deferred[1],
                   link == LinkIncoming ? CommandDisconnectIncoming : CommandDisconnectOutgoing);
        for (int i = 2; i < state.deferredCount; ++i) {
            state.deferred[i - 1] = state.deferred[i];
        }
        state.deferredCount -= 1;
    }
    state.deferred[state.deferredCount++] = {{{code, port, 1}, {}}};
    runDeferred(link);
    return true;
}

void Controller::runDeferred(int link) {
    LinkState& state = links[link];
    if (runningDeferred[link]) {
        return;
    }
    runningDeferred[link] = true;
    while (state.deferredCount > 0 && !linkBusy(link) && !ending) {
        LinkState::Deferred& head = state.deferred[0];
        LinkState::Run& run = head.runs[0].times > 0 ? head.runs[0] : head.runs[1];
        const std::uint8_t code = run.code;
        const std::uint8_t port = run.port;
        run.times -= 1;
        if (head.runs[0].times == 0 && head.runs[1].times == 0) {
            for (int i = 1; i < state.deferredCount; ++i) {
                state.deferred[i - 1] = state.deferred[i];
            }
            state.deferredCount -= 1;
        }
        if (code == CommandConnectIncoming || code == CommandConnectOutgoing) {
            connectLink(link, port);
        } else {
            disconnectLink(link);
        }
    }
    runningDeferred[link] = false;
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
        runDeferred(link);
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
    // opens the port again. "Port opened" follows once they have gone, or once the line has
    // stalled (they stay owed and go when it moves); a device that turns out gone fails the open.
    outgoingPort = port;
    outgoingOpen = 1;
    outgoingPortNumber = number;
    movedSinceOpen = 0;
    if (unhalted == 0) {
        outgoingOpened(port, number);
        return;
    }
    state.confirming = true;
    state.confirmByUser = byUser;
    oweHalts(unhalted);
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
    for (LinkState& state : links) {
        state.retrying = false;
        state.deferredCount = 0;
    }
    // Most opens take milliseconds: wait for them, so that the ports are free when the program has
    // ended, and for the halts to go out, until the deadline; an open that hangs is left to close
    // its port alone.
    const HANDLE wakes[3] = {messageEvent, outgoingWriteEvent, incomingWriteEvent};
    for (;;) {
        serviceLines();
        bool opening = false;
        for (int link = LinkIncoming; link <= LinkOutgoing; ++link) {
            LinkState& state = links[link];
            OpenJob* job = state.job;
            if (job == nullptr) {
                continue;
            }
            if (!job->done.load(std::memory_order_acquire)) {
                opening = true;
                continue;
            }
            state.job = nullptr;
            // The mount's port came back in time: it gets the halts it is owed before it closes.
            if (link == LinkOutgoing && unhalted != 0 && job->handle != INVALID_HANDLE_VALUE &&
                outgoingPort == nullptr) {
                outgoingPort = job->handle;
                outgoingOpen = 1;
                outgoingPortNumber = state.jobPort;
                std::unique_lock<std::mutex> held(job->lock);
                letGo(job, held);
                oweHalts(unhalted);
                continue;
            }
            giveUp(job);
        }
        // The halts are waited for while the mount's line takes bytes: a line that has stalled
        // gets no more than its write bound, and the close ends what it still holds.
        const HANDLE mount = outgoingPort;
        const LineWriter& line = lines[LinkOutgoing];
        const bool halting = mount != nullptr && mount != INVALID_HANDLE_VALUE && !line.stalled &&
                             ((haltsFirst | haltsAfter) != 0 || line.inFlight);
        const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        if ((!opening && !halting) || now >= deadline) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::duration(deadline - now))
                              .count() +
                          1;
        const DWORD wait = serviceWaitMs();
        WaitForMultipleObjects(3, wakes, FALSE, static_cast<DWORD>(left) < wait ? left : wait);
    }
    for (LinkState& state : links) {
        if (state.job != nullptr) {
            giveUp(state.job);
            state.job = nullptr;
        }
    }
}
