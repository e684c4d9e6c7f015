// A network namespace of the test's own, with only a loopback interface, for
// the cases that need a network that behaves differently from the machine's
// (no echo replies, unprivileged echo allowed). Needs root; `ok()` is false
// where namespaces cannot be made, and the test skips.
#pragma once

#include <string>
#include <vector>

class TestNetns {
public:
    // `sysctls`: "key=value" settings applied inside the namespace.
    explicit TestNetns(const std::vector<std::string>& sysctls);
    ~TestNetns();
    TestNetns(const TestNetns&) = delete;
    TestNetns& operator=(const TestNetns&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

    // While alive, sockets this thread creates belong to the namespace;
    // they stay there after the thread has left it.
    class Inside {
    public:
        explicit Inside(const TestNetns& ns);
        ~Inside();
        bool ok() const { return entered_; }

    private:
        int home_ = -1;
        bool entered_ = false;
    };

private:
    std::string name_;
    bool ok_ = false;
    std::string why_;
};
