// Platform stand-ins: the 32-bit tick, detached threads and the settings registry.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "platform/kernel.h"
#include "platform/registry.h"

using namespace platform;

TEST(Kernel, TickAdvancesWithSleep) {
    Tick t0 = GetTickCount();
    Sleep(20);
    Tick elapsed = GetTickCount() - t0;  // modulo 2^32
    EXPECT_GE(elapsed, 19u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(Kernel, DetachedThreadsAreCounted) {
    static std::atomic<bool> release{false};
    int before = LiveThreadCount();
    ASSERT_TRUE(StartThread([](void*) {
        while (!release) Sleep(1);
    }, nullptr));
    EXPECT_EQ(LiveThreadCount(), before + 1);
    release = true;
    for (int i = 0; i < 1000 && LiveThreadCount() != before; ++i) Sleep(1);
    EXPECT_EQ(LiveThreadCount(), before);
}

TEST(Registry, ProxySeededFromEnvironment) {
    setenv("http_proxy", "http://127.0.0.1:3128/", 1);
    RegResetForTesting(true);
    std::uint32_t enable = 0;
    char server[80] = {};
    ASSERT_TRUE(RegReadDword(RegistryRoot::CurrentUser, kInternetSettingsKey, "ProxyEnable", enable));
    ASSERT_TRUE(RegReadString(RegistryRoot::CurrentUser, kInternetSettingsKey, "ProxyServer", server,
                              sizeof server));
    EXPECT_EQ(enable, 1u);
    EXPECT_STREQ(server, "127.0.0.1:3128");
    unsetenv("http_proxy");
    RegResetForTesting(true);
    EXPECT_FALSE(RegReadDword(RegistryRoot::CurrentUser, kInternetSettingsKey, "ProxyEnable", enable));
}

TEST(Registry, KeysAndValuesIgnoreCaseAndTreesDelete) {
    RegResetForTesting(false);
    RegWriteString(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32", "", "lib.so");
    RegWriteString(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32", "ThreadingModel", "Apartment");
    char text[16] = {};
    EXPECT_TRUE(RegReadString(RegistryRoot::ClassesRoot, "clsid\\{x}\\inprocserver32", "threadingmodel",
                              text, sizeof text));
    EXPECT_STREQ(text, "Apartment");
    // A short buffer gets a cut, terminated text.
    char small[4] = {};
    EXPECT_TRUE(RegReadString(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32", "ThreadingModel",
                              small, sizeof small));
    EXPECT_STREQ(small, "Apa");
    EXPECT_TRUE(RegKeyExists(RegistryRoot::ClassesRoot, "CLSID"));
    EXPECT_TRUE(RegDeleteTree(RegistryRoot::ClassesRoot, "CLSID\\{X}"));
    EXPECT_FALSE(RegKeyExists(RegistryRoot::ClassesRoot, "CLSID\\{X}\\InprocServer32"));
    EXPECT_TRUE(RegKeyExists(RegistryRoot::ClassesRoot, "CLSID"));
}
