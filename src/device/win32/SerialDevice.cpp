// The serial device on the Win32 communications calls: an exclusive overlapped handle, its
// time-outs, event mask and DCB, and one comm-event wait that outlives a Wait call so that no
// byte slips between two of them.
//
// Wine runs these tests on a pseudo-terminal and differs from Windows in three ways that this
// code tolerates: it does not refuse a second open, it opens a COM link whose target is gone
// (every comm call then fails, which Open checks), and it ends a timed-out overlapped read with
// ERROR_TIMEOUT where Windows completes it with the bytes it got.
#include "device/SerialDevice.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "device/DeviceBackend.h"
#include "device/ModeString.h"
#include "os/ErrorDetail.h"
#include "os/Format.h"

namespace vandrelux::platform {
namespace {

HANDLE HandleOf(const Event& event) {
    return reinterpret_cast<HANDLE>(event.NativeHandle());
}

bool Fail(DWORD code) {
    ::SetLastError(code);
    return false;
}

HANDLE NewManualResetEvent() {
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "CreateEvent");
    }
    return event;
}

// The total time a write may take, below INFINITE so that a wait on it always ends; with
// both parts 0 there is no limit, as COMMTIMEOUTS has it.
DWORD WriteBudgetMs(std::uint32_t perByteMs, std::uint32_t constantMs, std::size_t size) {
    if (perByteMs == 0 && constantMs == 0) {
        return INFINITE;
    }
    constexpr std::uint64_t kLongest = INFINITE - 1;
    std::uint64_t budget = constantMs;
    if (perByteMs != 0 && size > (kLongest - budget) / perByteMs) {
        return static_cast<DWORD>(kLongest);
    }
    budget += std::uint64_t{perByteMs} * size;
    return static_cast<DWORD>(std::min(budget, kLongest));
}

char ParityLetter(BYTE parity) {
    switch (parity) {
        case ODDPARITY:
            return 'O';
        case EVENPARITY:
            return 'E';
        case MARKPARITY:
            return 'M';
        case SPACEPARITY:
            return 'S';
        default:
            return 'N';
    }
}

// What the DCB says about the parts of a LineState.
LineState LineStateOf(const DCB& dcb) {
    LineState state;
    state.baudRate = static_cast<int>(dcb.BaudRate);
    state.parity = ParityLetter(dcb.Parity);
    state.dataBits = dcb.ByteSize;
    state.stopBits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
    state.rtsEnabled = dcb.fRtsControl == RTS_CONTROL_ENABLE;
    return state;
}

bool SameFormat(const LineState& a, const LineState& b) {
    return a.baudRate == b.baudRate && a.parity == b.parity && a.dataBits == b.dataBits &&
           a.stopBits == b.stopBits;
}

// Raw 8-bit-clean bytes without flow control, so nothing on the line is eaten or held back.
void MakeRaw(DCB& dcb, const LineState& state) {
    dcb.fBinary = TRUE;
    dcb.fParity = state.parity != 'N';
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = state.rtsEnabled ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
}

}  // namespace

bool BuildLineState(std::string_view mode, LineState& state) {
    if (!ParseModeString(mode, state)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return true;
}

// How long a cancelled comm-event wait may take to end before the port closes anyway.
constexpr DWORD kCommWaitEndMs = 500;

namespace {

// The loop's overlapped calls on a port: its comm-event wait and its write, with the bytes the
// write is sending.
struct LoopCalls {
    OVERLAPPED wait{};
    DWORD events = 0;
    bool waitPending = false;
    OVERLAPPED write{};
    std::vector<std::uint8_t> writing;
    bool writePending = false;

    [[nodiscard]] bool Pending() {
        return (waitPending && !HasOverlappedIoCompleted(&wait)) ||
               (writePending && !HasOverlappedIoCompleted(&write));
    }
};

// Calls a driver did not end when their port closed keep their memory until the program ends.
std::mutex g_parkedLock;
std::vector<std::unique_ptr<LoopCalls>> g_parked;

}  // namespace

struct LocalSerialDevice::Impl {
    HANDLE port = INVALID_HANDLE_VALUE;
    DCB original{};
    std::uint32_t writePerByteMs = 0;
    std::uint32_t writeConstantMs = 0;

    // Reads and writes: the port object runs them one at a time under its lock.
    HANDLE ioEvent = NewManualResetEvent();
    // The comm-event wait, started by Wait and left running when something else woke it.
    HANDLE commEvent = NewManualResetEvent();
    OVERLAPPED commWait{};
    DWORD commEvents = 0;
    bool commWaitPending = false;

    // A loop that waits on many devices: the comm-event wait and a write under way both signal
    // readyEvent, which WaitHandle gives the loop.
    HANDLE readyEvent = NewManualResetEvent();
    std::unique_ptr<LoopCalls> loop = std::make_unique<LoopCalls>();
    DWORD waitFailure = 0;  // why the comm-event wait could not be set up; the next read says it
    IoStep failedStep = IoStep::Call;  // of the last failed read or write

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() {
        ::CloseHandle(ioEvent);
        ::CloseHandle(commEvent);
        ::CloseHandle(readyEvent);
    }

    // Ends the loop's overlapped calls before the port closes: their OVERLAPPEDs and bytes must
    // not be written to once they are freed. Both signal the same event, so each call's own end
    // is looked at, not the event; a call the driver will not end in time is left its memory
    // for good.
    void EndLoopCalls() {
        LoopCalls& calls = *loop;
        for (OVERLAPPED* io : {&calls.wait, &calls.write}) {
            const bool pending = io == &calls.wait ? calls.waitPending : calls.writePending;
            if (pending && !HasOverlappedIoCompleted(io)) {
                ::CancelIoEx(port, io);
            }
        }
        for (DWORD waited = 0; waited < kCommWaitEndMs && calls.Pending(); ++waited) {
            ::Sleep(1);
        }
        if (calls.Pending()) {
            const std::lock_guard lock(g_parkedLock);
            g_parked.push_back(std::move(loop));
            loop = std::make_unique<LoopCalls>();
        }
        loop->waitPending = false;
        loop->writePending = false;
    }

    // The open handle, or nothing with ERROR_INVALID_HANDLE so that calls on a closed port
    // fail quietly.
    HANDLE OpenPort() const {
        if (port == INVALID_HANDLE_VALUE) {
            ::SetLastError(ERROR_INVALID_HANDLE);
        }
        return port;
    }

    void EndCommWait() {
        if (!commWaitPending) {
            return;
        }
        // A new mask ends the wait on Windows and under Wine alike; Wine cancels no comm wait.
        ::SetCommMask(port, 0);
        ::CancelIoEx(port, &commWait);
        // Once the line is gone, a driver may end the wait only when the handle closes (Wine
        // does so after a hang-up): never wait for it without end. The OVERLAPPED lives as long
        // as this object, so a late end writes nowhere it should not.
        if (::WaitForSingleObject(commWait.hEvent, kCommWaitEndMs) == WAIT_OBJECT_0) {
            DWORD ignored = 0;
            ::GetOverlappedResult(port, &commWait, &ignored, FALSE);
        }
        commWaitPending = false;
    }

    // Runs an overlapped call to its end. Stops early, cancelling it, when `stop` is set
    // (ERROR_OPERATION_ABORTED) or `limitMs` passes (ERROR_TIMEOUT). A failure is the call's
    // own unless it was under way, when it is the completion wait's.
    bool Complete(BOOL started, OVERLAPPED& io, DWORD& transferred, const Event* stop,
                  DWORD limitMs) {
        failedStep = IoStep::Call;
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        failedStep = IoStep::CompletionWait;
        if (started) {
            return ::GetOverlappedResult(port, &io, &transferred, FALSE) != FALSE;
        }
        const HANDLE handles[2] = {io.hEvent, stop == nullptr ? nullptr : HandleOf(*stop)};
        const DWORD woke =
            ::WaitForMultipleObjects(stop == nullptr ? 1 : 2, handles, FALSE, limitMs);
        if (woke == WAIT_OBJECT_0) {
            return ::GetOverlappedResult(port, &io, &transferred, FALSE) != FALSE;
        }
        const DWORD reason = woke == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED
                             : woke == WAIT_TIMEOUT    ? ERROR_TIMEOUT
                                                       : ::GetLastError();
        ::CancelIoEx(port, &io);
        // It may have finished meanwhile; then it counts.
        if (::GetOverlappedResult(port, &io, &transferred, TRUE) != FALSE) {
            return true;
        }
        return Fail(reason);
    }
};

LocalSerialDevice::LocalSerialDevice() : m_impl(std::make_unique<Impl>()) {}

LocalSerialDevice::~LocalSerialDevice() {
    Close();
}

bool LocalSerialDevice::Open(const std::string& path) {
    Close();
    HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Anything that is no comm device (a file, or under Wine a COM link to nothing) fails here.
    DCB original{};
    original.DCBlength = sizeof original;
    if (!::GetCommState(port, &original)) {
        const DWORD code = ::GetLastError();
        ::CloseHandle(port);
        return Fail(code);
    }
    m_impl->port = port;
    m_impl->original = original;
    m_impl->writePerByteMs = 0;
    m_impl->writeConstantMs = 0;
    return true;
}

void LocalSerialDevice::Close() noexcept {
    if (m_impl->port == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD savedError = ::GetLastError();  // callers read the error that made them close
    m_impl->EndCommWait();
    // A new mask ends the loop's comm-event wait as it ends the monitor's.
    ::SetCommMask(m_impl->port, 0);
    m_impl->EndLoopCalls();
    m_impl->waitFailure = 0;
    ::SetCommState(m_impl->port, &m_impl->original);
    ::CloseHandle(m_impl->port);
    m_impl->port = INVALID_HANDLE_VALUE;
    ::SetLastError(savedError);
}

bool LocalSerialDevice::IsOpen() const noexcept {
    return m_impl->port != INVALID_HANDLE_VALUE;
}

std::intptr_t LocalSerialDevice::WaitHandle() const noexcept {
    return m_impl->port == INVALID_HANDLE_VALUE
               ? -1
               : reinterpret_cast<std::intptr_t>(m_impl->readyEvent);
}

void LocalSerialDevice::ArmWait(bool forInput, bool forOutput) {
    Impl& impl = *m_impl;
    LoopCalls& calls = *impl.loop;
    if (impl.port == INVALID_HANDLE_VALUE) {
        return;
    }
    if (calls.waitPending && HasOverlappedIoCompleted(&calls.wait)) {
        DWORD ignored = 0;
        ::GetOverlappedResult(impl.port, &calls.wait, &ignored, FALSE);
        calls.waitPending = false;
    }
    // A write that ended between the loop's look and its reset of the event raises no event of
    // its own.
    if (forOutput && calls.writePending && HasOverlappedIoCompleted(&calls.write)) {
        ::SetEvent(impl.readyEvent);
    }
    if (!forInput) {
        return;  // input waits for the loop to want it again
    }
    if (!calls.waitPending && impl.waitFailure == 0) {
        calls.wait = {};
        calls.wait.hEvent = impl.readyEvent;
        calls.events = 0;
        if (::WaitCommEvent(impl.port, &calls.events, &calls.wait)) {
            ::SetEvent(impl.readyEvent);
        } else if (::GetLastError() == ERROR_IO_PENDING) {
            calls.waitPending = true;
        } else {
            // No wait to be had (the line is gone): the loop's next read says why.
            impl.waitFailure = ::GetLastError();
        }
    }
    // A byte that came before the wait began raises no event of its own.
    COMSTAT comStat{};
    DWORD errors = 0;
    if (impl.waitFailure != 0 ||
        (::ClearCommError(impl.port, &errors, &comStat) && comStat.cbInQue > 0)) {
        ::SetEvent(impl.readyEvent);
    }
}

bool LocalSerialDevice::HoldsOutput() const noexcept {
    return m_impl->loop->writePending;
}

bool LocalSerialDevice::SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) {
    const HANDLE port = m_impl->OpenPort();
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = perByteMs;
    timeouts.ReadTotalTimeoutMultiplier = perByteMs;
    timeouts.ReadTotalTimeoutConstant = constantMs;
    timeouts.WriteTotalTimeoutMultiplier = perByteMs;
    timeouts.WriteTotalTimeoutConstant = constantMs;
    if (port == INVALID_HANDLE_VALUE || !::SetCommTimeouts(port, &timeouts)) {
        return false;
    }
    m_impl->writePerByteMs = perByteMs;
    m_impl->writeConstantMs = constantMs;
    return true;
}

bool LocalSerialDevice::SetEventMask(std::uint32_t mask) {
    const HANDLE port = m_impl->OpenPort();
    return port != INVALID_HANDLE_VALUE && ::SetCommMask(port, mask) != FALSE;
}

bool LocalSerialDevice::GetLineState(LineState& state) {
    const HANDLE port = m_impl->OpenPort();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == INVALID_HANDLE_VALUE || !::GetCommState(port, &dcb)) {
        return false;
    }
    state = LineStateOf(dcb);
    return true;
}

bool LocalSerialDevice::SetLineState(const LineState& state) {
    const HANDLE port = m_impl->OpenPort();
    DCB before{};
    before.DCBlength = sizeof before;
    if (port == INVALID_HANDLE_VALUE || !::GetCommState(port, &before)) {
        return false;
    }
    // Checked first: BuildCommDCB would take a parity letter or stop bits this program never
    // means, and the driver would take any speed.
    LineState checked = state;
    const std::string mode = Format("baud=%d parity=%c data=%d stop=%d", state.baudRate,
                                    state.parity, state.dataBits, state.stopBits);
    if (!ParseModeString(mode, checked)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DCB wanted = before;
    if (!::BuildCommDCBA(mode.c_str(), &wanted)) {
        return false;
    }
    MakeRaw(wanted, state);
    if (!::SetCommState(port, &wanted)) {
        return false;
    }
    // A driver may keep what it cannot frame; a silently different format garbles every byte.
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!::GetCommState(port, &applied)) {
        return false;
    }
    if (!SameFormat(LineStateOf(applied), state)) {
        ::SetCommState(port, &before);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return true;
}

bool LocalSerialDevice::Purge() {
    const HANDLE port = m_impl->OpenPort();
    return port != INVALID_HANDLE_VALUE &&
           ::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) !=
               FALSE;
}

bool LocalSerialDevice::PurgeOutput() {
    const HANDLE port = m_impl->OpenPort();
    return port != INVALID_HANDLE_VALUE &&
           ::PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
}

bool LocalSerialDevice::GetStatus(QueueStatus& status) {
    // Zeroed on failure, so a caller waiting for the output queue to empty cannot wait forever.
    status = {};
    const HANDLE port = m_impl->OpenPort();
    DWORD errors = 0;
    COMSTAT comStat{};
    if (port == INVALID_HANDLE_VALUE || !::ClearCommError(port, &errors, &comStat)) {
        return false;
    }
    status.inQueue = comStat.cbInQue;
    status.outQueue = comStat.cbOutQue;
    return true;
}

std::optional<std::size_t> LocalSerialDevice::Read(std::uint8_t* data, std::size_t size) {
    m_impl->failedStep = IoStep::Call;
    if (m_impl->waitFailure != 0) {
        Fail(m_impl->waitFailure);
        return std::nullopt;
    }
    QueueStatus status;
    if (!GetStatus(status)) {
        return std::nullopt;
    }
    if (size == 0 || status.inQueue == 0) {
        return 0;
    }
    if (data == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    // Only what is queued, so the read completes without waiting for more.
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, status.inQueue));
    OVERLAPPED io{};
    io.hEvent = m_impl->ioEvent;
    ::ResetEvent(io.hEvent);
    DWORD got = 0;
    const BOOL started = ::ReadFile(m_impl->port, data, wanted, &got, &io);
    if (!m_impl->Complete(started, io, got, nullptr, INFINITE)) {
        // Wine's way of saying what Windows says with a short count.
        if (::GetLastError() != ERROR_TIMEOUT) {
            return std::nullopt;
        }
    }
    return static_cast<std::size_t>(got);
}

bool LocalSerialDevice::Write(const std::uint8_t* data, std::size_t size, const Event* stop) {
    m_impl->failedStep = IoStep::Call;
    const HANDLE port = m_impl->OpenPort();
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    if (data == nullptr || size > std::numeric_limits<DWORD>::max()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    OVERLAPPED io{};
    io.hEvent = m_impl->ioEvent;
    ::ResetEvent(io.hEvent);
    DWORD written = 0;
    const BOOL started = ::WriteFile(port, data, static_cast<DWORD>(size), &written, &io);
    // The driver ends the write at its time-outs; the same budget here bounds a driver that
    // does not.
    const DWORD budget = WriteBudgetMs(m_impl->writePerByteMs, m_impl->writeConstantMs, size);
    if (!m_impl->Complete(started, io, written, stop, budget)) {
        return false;
    }
    // A write that timed out completes with the bytes it got out.
    return written == size || Fail(ERROR_TIMEOUT);
}

// The loop's write: begun here and finished by the system while the loop goes on; a write
// still under way takes nothing more, and its end signals the wait handle.
std::optional<std::size_t> LocalSerialDevice::WriteSome(const std::uint8_t* data,
                                                        std::size_t size) {
    Impl& impl = *m_impl;
    LoopCalls& calls = *impl.loop;
    impl.failedStep = IoStep::Call;
    const HANDLE port = impl.OpenPort();
    if (port == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    if (calls.writePending) {
        if (!HasOverlappedIoCompleted(&calls.write)) {
            return 0;
        }
        calls.writePending = false;
        DWORD written = 0;
        impl.failedStep = IoStep::CompletionWait;
        if (!::GetOverlappedResult(port, &calls.write, &written, FALSE)) {
            return std::nullopt;
        }
        // The driver ends a write at its time-outs with what it got out.
        if (written < calls.writing.size()) {
            Fail(ERROR_TIMEOUT);
            return std::nullopt;
        }
        impl.failedStep = IoStep::Call;
    }
    if (size == 0 || data == nullptr) {
        return 0;
    }
    if (size > std::numeric_limits<DWORD>::max()) {
        Fail(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    calls.writing.assign(data, data + size);
    calls.write = {};
    calls.write.hEvent = impl.readyEvent;
    if (!::WriteFile(port, calls.writing.data(), static_cast<DWORD>(size), nullptr, &calls.write) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        return std::nullopt;
    }
    calls.writePending = true;
    return size;
}

IoStep LocalSerialDevice::LastFailedIoStep() const noexcept {
    return m_impl->failedStep;
}

WaitResult LocalSerialDevice::Wait(const Event& stop, const Event& writeRequest, bool watchPort) {
    if (stop.IsSet()) {
        return WaitResult::Stop;
    }
    Impl& impl = *m_impl;
    const bool watching = watchPort && impl.port != INVALID_HANDLE_VALUE;
    bool portEventValid = false;
    if (watching) {
        if (!impl.commWaitPending) {
            impl.commWait = {};
            impl.commWait.hEvent = impl.commEvent;
            ::ResetEvent(impl.commEvent);
            impl.commEvents = 0;
            if (::WaitCommEvent(impl.port, &impl.commEvents, &impl.commWait)) {
                return WaitResult::PortActivity;
            }
            switch (::GetLastError()) {
                case ERROR_IO_PENDING:
                    impl.commWaitPending = true;
                    break;
                case ERROR_INVALID_PARAMETER:
                    break;  // no events in the mask: nothing to watch
                case ERROR_OPERATION_ABORTED:
                    return WaitResult::PortActivity;
                default:
                    return WaitResult::Failed;
            }
        }
        portEventValid = impl.commWaitPending;
        // Bytes queued before the wait began raise no event of their own.
        QueueStatus status;
        if (GetStatus(status) && status.inQueue > 0) {
            return WaitResult::PortActivity;
        }
    }
    HANDLE handles[3];
    WaitResult meaning[3];
    DWORD count = 0;
    const auto watch = [&](HANDLE handle, WaitResult result) {
        handles[count] = handle;
        meaning[count] = result;
        ++count;
    };
    watch(HandleOf(stop), WaitResult::Stop);
    if (portEventValid) {
        watch(impl.commEvent, WaitResult::PortActivity);
    }
    watch(HandleOf(writeRequest), WaitResult::WriteRequest);
    const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (woke >= WAIT_OBJECT_0 + count) {
        return WaitResult::Failed;
    }
    const WaitResult result = meaning[woke - WAIT_OBJECT_0];
    if (result == WaitResult::PortActivity) {
        impl.commWaitPending = false;
        DWORD ignored = 0;
        // A wait the driver gave up on still sends the caller to look at the queue.
        if (!::GetOverlappedResult(impl.port, &impl.commWait, &ignored, FALSE) &&
            ::GetLastError() != ERROR_OPERATION_ABORTED) {
            return WaitResult::Failed;
        }
    }
    return result;
}

}  // namespace vandrelux::platform
