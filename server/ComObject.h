#pragma once
// The one IUnknown of both DLLs' objects. Each object lives on the process
// heap (placement new, no C++ allocation), carries its own count, and every
// reference on it counts in the module too. The derived class names its
// faces in Face(riid), the face for an interface or null; its destructor
// runs when the last reference goes.
#include "Guids.h"
#include "Module.h"
#include "Platform.h"

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>

// For an object used by one thread at a time (the thumbnail provider).
struct PlainCount {
    ULONG value = 1;
    ULONG Up() { return ++value; }
    ULONG Down() { return --value; }
};

// For objects the host may share between threads (class objects, WIC objects).
struct AtomicCount {
    std::atomic<ULONG> value{1};
    ULONG Up() { return value.fetch_add(1) + 1; }
    ULONG Down() { return value.fetch_sub(1) - 1; }
};

template <class Derived, class Count, class... Interfaces>
class ComObject : public Interfaces... {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = static_cast<Derived*>(this)->Face(riid);
        if (!*ppv) return E_NOINTERFACE;
        ComObject::AddRef();
        return S_OK;
    }

    STDMETHODIMP_(ULONG) AddRef() override {
        ModuleAddRef();
        return count_.Up();
    }

    STDMETHODIMP_(ULONG) Release() override {
        const ULONG remaining = count_.Down();
        if (remaining == 0) {
            Derived* self = static_cast<Derived*>(this);
            self->~Derived();
            HeapFree(GetProcessHeap(), 0, self);
        }
        ModuleRelease();
        return remaining;
    }

protected:
    ComObject() = default;
    ~ComObject() = default;

    // Null when memory is short; otherwise the object with one reference,
    // counted in the module. The memory is not cleared first.
    template <class... Args>
    static Derived* New(Args&&... args) {
        void* memory = HeapAllocChecked(GetProcessHeap(), sizeof(Derived));
        if (!memory) return nullptr;
        Derived* object = new (memory) Derived(static_cast<Args&&>(args)...);
        ModuleAddRef();
        return object;
    }

private:
    Count count_;
};

// The class objects' common half: answers for IClassFactory and IUnknown,
// and LockServer on the module's lock count. A class object may be shared
// between the host's threads, so its count changes only atomically.
template <class Derived>
class ClassObject : public ComObject<Derived, AtomicCount, IClassFactory> {
public:
    STDMETHODIMP LockServer(BOOL lock) override { return LockModule(lock); }

protected:
    void* Face(REFIID riid) {
        if (SameGuid(riid, kIidClassFactory) || SameGuid(riid, kIidUnknown)) return static_cast<IClassFactory*>(this);
        return nullptr;
    }
};
