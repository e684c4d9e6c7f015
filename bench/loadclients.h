// Many non-blocking lobby or IRC clients in one thread, for the load and
// scale benchmarks. Frames are classified by their type byte only (one XOR
// with the keystream), so the generator stays cheaper than the server.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class TProto { Lobby, Irc };

struct TLoadConn {
    int fd = -1;
    std::string in;
    std::string out;          // bytes the socket did not take yet
    bool closed = false;
    // counters
    long players = 0;         // lobby: cmPlayer frames; irc: JOIN lines
    long chats = 0;           // lobby: cmChat frames; irc: PRIVMSG lines
    bool named = false;       // lobby: own index learnt; irc: end of NAMES (366)
    bool registered = false;  // irc: 001 seen
    std::array<long, 17> types{};   // lobby: frames received, by type
    std::string nick;
    // Called with the text of every chat line when set (deciphered in full).
    std::function<void(const std::string&)> onChat;
};

class TLoadClients {
public:
    TLoadClients(TProto proto, uint16_t port);
    ~TLoadClients();

    // Opens one connection (blocking connect on loopback), from `from`
    // (a loopback address) when given; -1 on failure.
    int Open(const char* from = nullptr);
    // Sends the name (lobby) or registration (IRC) of connection i.
    void Name(int i, const std::string& nick);
    void SendChat(int i, const std::string& text);
    // Bytes as they are (frames already built).
    void SendRaw(int i, const std::string& bytes) { Write(conns_[std::size_t(i)], bytes); }
    void CloseAll();
    // Handles socket events for up to `ms` milliseconds.
    void Pump(int ms);
    // Pumps until `done` holds or `timeoutMs` passes; false on time-out.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
    // Pumps until no bytes arrived for `quietMs`.
    void PumpUntilQuiet(int quietMs, int timeoutMs);

    std::vector<TLoadConn>& Conns() { return conns_; }
    long long BytesIn() const { return bytesIn_; }

private:
    void Write(TLoadConn& c, const std::string& bytes);
    void OnReadable(TLoadConn& c);
    void ParseLobby(TLoadConn& c);
    void ParseIrc(TLoadConn& c);

    TProto proto_;
    uint16_t port_;
    int epoll_ = -1;
    std::vector<TLoadConn> conns_;
    long long bytesIn_ = 0;
    uint8_t key9_ = 0;   // keystream byte at the type character's position
};

uint64_t NowNs();
// Raises the descriptor limit to the hard limit.
void RaiseFileLimit();

// What /proc tells of a process: CPU time used, memory, open descriptors.
struct TProcStat {
    double cpuSeconds = 0;   // of the threads alive now, to the nanosecond where the kernel keeps that
    long hwmKb = 0;
    long rssKb = 0;
    int fds = 0;
};
TProcStat ReadProc(int pid);

// The value below which a share `p` of the samples lies (0 when none).
double Percentile(std::vector<double> v, double p);
