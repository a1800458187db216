// References opened on several threads at once: the keys are derived once and shared, and
// every thread's values land in the one file.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/MachineFacts.h"
#include "platform/TestSeams.h"
#include "settings/CryptEngine.h"
#include "settings/VorLib.h"
#include "settings/VorLibStruct.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

TEST(VorLibThreads, ConcurrentReferencesShareKeysAndFile) {
    test_support::TemporaryEnvironment environment;
    settings_test::useFactsTree(environment.base() + "/facts",
                                {"alice", "0123456789abcdef0123456789abcdef", "aa:bb:cc:dd:ee:01"});
    const std::string path = environment.base() + "/vor.db";
    {
        // The file exists before the threads race to open it.
        void* ref = vor_createLibRef(path.c_str());
        ASSERT_NE(ref, nullptr);
        vor_freeLibRef(&ref);
    }
    VORLibStruct::Key1.clear();
    VORLibStruct::Key2.clear();
    VORLibStruct::KeyDefault.clear();

    constexpr int kThreads = 6;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            void* ref = vor_createLibRef(path.c_str());
            if (ref == nullptr) {
                failures[t] = 1;
                return;
            }
            const std::string key = "k" + std::to_string(t), value = "value of thread " + std::to_string(t);
            if (vor_setValueForKey(ref, "proxy", "credentials", key.c_str(), value.c_str()) != VOR_SUCCESS) {
                failures[t] = 2;
            }
            char buffer[64];
            char* out = buffer;
            std::int32_t size = sizeof buffer;
            if (vor_getValueForKey(ref, "proxy", "credentials", key.c_str(), &out, &size, true) != VOR_SUCCESS ||
                value != buffer) {
                failures[t] = 3;
            }
            vor_freeLibRef(&ref);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

    void* ref = vor_createLibRef(path.c_str());
    ASSERT_NE(ref, nullptr);
    for (int t = 0; t < kThreads; ++t) {
        char buffer[64];
        char* out = buffer;
        std::int32_t size = sizeof buffer;
        const std::string key = "k" + std::to_string(t);
        ASSERT_EQ(vor_getValueForKey(ref, "proxy", "credentials", key.c_str(), &out, &size, true), VOR_SUCCESS);
        EXPECT_EQ(std::string(buffer), "value of thread " + std::to_string(t));
    }
    vor_freeLibRef(&ref);
    platform::testing::setMachineFactsRoot("/");
}

}  // namespace
