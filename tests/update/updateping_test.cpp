// The updater's rating of its download sites by ICMP echo, inside a network
// namespace of the test's own where the system answers no echo requests: an
// echo responder of the test answers for some loopback addresses after a
// delay of its choosing, so each row gets a known round-trip time (or none).
#include "netns.h"
#include "update/update_main.h"

#include "platform/eventloop.h"
#include "platform/regstore.h"
#include "support/scripteddialogs.h"
#include "support/tempdir.h"

#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

using platform::ProcessEventsUntil;

namespace {

using Clock = std::chrono::steady_clock;

uint16_t Checksum(const uint8_t* p, std::size_t n)
{
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i]) | (uint32_t(p[i + 1]) << 8);
    if (n % 2)
        sum += p[n - 1];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// Answers echo requests to the addresses it knows, each after its delay.
class TEchoResponder {
public:
    TEchoResponder(const TestNetns& ns, std::map<std::string, int> delays) : delays_(std::move(delays))
    {
        thread_ = std::thread([this, &ns] { Run(ns); });
        while (!ready_)
            std::this_thread::yield();
    }
    ~TEchoResponder()
    {
        stop_ = true;
        thread_.join();
    }
    bool ok() const { return ok_; }

private:
    struct Pending {
        Clock::time_point due;
        sockaddr_in to;
        std::vector<uint8_t> icmp;
    };

    void Run(const TestNetns& ns)
    {
        TestNetns::Inside inside(ns);
        const int fd = inside.ok() ? ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP) : -1;
        ok_ = fd >= 0;
        ready_ = true;
        if (fd < 0)
            return;
        std::vector<Pending> pending;
        while (!stop_) {
            int wait = 20;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, wait) == 1) {
                uint8_t buf[1500];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                const std::size_t ihl = n > 0 ? std::size_t(buf[0] & 15) * 4 : 0;
                if (n > 0 && std::size_t(n) >= ihl + 8 && buf[ihl] == 8) {
                    in_addr dst{};
                    std::memcpy(&dst.s_addr, buf + 16, 4);
                    auto d = delays_.find(inet_ntoa(dst));
                    if (d != delays_.end()) {
                        Pending r{Clock::now() + std::chrono::milliseconds(d->second), from,
                                  std::vector<uint8_t>(buf + ihl, buf + n)};
                        r.icmp[0] = 0;   // echo reply
                        r.icmp[2] = r.icmp[3] = 0;
                        const uint16_t sum = Checksum(r.icmp.data(), r.icmp.size());
                        r.icmp[2] = uint8_t(sum & 0xFF);
                        r.icmp[3] = uint8_t(sum >> 8);
                        pending.push_back(std::move(r));
                    }
                }
            }
            const auto now = Clock::now();
            for (auto it = pending.begin(); it != pending.end();) {
                if (it->due <= now) {
                    ::sendto(fd, it->icmp.data(), it->icmp.size(), 0, reinterpret_cast<const sockaddr*>(&it->to),
                             sizeof it->to);
                    it = pending.erase(it);
                } else {
                    ++it;
                }
            }
        }
        ::close(fd);
    }

    std::map<std::string, int> delays_;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> ok_{false};
    std::atomic<bool> stop_{false};
};

} // namespace

TEST(UpdaterPing, RowsAreRatedOneAfterAnother)
{
    TestNetns ns({"net.ipv4.icmp_echo_ignore_all=1"});
    if (!ns.ok())
        GTEST_SKIP() << "needs a network namespace: " << ns.why();
    TEchoResponder responder(ns, {{"127.0.0.1", 100}, {"127.0.0.2", 300}, {"127.0.0.3", 700}});
    ASSERT_TRUE(responder.ok());

    ScopedSettingsHome home;
    TScriptedDialogs dialogs;
    ASSERT_TRUE(platform::RegistryStore::CurrentUser().WriteStrings(
        "Software\\Parlevo\\quillet\\scompany", {{"dl1", "ftp://127.0.0.1/a.exe"},
                                                 {"dl2", "http://127.0.0.2/a.exe"},
                                                 {"dl3", "http://127.0.0.3/a.exe"},
                                                 {"dl4", "http://127.0.0.4/a.exe"},   // no reply
                                                 {"dl5", "http://no-such-host.invalid/a.exe"},
                                                 {"dl6", "http://127.0.0.1/b.exe"}}));

    // Every socket the window's pinger opens from here on is in the namespace.
    TestNetns::Inside inside(ns);
    ASSERT_TRUE(inside.ok());
    Tupdate_form form;
    form.EndProgram = [](int) {};
    form.settings_key = "Software\\Parlevo\\quillet\\scompany";
    form.show();
    QTreeWidget& list = *form.downloadlist;
    ASSERT_TRUE(ProcessEventsUntil([&] { return list.topLevelItemCount() == 6; }, 5000));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(list.topLevelItem(i)->text(0), "???");
        EXPECT_EQ(Tupdate_form::RowImage(list.topLevelItem(i)), 0);
    }
    // The unresolvable host gets no result, so the measuring stops there.
    ASSERT_TRUE(ProcessEventsUntil([&] { return form.ping_index == 4; }, 15000));
    ProcessEventsUntil([] { return false; }, 500);
    EXPECT_EQ(form.ping_index, 4);

    auto pingOf = [&](int row) { return list.topLevelItem(row)->text(0).toInt(); };
    EXPECT_GE(pingOf(0), 100);
    EXPECT_LE(pingOf(0), 250);
    EXPECT_EQ(Tupdate_form::RowImage(list.topLevelItem(0)), 1);
    EXPECT_GE(pingOf(1), 300);
    EXPECT_LE(pingOf(1), 500);
    EXPECT_EQ(Tupdate_form::RowImage(list.topLevelItem(1)), 2);
    EXPECT_GE(pingOf(2), 700);
    EXPECT_EQ(Tupdate_form::RowImage(list.topLevelItem(2)), 3);
    EXPECT_EQ(list.topLevelItem(3)->text(0), "9999");
    EXPECT_EQ(Tupdate_form::RowImage(list.topLevelItem(3)), 3);
    for (int row : {4, 5}) {
        EXPECT_EQ(list.topLevelItem(row)->text(0), "???");
        EXPECT_EQ(Tupdate_form::RowImage(list.topLevelItem(row)), 0);
    }
}
