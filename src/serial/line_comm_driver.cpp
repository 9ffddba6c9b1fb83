#include "serial/line_comm_driver.h"

#include <chrono>
#include <new>
#include <thread>

namespace countryset {

namespace {

LineDeadline DeadlineAfter(std::uint64_t milliseconds) {
    if (milliseconds == 0) {
        return kNoDeadline;
    }
    return LineClock::now() + std::chrono::milliseconds(milliseconds);
}

std::uint64_t TotalTimeout(std::uint32_t multiplier, std::uint32_t constant, std::uint32_t count) {
    if (multiplier == kMaxDword) {
        return constant;  // "any byte or the constant", in the old model's reading
    }
    return static_cast<std::uint64_t>(multiplier) * count + constant;
}

}  // namespace

LineCommDriver::~LineCommDriver() {
    ReleaseAllPorts();
}

void LineCommDriver::ReleaseAllPorts() {
    std::unique_lock open(openMutex_);
    released_ = true;
    std::vector<std::shared_ptr<Port>> ports;
    {
        std::lock_guard lock(mutex_);
        for (auto& [handle, record] : records_) {
            if (record.port) {
                ports.push_back(record.port);
            }
        }
    }
    // Outside the table's lock: a network line's close sends its last commands.
    for (const auto& port : ports) {
        port->closed.store(true, std::memory_order_release);
        port->line->Close(true);
    }
}

std::shared_ptr<LineCommDriver::Port> LineCommDriver::FindPort(CommHandle handle) {
    std::lock_guard lock(mutex_);
    auto found = records_.find(handle);
    return found == records_.end() ? nullptr : found->second.port;
}

std::shared_ptr<LineCommDriver::Port> LineCommDriver::FindLivePort(CommHandle handle) {
    auto port = FindPort(handle);
    if (!port || port->closed.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return port;
}

CommHandle LineCommDriver::Insert(Record record) {
    try {
        std::lock_guard lock(mutex_);
        const CommHandle handle = nextHandle_++;
        records_.emplace(handle, std::move(record));
        return handle;
    } catch (const std::bad_alloc&) {
        return kNullHandle;
    }
}

PortOpenError LineCommDriver::LastOpenError() const {
    std::lock_guard lock(openErrorMutex_);
    const auto found = lastOpenErrors_.find(std::this_thread::get_id());
    return found != lastOpenErrors_.end() ? found->second : PortOpenError{};
}

void LineCommDriver::NoteOpenError(PortOpenError error) {
    try {
        std::lock_guard lock(openErrorMutex_);
        lastOpenErrors_[std::this_thread::get_id()] = std::move(error);
    } catch (const std::bad_alloc&) {
        // The open's outcome stands; only its reason is not kept.
    }
}

CommHandle LineCommDriver::CreateFile(std::string_view portName) {
    PortOpenError error;
    error.device = std::string(portName);
    auto fail = [&] {
        if (error.problem == PortProblem::None) {
            error.problem = PortProblem::Other;
        }
        NoteOpenError(std::move(error));
        return kInvalidHandleValue;
    };
    {
        std::shared_lock open(openMutex_);
        if (released_) {
            return fail();
        }
    }
    std::shared_ptr<Port> port;
    try {
        std::unique_ptr<Line> line = OpenLine(portName, error);
        if (!line) {
            return fail();
        }
        port = std::make_shared<Port>(std::move(line));
    } catch (const std::bad_alloc&) {
        return fail();
    }
    CommHandle handle = kNullHandle;
    {
        std::shared_lock open(openMutex_);
        if (!released_) {
            handle = Insert(Record{port});
        }
    }
    if (handle == kNullHandle) {
        // Released while it opened, or no room on record: it goes back at once.
        port->line->Close(true);
        return fail();
    }
    NoteOpenError(PortOpenError{});
    return handle;
}

bool LineCommDriver::CloseHandle(CommHandle handle) {
    std::shared_ptr<Port> port;
    {
        std::lock_guard lock(mutex_);
        auto found = records_.find(handle);
        if (found == records_.end()) {
            return false;
        }
        port = std::move(found->second.port);
        records_.erase(found);
    }
    if (port) {
        // A thread still inside a call holds its own reference, so the line lives until that
        // call has returned; the close ends its wait.
        port->closed.store(true, std::memory_order_release);
        port->line->Close(false);
    }
    return true;
}

CommHandle LineCommDriver::CreateEvent() {
    return Insert(Record{});
}

bool LineCommDriver::SetCommMask(CommHandle handle, std::uint32_t mask) {
    auto port = FindLivePort(handle);
    if (!port) {
        return false;
    }
    port->mask.store(mask, std::memory_order_release);
    port->line->Wake();
    return true;
}

bool LineCommDriver::RestThenFail(Port& port) {
    port.line->Wait(false, LineClock::now() + std::chrono::milliseconds(kErrorPauseMs));
    return false;
}

bool LineCommDriver::WaitCommEvent(CommHandle handle, std::uint32_t* events) {
    std::uint32_t ignored = 0;
    std::uint32_t& occurred = events ? *events : ignored;
    occurred = 0;
    auto port = FindPort(handle);
    if (!port) {
        return false;
    }
    if (port->closed.load(std::memory_order_acquire)) {
        // Released for the process's end: a watcher looping on it must not spin meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMs));
        return false;
    }
    if (port->readFailed.exchange(false, std::memory_order_acq_rel)) {
        return RestThenFail(*port);
    }
    for (;;) {
        const bool watchInput = (port->mask.load(std::memory_order_acquire) & kEvRxChar) != 0;
        switch (port->line->Wait(watchInput, kNoDeadline)) {
            case LineWait::Input:
                if ((port->mask.load(std::memory_order_acquire) & kEvRxChar) != 0) {
                    occurred = kEvRxChar;
                    return true;
                }
                break;  // the mask changed meanwhile, and its wake-up is waiting
            case LineWait::Woken:
                return !port->closed.load(std::memory_order_acquire);
            case LineWait::Closed:
                return false;
            case LineWait::HungUp:
            case LineWait::Failed:
                return RestThenFail(*port);
            case LineWait::TimedOut:
                break;
        }
    }
}

bool LineCommDriver::SetupComm(CommHandle handle, std::uint32_t, std::uint32_t) {
    // Every kind of line sizes its own queues.
    return FindPort(handle) != nullptr;
}

bool LineCommDriver::PurgeComm(CommHandle handle, std::uint32_t flags) {
    auto port = FindLivePort(handle);
    if (!port || (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) != 0) {
        return false;
    }
    const bool input = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    const bool output = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    return (!input && !output) || port->line->Purge(input, output);
}

bool LineCommDriver::SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) {
    auto port = FindLivePort(handle);
    if (!port) {
        return false;
    }
    std::lock_guard lock(port->timeoutsMutex);
    port->timeouts = timeouts;
    return true;
}

bool LineCommDriver::GetCommState(CommHandle handle, DCB* dcb) {
    auto port = FindPort(handle);
    return port && dcb && port->line->Settings(dcb);
}

bool LineCommDriver::SetCommState(CommHandle handle, const DCB& dcb) {
    auto port = FindLivePort(handle);
    return port && port->line->Configure(dcb);
}

bool LineCommDriver::EscapeCommFunction(CommHandle handle, std::uint32_t function) {
    auto port = FindLivePort(handle);
    if (!port) {
        return false;
    }
    switch (function) {
        case kSetDtr:
            return port->line->SetModemLine(ModemLine::Dtr, true);
        case kClrDtr:
            return port->line->SetModemLine(ModemLine::Dtr, false);
        case kSetRts:
            return port->line->SetModemLine(ModemLine::Rts, true);
        case kClrRts:
            return port->line->SetModemLine(ModemLine::Rts, false);
        default:
            return false;
    }
}

bool LineCommDriver::ClearCommError(CommHandle handle, std::uint32_t* queuedIn) {
    auto port = FindPort(handle);
    std::uint32_t queued = 0;
    if (!port || !port->line->Queued(&queued)) {
        return false;
    }
    if (queuedIn) {
        *queuedIn = queued;
    }
    return true;
}

IoStatus LineCommDriver::ReadFile(CommHandle handle, void* dest, std::uint32_t count,
                                  std::uint32_t* done, OverlappedBlock* block) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    moved = 0;
    auto port = FindLivePort(handle);
    if (!port || !block || (!dest && count > 0)) {
        return IoStatus::Failed;
    }
    *block = OverlappedBlock{block->hEvent, block->Offset, block->OffsetHigh, dest, count, 0,
                             false,         false};
    const LineIo io = count == 0 ? LineIo{} : port->line->Read(dest, count);
    block->transferred = io.moved <= count ? io.moved : count;
    moved = block->transferred;
    if (moved == 0 && io.status != LineStatus::Ok) {
        port->readFailed.store(true, std::memory_order_release);
        return IoStatus::Failed;
    }
    return IoStatus::Finished;
}

IoStatus LineCommDriver::WriteFile(CommHandle handle, const void* src, std::uint32_t count,
                                   std::uint32_t* done, OverlappedBlock* block) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    moved = 0;
    auto port = FindLivePort(handle);
    if (!port || !block || (!src && count > 0)) {
        return IoStatus::Failed;
    }
    // The driver only reads through this pointer; the block type is shared with reads.
    *block = OverlappedBlock{
        block->hEvent, block->Offset, block->OffsetHigh, const_cast<void*>(src), count, 0,
        false,         true};
    if (count == 0) {
        return IoStatus::Finished;
    }
    const CommTimeouts timeouts = port->Timeouts();
    const LineIo io =
        port->line->Write(src, count,
                          DeadlineAfter(TotalTimeout(timeouts.WriteTotalTimeoutMultiplier,
                                                     timeouts.WriteTotalTimeoutConstant, count)));
    block->transferred = io.moved <= count ? io.moved : count;
    if (io.status != LineStatus::Ok) {
        moved = block->transferred;
        return IoStatus::Failed;
    }
    if (block->transferred == count) {
        moved = count;
        return IoStatus::Finished;
    }
    // Ended short at its time-out: the count comes with the result, as the old model's did.
    block->pending = true;
    return IoStatus::Pending;
}

IoStatus LineCommDriver::GetOverlappedResult(CommHandle handle, OverlappedBlock* block,
                                             std::uint32_t* done, bool) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    moved = 0;
    if (!FindPort(handle) || !block) {
        return IoStatus::Failed;
    }
    block->pending = false;
    moved = block->transferred;
    return IoStatus::Finished;
}

std::vector<std::string> LineCommDriver::TakeLineNotes(CommHandle handle) {
    auto port = FindPort(handle);
    return port ? port->line->TakeNotes() : std::vector<std::string>{};
}

}  // namespace countryset
