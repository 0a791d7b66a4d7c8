// One found service per name, type and domain, however many interfaces and
// protocols report it; no daemon needed.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/AvahiClientConnection.h"
#include "platform/AvahiServiceDirectory.h"

namespace {

constexpr AvahiIfIndex kLoopback = 1;
constexpr AvahiIfIndex kEthernet = 2;

class AvahiServiceDirectoryTest : public testing::Test {
protected:
    std::shared_ptr<AvahiNetService> seen(AvahiIfIndex interface, const std::string& name,
                                          const std::string& type = "_mirel._udp",
                                          const std::string& domain = "local") {
        return directory.add(interface, AVAHI_PROTO_INET, name, type, domain);
    }
    std::shared_ptr<AvahiNetService> gone(AvahiIfIndex interface, const std::string& name,
                                          const std::string& type = "_mirel._udp",
                                          const std::string& domain = "local") {
        return directory.remove(interface, AVAHI_PROTO_INET, name, type, domain);
    }

    // Never attached to, so it never connects.
    AvahiServiceDirectory directory{
        std::make_shared<AvahiClientConnection>(std::chrono::milliseconds(1000))};
};

TEST_F(AvahiServiceDirectoryTest, AServiceOnSeveralInterfacesIsOneObjectUntilItsLastSightingGoes) {
    const auto found = seen(kLoopback, "mirel://a");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->name(), "mirel://a");
    EXPECT_EQ(found->port(), -1);
    EXPECT_EQ(seen(kEthernet, "mirel://a"), nullptr);
    // The same sighting reported twice still counts once.
    EXPECT_EQ(seen(kEthernet, "mirel://a"), nullptr);

    EXPECT_EQ(gone(kEthernet, "mirel://a"), nullptr);
    EXPECT_EQ(gone(kLoopback, "mirel://a"), found);
    // Gone means gone: a late removal reports nothing, a new sighting is a new object.
    EXPECT_EQ(gone(kLoopback, "mirel://a"), nullptr);
    const auto again = seen(kLoopback, "mirel://a");
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, found);
}

TEST_F(AvahiServiceDirectoryTest, NameTypeAndDomainEachTellServicesApart) {
    const auto a = seen(kLoopback, "mirel://a");
    const auto b = seen(kLoopback, "mirel://b");
    const auto otherType = seen(kLoopback, "mirel://a", "_other._udp");
    const auto otherDomain = seen(kLoopback, "mirel://a", "_mirel._udp", "example.org");
    ASSERT_TRUE(a && b && otherType && otherDomain);

    EXPECT_EQ(gone(kLoopback, "mirel://a", "_mirel._udp", "example.org"), otherDomain);
    const auto left = directory.clear();
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0], a);
    EXPECT_EQ(left[1], b);
    EXPECT_EQ(left[2], otherType);
    EXPECT_TRUE(directory.clear().empty());
}

}  // namespace
