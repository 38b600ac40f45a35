#pragma once
// Base for tests that drive the module linked in statically: every scenario
// must leave the module count where it found it, at zero.
#include "ClassFactory.h"
#include "Guids.h"
#include "Module.h"
#include "WinTestSupport.h"

#include <propsys.h>
#include <thumbcache.h>

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(g_moduleRefCount.load(), 0);
        ASSERT_EQ(g_serverLockCount.load(), 0);
    }
    void TearDown() override {
        EXPECT_EQ(g_moduleRefCount.load(), 0) << "a reference was left outstanding";
        EXPECT_EQ(g_serverLockCount.load(), 0) << "a server lock was left outstanding";
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }

    static wintest::ComPtr<IClassFactory> Factory() {
        void* p = nullptr;
        EXPECT_EQ(DllGetClassObject(CLSID_TimThumbnailProvider, kIidClassFactory, &p), S_OK);
        return wintest::Adopt<IClassFactory>(p);
    }

    // A new provider, through its IInitializeWithFile face.
    static wintest::ComPtr<IInitializeWithFile> NewProvider() {
        auto factory = Factory();
        void* p = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, kIidInitializeWithFile, &p), S_OK);
        return wintest::Adopt<IInitializeWithFile>(p);
    }

    static wintest::ComPtr<IThumbnailProvider> ThumbnailFace(IInitializeWithFile* init) {
        void* p = nullptr;
        EXPECT_EQ(init->QueryInterface(kIidThumbnailProvider, &p), S_OK);
        return wintest::Adopt<IThumbnailProvider>(p);
    }
};
