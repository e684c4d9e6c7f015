#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

} // namespace

TestNetns::TestNetns(const std::vector<std::string>& sysctls)
{
    static std::atomic<int> serial{0};
    if (geteuid() != 0) {
        why_ = "network namespaces need root";
        return;
    }
    name_ = "qpnet-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    if (!Run("ip netns add " + name_)) {
        why_ = "'ip netns add' failed";
        name_.clear();
        return;
    }
    if (!Run("ip -n " + name_ + " link set lo up")) {
        why_ = "cannot bring up lo in the namespace";
        return;
    }
    for (const auto& s : sysctls) {
        // "net.ipv4.x=v": written through /proc/sys as seen from inside.
        auto eq = s.find('=');
        std::string path = "/proc/sys/" + s.substr(0, eq);
        for (auto& c : path)
            if (c == '.')
                c = '/';
        if (eq == std::string::npos ||
            !Run("ip netns exec " + name_ + " sh -c \"echo '" + s.substr(eq + 1) + "' > " + path + "\"")) {
            why_ = "cannot set " + s + " in the namespace";
            return;
        }
    }
    ok_ = true;
}

TestNetns::~TestNetns()
{
    if (!name_.empty())
        Run("ip netns del " + name_);
}

TestNetns::Inside::Inside(const TestNetns& ns)
{
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(("/run/netns/" + ns.name_).c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

TestNetns::Inside::~Inside()
{
    if (entered_)
        ::setns(home_, CLONE_NEWNET);
    if (home_ >= 0)
        ::close(home_);
}
