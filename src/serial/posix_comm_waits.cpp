// The POSIX driver's waits: for a port's events, and for transfers to finish or time out.
#include <poll.h>
#include <unistd.h>

#include <thread>

#include "serial/posix_comm_port.h"

namespace countryset {

bool PosixCommDriver::WaitCommEvent(CommHandle handle, std::uint32_t* events) {
    std::uint32_t ignored = 0;
    std::uint32_t& occurred = events ? *events : ignored;
    occurred = 0;
    auto port = FindPort(handle);
    if (!port) {
        return false;
    }
    // A dead line reports at once every time; resting here keeps the caller's loop cheap
    // while a mask change still ends the rest at once.
    auto restThenFail = [&port] {
        port->RestOnWake(kErrorPauseMs);
        return false;
    };
    if (port->readFailed.exchange(false, std::memory_order_acq_rel)) {
        return restThenFail();
    }
    if (port->closed.load(std::memory_order_acquire)) {
        // Released for the process's end: a watcher looping on it must not spin meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMs));
        return false;
    }
    for (;;) {
        if (port->closed.load(std::memory_order_acquire)) {
            return false;
        }
        const bool watchInput = (port->mask.load(std::memory_order_acquire) & kEvRxChar) != 0;
        pollfd entries[2] = {{port->wake, POLLIN, 0}, {watchInput ? port->fd : -1, POLLIN, 0}};
        int result = ::poll(entries, 2, -1);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return restThenFail();
        }
        const bool woken = (entries[0].revents & POLLIN) != 0;
        if (woken) {
            port->ConsumeWake();
        }
        if (port->closed.load(std::memory_order_acquire)) {
            return false;
        }
        const bool wantInput = (port->mask.load(std::memory_order_acquire) & kEvRxChar) != 0;
        const short revents = entries[1].revents;
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if ((revents & POLLNVAL) == 0 && wantInput && port->QueuedIn() > 0) {
                occurred = kEvRxChar;  // let the caller drain what came before the hang-up
                return true;
            }
            return woken ? true : restThenFail();
        }
        if ((revents & POLLIN) != 0 && wantInput) {
            occurred = kEvRxChar;
            return true;
        }
        if (woken) {
            return true;
        }
    }
}

namespace {

enum class Step { Moved, Nothing, Error };

// One non-blocking transfer of the block's remaining bytes, refused once the port is released.
Step TransferOnce(std::shared_mutex& lineMutex, const std::atomic<bool>& released, int fd,
                  OverlappedBlock& block) {
    std::shared_lock line(lineMutex);
    if (released.load(std::memory_order_acquire)) {
        return Step::Error;
    }
    const std::uint32_t left = block.requested - block.transferred;
    if (left == 0) {
        return Step::Moved;
    }
    auto* at = static_cast<unsigned char*>(block.buffer) + block.transferred;
    ssize_t result;
    do {
        result = block.isWrite ? ::write(fd, at, left) : ::read(fd, at, left);
    } while (result < 0 && errno == EINTR);
    if (result > 0) {
        block.transferred += static_cast<std::uint32_t>(result);
        return Step::Moved;
    }
    // With VMIN and VTIME at 0 an empty terminal reads as 0 bytes rather than EAGAIN.
    if (result == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        return Step::Nothing;
    }
    return Step::Error;
}

bool ReadReturnsAtOnce(const CommTimeouts& timeouts) {
    return timeouts.ReadIntervalTimeout == kMaxDword && timeouts.ReadTotalTimeoutMultiplier == 0 &&
           timeouts.ReadTotalTimeoutConstant == 0;
}

std::uint64_t TotalTimeout(std::uint32_t multiplier, std::uint32_t constant, std::uint32_t count) {
    if (multiplier == kMaxDword) {
        return constant;  // "any byte or the constant", in the old model's reading
    }
    return static_cast<std::uint64_t>(multiplier) * count + constant;
}

}  // namespace

std::shared_ptr<PosixCommDriver::Port> PosixCommDriver::BeginTransfer(
    CommHandle handle, void* buffer, std::uint32_t count, OverlappedBlock* block, bool isWrite) {
    auto port = FindPort(handle);
    if (!port || !block || (!buffer && count > 0)) {
        return nullptr;
    }
    *block = OverlappedBlock{block->hEvent, block->Offset, block->OffsetHigh, buffer, count, 0,
                             false,         isWrite};
    return port;
}

IoStatus PosixCommDriver::ReadFile(CommHandle handle, void* dest, std::uint32_t count,
                                   std::uint32_t* done, OverlappedBlock* block) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    auto port = BeginTransfer(handle, dest, count, block, false);
    moved = 0;
    if (!port) {
        return IoStatus::Failed;
    }
    switch (TransferOnce(lineMutex_, port->closed, port->fd, *block)) {
        case Step::Moved:
            // Reads end with whatever has arrived, as the caller asks only for queued bytes.
            moved = block->transferred;
            return IoStatus::Finished;
        case Step::Error:
            port->readFailed.store(true, std::memory_order_release);
            return IoStatus::Failed;
        case Step::Nothing:
            break;
    }
    if (ReadReturnsAtOnce(port->Timeouts())) {
        return IoStatus::Finished;
    }
    block->pending = true;
    return IoStatus::Pending;
}

IoStatus PosixCommDriver::WriteFile(CommHandle handle, const void* src, std::uint32_t count,
                                    std::uint32_t* done, OverlappedBlock* block) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    // The driver only reads through this pointer; the block type is shared with reads.
    auto port = BeginTransfer(handle, const_cast<void*>(src), count, block, true);
    moved = 0;
    if (!port) {
        return IoStatus::Failed;
    }
    if (TransferOnce(lineMutex_, port->closed, port->fd, *block) == Step::Error) {
        return IoStatus::Failed;
    }
    if (block->transferred == count) {
        moved = count;
        return IoStatus::Finished;
    }
    block->pending = true;
    return IoStatus::Pending;
}

IoStatus PosixCommDriver::GetOverlappedResult(CommHandle handle, OverlappedBlock* block,
                                              std::uint32_t* done, bool wait) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    auto port = FindPort(handle);
    if (!port || !block) {
        moved = 0;
        return IoStatus::Failed;
    }
    if (!block->pending) {
        moved = block->transferred;
        return IoStatus::Finished;
    }
    const CommTimeouts timeouts = port->Timeouts();
    const std::uint64_t limit =
        block->isWrite ? TotalTimeout(timeouts.WriteTotalTimeoutMultiplier,
                                      timeouts.WriteTotalTimeoutConstant, block->requested)
                       : TotalTimeout(timeouts.ReadTotalTimeoutMultiplier,
                                      timeouts.ReadTotalTimeoutConstant, block->requested);
    const auto deadline = DeadlineAfter(limit);
    auto finish = [&](IoStatus status) {
        block->pending = false;
        moved = block->transferred;
        return status;
    };
    for (;;) {
        const std::uint32_t before = block->transferred;
        const Step step = TransferOnce(lineMutex_, port->closed, port->fd, *block);
        if (step == Step::Error) {
            if (!block->isWrite) {
                port->readFailed.store(true, std::memory_order_release);
            }
            return finish(IoStatus::Failed);
        }
        const bool complete =
            block->isWrite ? block->transferred == block->requested : block->transferred > before;
        if (complete) {
            return finish(IoStatus::Finished);
        }
        if (!wait) {
            moved = block->transferred;
            return IoStatus::Incomplete;
        }
        const int timeout = PollTimeout(deadline);
        if (timeout == 0) {
            return finish(IoStatus::Finished);  // time-out: a short count, as the old model
        }
        if (port->closed.load(std::memory_order_acquire)) {
            return finish(IoStatus::Failed);
        }
        pollfd entry{port->fd, static_cast<short>(block->isWrite ? POLLOUT : POLLIN), 0};
        int result = ::poll(&entry, 1, timeout);
        if (result < 0 && errno != EINTR) {
            return finish(IoStatus::Failed);
        }
        if (result > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
            (entry.revents & (POLLIN | POLLOUT)) == 0) {
            if (!block->isWrite) {
                port->readFailed.store(true, std::memory_order_release);
            }
            return finish(IoStatus::Failed);
        }
    }
}

}  // namespace countryset
