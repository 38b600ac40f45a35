// The module count, the entry point, the class object and the factory.
#include "HandlerFixture.h"
#include "TimBuilder.h"

#include <functional>

using wintest::Adopt;

namespace {

constexpr GUID kUnrelatedIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

}  // namespace

TEST(DllMainTest, OnlyProcessAttachAnswersTrue) {
    HMODULE self = GetModuleHandleW(nullptr);
    EXPECT_EQ(DllMain(self, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(self, DLL_THREAD_ATTACH, nullptr), FALSE);
    EXPECT_EQ(DllMain(self, DLL_THREAD_DETACH, nullptr), FALSE);
    EXPECT_EQ(DllMain(self, DLL_PROCESS_DETACH, nullptr), FALSE);
}

TEST_F(HandlerTest, CanUnloadOnlyWhileNothingIsOutstanding) {
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    {
        auto factory = Factory();
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
        void* p = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, kIidThumbnailProvider, &p), S_OK);
        auto provider = Adopt<IThumbnailProvider>(p);
        factory.Reset();
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a provider keeps the module";
        provider.Reset();
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
    {
        auto factory = Factory();
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        factory.Reset();
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a server lock keeps the module";
        EXPECT_EQ(g_moduleRefCount.load(), 0);
        EXPECT_EQ(g_serverLockCount.load(), 1);
        factory = Factory();
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    }
}

TEST_F(HandlerTest, CountsReferencesNotObjects) {
    auto factory = Factory();
    EXPECT_EQ(g_moduleRefCount.load(), 1);
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(g_moduleRefCount.load(), 2);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(g_moduleRefCount.load(), 1);
}

// Locks are counted apart from references: an unlock with no lock held is
// ignored, so it can neither cancel a live reference nor make the module look
// unloadable, and a later lock still holds it.
TEST_F(HandlerTest, UnmatchedUnlockIsIgnored) {
    auto factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(g_serverLockCount.load(), 0);
    EXPECT_EQ(g_moduleRefCount.load(), 1) << "the factory's reference survives the unlocks";
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "one lock after two stray unlocks still holds the module";
    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// Every method that hands something out refuses a null place for it, and
// nothing is created or counted.
TEST_F(HandlerTest, NullOutPointersAreRefused) {
    wintest::TempDir dir;
    auto factory = Factory();
    auto init = NewProvider();
    auto thumb = ThumbnailFace(init.Get());
    ASSERT_EQ(init->Initialize(dir.Write(L"a.tim", timtest::MakeTim(2, std::nullopt, timtest::Block{2, 2, timtest::Bytes(8, 0x7C)})).c_str(), 0), S_OK);
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    struct {
        const char* name;
        std::function<HRESULT()> call;
    } const cases[] = {
        {"DllGetClassObject", [] { return DllGetClassObject(CLSID_TimThumbnailProvider, kIidClassFactory, nullptr); }},
        {"class object QueryInterface", [&] { return factory->QueryInterface(kIidUnknown, nullptr); }},
        {"CreateInstance", [&] { return factory->CreateInstance(nullptr, kIidThumbnailProvider, nullptr); }},
        {"CreateInstance, aggregated", [&] { return factory->CreateInstance(factory.Get(), kIidUnknown, nullptr); }},
        {"provider QueryInterface, file face", [&] { return init->QueryInterface(kIidThumbnailProvider, nullptr); }},
        {"provider QueryInterface, thumbnail face", [&] { return thumb->QueryInterface(kIidUnknown, nullptr); }},
        {"GetThumbnail without a bitmap", [&] { return thumb->GetThumbnail(32, nullptr, &alpha); }},
        {"GetThumbnail without an alpha type", [&] { return thumb->GetThumbnail(32, &bitmap, nullptr); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), E_POINTER) << c.name;
        EXPECT_EQ(g_moduleRefCount.load(), 3) << c.name << ": nothing was created or kept";
    }
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(thumb->GetThumbnail(32, &bitmap, &alpha), S_OK) << "the provider is still usable";
    DeleteObject(bitmap);
}

TEST_F(HandlerTest, GetClassObjectRefusals) {
    struct {
        const char* name;
        const GUID& clsid;
        const GUID& iid;
        HRESULT result;
    } const cases[] = {
        {"wrong class", kIidUnknown, kIidClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {"wrong class, provider iid", kIidThumbnailProvider, kIidThumbnailProvider, CLASS_E_CLASSNOTAVAILABLE},
        {"provider interface from the class object", CLSID_TimThumbnailProvider, kIidThumbnailProvider,
         E_NOINTERFACE},
        {"unrelated interface", CLSID_TimThumbnailProvider, kUnrelatedIid, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        void* p = reinterpret_cast<void*>(uintptr_t(0xBAD));
        EXPECT_EQ(DllGetClassObject(c.clsid, c.iid, &p), c.result) << c.name;
        EXPECT_EQ(p, nullptr) << c.name;
        EXPECT_EQ(g_moduleRefCount.load(), 0) << c.name;
    }
}

TEST_F(HandlerTest, ClassObjectAnswersForUnknownAndClassFactory) {
    for (const GUID* iid : {&kIidUnknown, &kIidClassFactory}) {
        void* p = nullptr;
        ASSERT_EQ(DllGetClassObject(CLSID_TimThumbnailProvider, *iid, &p), S_OK);
        auto object = Adopt<IUnknown>(p);
        EXPECT_EQ(g_moduleRefCount.load(), 1) << "the caller holds the only reference";
        void* again = nullptr;
        ASSERT_EQ(object->QueryInterface(kIidClassFactory, &again), S_OK);
        EXPECT_EQ(again, p);
        static_cast<IUnknown*>(again)->Release();
        EXPECT_EQ(object->QueryInterface(kIidThumbnailProvider, &again), E_NOINTERFACE);
        EXPECT_EQ(again, nullptr);
    }
}

TEST_F(HandlerTest, CreateInstanceRefusals) {
    auto factory = Factory();
    struct {
        const char* name;
        bool aggregate;
        const GUID& iid;
        HRESULT result;
    } const cases[] = {
        {"aggregation with a valid iid", true, kIidThumbnailProvider, CLASS_E_NOAGGREGATION},
        {"aggregation with IUnknown", true, kIidUnknown, CLASS_E_NOAGGREGATION},
        {"class factory iid", false, kIidClassFactory, E_NOINTERFACE},
        {"unrelated iid", false, kUnrelatedIid, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        void* p = reinterpret_cast<void*>(uintptr_t(0xBAD));
        IUnknown* outer = c.aggregate ? static_cast<IUnknown*>(factory.Get()) : nullptr;
        EXPECT_EQ(factory->CreateInstance(outer, c.iid, &p), c.result) << c.name;
        EXPECT_EQ(p, nullptr) << c.name;
        EXPECT_EQ(g_moduleRefCount.load(), 1) << c.name << ": nothing was created";
    }
}

TEST_F(HandlerTest, CreateInstanceHandsOutTheAskedFaceWithOneReference) {
    auto factory = Factory();
    for (const GUID* iid : {&kIidInitializeWithFile, &kIidThumbnailProvider, &kIidUnknown}) {
        void* p = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, *iid, &p), S_OK);
        auto object = Adopt<IUnknown>(p);
        EXPECT_EQ(g_moduleRefCount.load(), 2);
        void* viaQuery = nullptr;
        ASSERT_EQ(object->QueryInterface(*iid, &viaQuery), S_OK);
        EXPECT_EQ(viaQuery, p) << "CreateInstance returns the face QueryInterface returns";
        EXPECT_EQ(static_cast<IUnknown*>(viaQuery)->Release(), 1u);
    }
}

TEST_F(HandlerTest, ProviderIdentityIsTheThumbnailFace) {
    auto init = NewProvider();
    auto thumb = ThumbnailFace(init.Get());
    ASSERT_NE(static_cast<void*>(init.Get()), static_cast<void*>(thumb.Get()));
    // The second face sits one table pointer after the first.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(thumb.Get()) - reinterpret_cast<uintptr_t>(init.Get()),
              sizeof(void*));
    for (IUnknown* face : {static_cast<IUnknown*>(init.Get()), static_cast<IUnknown*>(thumb.Get())}) {
        void* unknown = nullptr;
        ASSERT_EQ(face->QueryInterface(kIidUnknown, &unknown), S_OK);
        EXPECT_EQ(unknown, static_cast<void*>(thumb.Get()));
        static_cast<IUnknown*>(unknown)->Release();
        void* initFace = nullptr;
        ASSERT_EQ(face->QueryInterface(kIidInitializeWithFile, &initFace), S_OK);
        EXPECT_EQ(initFace, static_cast<void*>(init.Get()));
        static_cast<IUnknown*>(initFace)->Release();
        void* none = reinterpret_cast<void*>(uintptr_t(0xBAD));
        const int32_t before = g_moduleRefCount.load();
        EXPECT_EQ(face->QueryInterface(kIidClassFactory, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(g_moduleRefCount.load(), before);
    }
}

TEST_F(HandlerTest, BothFacesShareOneCount) {
    auto init = NewProvider();
    IThumbnailProvider* thumb = ThumbnailFace(init.Detach()).Detach();
    // Two references now, one taken through each face; AddRef on one face and
    // Release on the other balance, and whichever face drops the last frees it.
    EXPECT_EQ(thumb->AddRef(), 3u);
    IInitializeWithFile* primary = nullptr;
    ASSERT_EQ(thumb->QueryInterface(kIidInitializeWithFile, reinterpret_cast<void**>(&primary)), S_OK);
    EXPECT_EQ(primary->Release(), 3u);
    EXPECT_EQ(primary->Release(), 2u);
    EXPECT_EQ(g_moduleRefCount.load(), 2);
    EXPECT_EQ(primary->Release(), 1u);
    EXPECT_EQ(thumb->Release(), 0u);
}
