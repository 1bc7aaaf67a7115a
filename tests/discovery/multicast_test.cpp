// Multicast endpoints on the loopback interface: a sender reaches a receiver,
// one receiver per port, the receive time-out, and the role checks. Run in
// the private namespaces of tools/netns-run, where lo is up and nothing else
// can hear.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>

#include "common/aDiscovery.h"
#include "common/aMulticast.h"
#include "tests/discovery/NetNamespace.h"

namespace {

const uint32_t kGroup = inet_addr("224.0.0.7");
constexpr int kPort = 9850;

struct Endpoint {
    aMulticast* m;
    explicit Endpoint(aMulticast* endpoint) : m(endpoint) {}
    ~Endpoint()
    {
        if (m)
            aMulticast_Destroy(&m);
    }
};

TEST(Multicast, SenderWithoutInterfaceReachesAReceiverOnThisMachine)
{
    REQUIRE_PRIVATE_NETNS();
    Endpoint receiver(aMulticast_Create(0, kGroup, kPort, aMULTICAST_RECEIVER));
    ASSERT_NE(receiver.m, nullptr);
    Endpoint sender(aMulticast_Create(0, kGroup, kPort, aMULTICAST_SENDER));
    ASSERT_NE(sender.m, nullptr);
    EXPECT_EQ(aMulticast_Send(sender.m, "hello", 5), 5);
    char buffer[32] = {};
    ASSERT_EQ(aMulticast_Receive(receiver.m, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "hello");
}

TEST(Multicast, OneReceiverPerPort)
{
    REQUIRE_PRIVATE_NETNS();
    Endpoint first(aMulticast_Create(inet_addr("127.0.0.1"), kGroup, kPort + 1, aMULTICAST_RECEIVER));
    ASSERT_NE(first.m, nullptr);
    EXPECT_EQ(aMulticast_Create(0, kGroup, kPort + 1, aMULTICAST_RECEIVER), nullptr);
}

TEST(Multicast, ReceiveWithNothingToReadTimesOutAfterAboutASecond)
{
    REQUIRE_PRIVATE_NETNS();
    Endpoint receiver(aMulticast_Create(0, kGroup, kPort + 2, aMULTICAST_RECEIVER));
    ASSERT_NE(receiver.m, nullptr);
    char buffer[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aMulticast_Receive(receiver.m, buffer, sizeof buffer), aMULTICAST_FAILED);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 900);
    EXPECT_LT(ms.count(), 3000);
}

TEST(Multicast, RolesAndNullEndpoints)
{
    REQUIRE_PRIVATE_NETNS();
    Endpoint receiver(aMulticast_Create(0, kGroup, kPort + 3, aMULTICAST_RECEIVER));
    Endpoint sender(aMulticast_Create(0, kGroup, kPort + 3, aMULTICAST_SENDER));
    ASSERT_NE(receiver.m, nullptr);
    ASSERT_NE(sender.m, nullptr);
    char buffer[16];
    EXPECT_EQ(aMulticast_Send(receiver.m, "x", 1), aMULTICAST_WRONG_ROLE);
    EXPECT_EQ(aMulticast_Receive(sender.m, buffer, sizeof buffer), aMULTICAST_WRONG_ROLE);
    EXPECT_EQ(aMulticast_Send(nullptr, "x", 1), aMULTICAST_NULL);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), aMULTICAST_NULL);
    aMulticast* none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), aMULTICAST_NULL);
    EXPECT_EQ(aMulticast_Destroy(&receiver.m), 0);
    EXPECT_EQ(receiver.m, nullptr);
    // The refused send put nothing on the wire: a new receiver hears only
    // what the sender sends next.
    Endpoint again(aMulticast_Create(0, kGroup, kPort + 3, aMULTICAST_RECEIVER));
    ASSERT_NE(again.m, nullptr);
    EXPECT_EQ(aMulticast_Send(sender.m, "yz", 2), 2);
    EXPECT_EQ(aMulticast_Receive(again.m, buffer, sizeof buffer), 2);
}

TEST(Multicast, AddressText)
{
    char text[16];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(inet_addr("10.77.0.1"), text, sizeof text), 9u);
    EXPECT_STREQ(text, "10.77.0.1");
    char small[15];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(inet_addr("10.77.0.1"), small, sizeof small), 0u);
}

} // namespace
