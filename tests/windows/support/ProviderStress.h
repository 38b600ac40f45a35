#pragma once
// Host threads hammering one class object: workers that create, initialise,
// render and release providers, and a thread that takes and drops server
// locks meanwhile. Used against the module linked in statically and against
// the shipped DLL. Threads only count what went wrong; the test thread checks.
#include "Guids.h"
#include "TimBuilder.h"
#include "WinTestSupport.h"

#include <propsys.h>
#include <thumbcache.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

struct StressFile {
    std::wstring path;
    LONG width;  // 0: a file the provider must refuse
    LONG height;
};

// One file of each pixel format and one broken file, written into `dir`.
inline std::vector<StressFile> WriteStressFiles(TempDir& dir) {
    using namespace timtest;
    const Bytes clut16(32, 0x5A), clut256(512, 0xA5);
    return {
        {dir.Write(L"s4.tim", MakeTim(0, Block{16, 1, clut16}, Block{4, 8, Bytes(64, 0x21)})), 16, 8},
        {dir.Write(L"s8.tim", MakeTim(1, Block{256, 1, clut256}, Block{5, 6, Bytes(60, 0x33)})), 10, 6},
        {dir.Write(L"s16.tim", MakeTim(2, std::nullopt, Block{9, 7, Bytes(126, 0x7C)})), 9, 7},
        {dir.Write(L"s24.tim", MakeTim(3, std::nullopt, Block{5, 4, Bytes(40, 0x10)})), 3, 4},
        {dir.Write(L"broken.tim", Bytes{16, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0, 0}), 0, 0},
    };
}

struct StressCounts {
    uint64_t rounds = 0;
    uint64_t thumbnails = 0;
    uint64_t refusals = 0;
    uint64_t faults = 0;
};

// `iterations` host rounds on the shared class object, each on a new
// provider; `offset` staggers the threads over the files and interfaces.
inline StressCounts ProviderRounds(IClassFactory* shared, const std::vector<StressFile>& files, int iterations,
                                   unsigned offset) {
    StressCounts counts;
    const GUID* const created[] = {&kIidInitializeWithFile, &kIidThumbnailProvider, &kIidUnknown};
    for (int i = 0; i < iterations; ++i) {
        ++counts.rounds;
        const unsigned k = unsigned(i) + offset;
        // A host hands the class object around: take and drop references on it.
        shared->AddRef();
        void* p = nullptr;
        if (shared->QueryInterface(kIidClassFactory, &p) == S_OK)
            static_cast<IUnknown*>(p)->Release();
        else
            ++counts.faults;

        IUnknown* first = nullptr;
        if (shared->CreateInstance(nullptr, *created[k % 3], reinterpret_cast<void**>(&first)) != S_OK) {
            ++counts.faults;
            shared->Release();
            continue;
        }
        IInitializeWithFile* init = nullptr;
        IThumbnailProvider* thumb = nullptr;
        if (first->QueryInterface(kIidInitializeWithFile, reinterpret_cast<void**>(&init)) != S_OK ||
            first->QueryInterface(kIidThumbnailProvider, reinterpret_cast<void**>(&thumb)) != S_OK)
            ++counts.faults;
        shared->Release();

        const StressFile& file = files[k % files.size()];
        if (init) {
            const HRESULT hr = init->Initialize(file.path.c_str(), 0);
            if (file.width == 0) {
                if (hr == E_INVALIDARG)
                    ++counts.refusals;
                else
                    ++counts.faults;
            } else if (hr != S_OK) {
                ++counts.faults;
            } else if (thumb) {
                HBITMAP bitmap = nullptr;
                WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
                BITMAP info = {};
                if (thumb->GetThumbnail(96, &bitmap, &alpha) == S_OK && alpha == WTSAT_ARGB &&
                    GetObjectW(bitmap, sizeof info, &info) == int(sizeof info) && info.bmWidth == file.width &&
                    info.bmHeight == file.height && info.bmBitsPixel == 32)
                    ++counts.thumbnails;
                else
                    ++counts.faults;
                if (bitmap && !DeleteObject(bitmap)) ++counts.faults;
            }
        }
        // Three references now (creation, two QueryInterface): drop them
        // through different faces; only the last may free the object.
        if (thumb && thumb->Release() == 0) ++counts.faults;
        if (init && init->Release() == 0) ++counts.faults;
        if (first->Release() != 0) ++counts.faults;
    }
    return counts;
}

struct LockCounts {
    uint64_t pairs = 0;
    uint64_t classObjects = 0;
    uint64_t faults = 0;
};

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();

// Takes and drops references and server locks, on the shared class object
// and on fresh ones, until `stop` is set (and at least `minimumPairs` times).
// The test thread holds the shared object throughout, so the module must never
// look unloadable; `moduleCount` (references only: locks are counted apart),
// when given, must never fall below what is held.
inline LockCounts LockRounds(IClassFactory* shared, GetClassObjectFn getClassObject, CanUnloadFn canUnload,
                             const std::atomic<bool>& stop, uint64_t minimumPairs,
                             const std::atomic<int32_t>* moduleCount) {
    LockCounts counts;
    while (!stop.load() || counts.pairs < minimumPairs) {
        // References on the shared object race with the workers' own.
        shared->AddRef();
        if (shared->LockServer(TRUE) != S_OK) ++counts.faults;
        if (moduleCount && moduleCount->load() < 2) ++counts.faults;
        if (canUnload() != S_FALSE) ++counts.faults;
        if (counts.pairs % 16 == 0) {
            void* p = nullptr;
            if (getClassObject(CLSID_TimThumbnailProvider, kIidClassFactory, &p) == S_OK) {
                // Locks are module-wide: taken on one class object, dropped on another.
                auto* fresh = static_cast<IClassFactory*>(p);
                fresh->LockServer(FALSE);
                fresh->LockServer(TRUE);
                fresh->Release();
                ++counts.classObjects;
            } else {
                ++counts.faults;
            }
        }
        if (shared->LockServer(FALSE) != S_OK) ++counts.faults;
        if (shared->Release() == 0) ++counts.faults;
        if (moduleCount && moduleCount->load() < 1) ++counts.faults;
        // Bursts, not a spin: the workers need the processor too.
        if (++counts.pairs % 1024 == 0) std::this_thread::yield();
    }
    return counts;
}

struct ThreadRun {
    std::vector<StressCounts> workers;
    LockCounts locks;
    double seconds = 0;
};

// `workers` threads of ProviderRounds on the shared class object and one
// thread running `locker(stop)` (a LockRounds call) until they are done; all
// start together.
template <class Locker>
ThreadRun RunWorkersBesideLocker(IClassFactory* shared, const std::vector<StressFile>& files, int workers,
                                 int rounds, Locker locker) {
    ThreadRun run;
    run.workers.resize(size_t(workers));
    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> go{false}, stop{false};
    std::thread lockThread([&] {
        while (!go.load()) std::this_thread::yield();
        run.locks = locker(stop);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            run.workers[size_t(t)] = ProviderRounds(shared, files, rounds, unsigned(t));
        });
    }
    go = true;
    for (auto& w : threads) w.join();
    stop = true;
    lockThread.join();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return run;
}

// The workers' counts added up, printed with the lock thread's as one line
// for the test log.
inline StressCounts SummarizeThreads(const char* label, const std::vector<StressCounts>& workers, int rounds,
                                     const LockCounts& locks, double seconds) {
    StressCounts total;
    for (const auto& c : workers) {
        total.rounds += c.rounds;
        total.thumbnails += c.thumbnails;
        total.refusals += c.refusals;
        total.faults += c.faults;
    }
    std::printf("[threads, %s] %d workers x %d rounds: %llu rounds, %llu thumbnails, %llu refusals, %llu faults; "
                "locker: %llu lock pairs, %llu fresh class objects, %llu faults; %.1f s\n",
                label, int(workers.size()), rounds, static_cast<unsigned long long>(total.rounds),
                static_cast<unsigned long long>(total.thumbnails), static_cast<unsigned long long>(total.refusals),
                static_cast<unsigned long long>(total.faults), static_cast<unsigned long long>(locks.pairs),
                static_cast<unsigned long long>(locks.classObjects), static_cast<unsigned long long>(locks.faults),
                seconds);
    return total;
}

}  // namespace wintest
