// Batches of work spread over the cores and taken back in the order they were handed in.
#pragma once

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace zarvo {

// The lanes a pipeline should use on this machine: one per core, at most max, at least 1.
inline unsigned DefaultLanes(unsigned max = 4) {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores == 0 ? 1u : cores, 1u, std::max(max, 1u));
}

// The lanes of the database lookups of many addresses ("lookup FILE -", the country
// column of a run). A batch's work (a lockstep walk and a memo hit an address) is small
// against handing it to another thread, and the caller's thread reads and writes while
// it waits: on two cores a second lane was slower than one in every measurement
// (bench/mmdb), so a lane is added for each core beyond the first only from three cores
// on, up to max. The cores are those this process may run on.
inline unsigned DefaultLookupLanes(unsigned max = 4) {
    cpu_set_t set;
    const int cores = sched_getaffinity(0, sizeof set, &set) == 0
                          ? CPU_COUNT(&set)
                          : static_cast<int>(std::thread::hardware_concurrency());
    return cores >= 3 ? std::min(static_cast<unsigned>(cores) - 1, std::max(max, 1u)) : 1u;
}

// The caller's thread fills batches in order and hands each over (Submit); the middle
// step (the process function) runs on any lane; the caller takes the processed batches
// back in the order they were handed in, and only then, so that what it does with them
// (writing, counting against a limit) stays in order and on its own thread.
//
// Lane 0 is the caller's own thread: while it waits for the oldest batch, it processes
// the batches no worker has taken yet (the oldest first) rather than only wait. Lanes 1.. are worker
// threads, started with the second batch handed over, so that a run of one batch never
// starts a thread. A process function that throws hands its error to the caller, which
// raises it when it takes that batch back. The destructor stops the workers and waits for
// them; batches not taken back by then are dropped.
template <class TBatch> class TOrderedPipeline {
public:
    using TProcess = std::function<void(TBatch&, unsigned lane)>;

    // depth batches are held at most (at least two); lanes counts the caller's thread.
    TOrderedPipeline(unsigned lanes, size_t depth, TProcess process)
        : FLanes(std::max(lanes, 1u)), FSlots(std::max<size_t>(depth, 2)), FProcess(std::move(process)) {}
    ~TOrderedPipeline() {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FWork.notify_all();
        for (std::thread& t : FWorkers) t.join();
    }
    TOrderedPipeline(const TOrderedPipeline&) = delete;
    TOrderedPipeline& operator=(const TOrderedPipeline&) = delete;

    unsigned Lanes() const { return FLanes; }

    // The batch to fill next; what it held before is left in it for its capacity.
    TBatch& Filling() { return FSlots[FHead % FSlots.size()].Batch; }

    // Hands the filled batch over. When every slot is then held, the oldest batch is
    // finished and passed to take (TBatch&) first, which may throw.
    template <class F> void Submit(F&& take) {
        {
            std::lock_guard lock(FMutex);
            FSlots[FHead % FSlots.size()].State = kFilled;
            ++FHead;
        }
        if (!FStarted && FLanes > 1 && FHead > 1) Start();
        FWork.notify_one();
        if (FHead - FTail == FSlots.size()) TakeOldest(take);
    }

    // Finishes every batch handed over, passing each to take in order.
    template <class F> void Drain(F&& take) {
        while (FTail < FHead) TakeOldest(take);
    }

    // Batches handed over and not yet taken back.
    size_t Held() const { return static_cast<size_t>(FHead - FTail); }

private:
    enum TState { kEmpty, kFilled, kBusy, kDone };
    struct TSlot {
        TBatch Batch{};
        TState State = kEmpty;
        std::exception_ptr Error;
    };

    void Run(TSlot& slot, unsigned lane) {
        slot.Error = nullptr;
        try {
            FProcess(slot.Batch, lane);
        } catch (...) {
            slot.Error = std::current_exception();
        }
    }

    template <class F> void TakeOldest(F& take) {
        TSlot& slot = FSlots[FTail % FSlots.size()];
        {
            std::unique_lock lock(FMutex);
            // While the oldest is not done, the caller does the oldest batch no worker has
            // taken (the oldest itself, when none has): its wait then does work too.
            while (slot.State != kDone) {
                TSlot* next = OldestFilled();
                if (!next) {
                    FDone.wait(lock);
                    continue;
                }
                next->State = kBusy;
                lock.unlock();
                Run(*next, 0);
                lock.lock();
                next->State = kDone;
            }
            // Empty again before take runs: if take throws, the slots stay consistent.
            slot.State = kEmpty;
            ++FTail;
        }
        if (slot.Error) std::rethrow_exception(std::exchange(slot.Error, nullptr));
        take(slot.Batch);
    }

    // The oldest batch waiting for a lane (under the mutex): the one the caller wants first.
    TSlot* OldestFilled() {
        for (uint64_t s = FTail; s < FHead; ++s)
            if (FSlots[s % FSlots.size()].State == kFilled) return &FSlots[s % FSlots.size()];
        return nullptr;
    }

    void Start() {
        FStarted = true;
        try {
            for (unsigned lane = 1; lane < FLanes; ++lane)
                FWorkers.emplace_back([this, lane] { Work(lane); });
        } catch (const std::system_error&) {
            // No more threads to be had: the lanes started, and the caller's, do the work.
        }
    }

    void Work(unsigned lane) {
        std::unique_lock lock(FMutex);
        for (;;) {
            TSlot* next = nullptr;
            FWork.wait(lock, [&] {
                next = OldestFilled();
                return FStop || next;
            });
            if (FStop) return;
            next->State = kBusy;
            lock.unlock();
            Run(*next, lane);
            lock.lock();
            next->State = kDone;
            FDone.notify_all();
        }
    }

    const unsigned FLanes;
    std::vector<TSlot> FSlots;
    TProcess FProcess;
    // Batch numbers: FTail is the oldest not taken back, FHead the next to fill. Only the
    // caller's thread moves them, under the mutex, under which the workers read them.
    uint64_t FHead = 0, FTail = 0;
    std::mutex FMutex;
    std::condition_variable FWork, FDone;
    bool FStop = false;
    bool FStarted = false;
    std::vector<std::thread> FWorkers;
};

} // namespace zarvo
