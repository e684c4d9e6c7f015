// The peer ping: every client answers other players' ping requests on UDP
// port 15321 (pingListenPort) and measures its own round trips to them, at
// most four exchanges at a time and each player at most once every 15 seconds.
#include "plb_cmain.h"

#include "text/textfuncs.h"
#include "net/WSockets.h"
#include "platform/ticks.h"

#include <QListWidget>
#include <QTimer>

#include <arpa/inet.h>

namespace {

constexpr const char* kPingPort = "15321";
constexpr uint32_t kPlayerInterval = 15000;
constexpr uint32_t kSlotTimeout = 2000;
constexpr int kPingsPerExchange = 4;
constexpr const char* kReplyMark = "\\reply\\\\";
// A request is "\num\<0-3>\key\<u32>\time\<u32>": never anywhere near this.
constexpr std::size_t kMaxRequestSize = 128;

bool IsUnsignedNumber(const std::string& text)
{
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Only what has the shape of a ping request is answered, so the socket
// cannot be used to bounce traffic at a third party.
bool LooksLikePingRequest(const std::string& text)
{
    if (text.size() > kMaxRequestSize)
        return false;
    return IsUnsignedNumber(LookupValue(text, "num")) && IsUnsignedNumber(LookupValue(text, "key")) &&
           IsUnsignedNumber(LookupValue(text, "time"));
}

} // namespace

void Tplb_c::OpenPingReply()
{
    pingreply = new TUDPServer(this);
    pingreply->Port = pingListenPort;
    pingreply->OnData = [this](TCustomWSockets* s, TSocket socket) { pingreplyData(s, socket); };
    pingreply->Open();
}

void Tplb_c::pingtimerTimer()
{
    pingtimer->stop();
    SchedulePing();
    pingtimer->start();
}

void Tplb_c::SchedulePing()
{
    const uint32_t now = platform::GetTickCount();
    const int32_t last = int32_t(players.size()) - 1;
    int32_t i = pingCursor > last ? 1 : pingCursor;
    for (; i <= last; ++i) {
        const lobby::PlayerRecord& p = players[std::size_t(i)];
        if (p.active && now - p.lastPingTick > kPlayerInterval)
            break;
    }
    if (i > last) {
        pingCursor = last + 1;
        return;
    }
    PingSlot* slot = nullptr;
    for (PingSlot& s : pingSlots)
        if (s.player == 0 || now - s.key > kSlotTimeout) {
            slot = &s;
            break;
        }
    if (!slot)
        return;
    const int slotNumber = int(slot - pingSlots.data());
    lobby::PlayerRecord& player = players[std::size_t(i)];
    pingCursor = i + 1;
    player.lastPingTick = now;
    slot->received = 0;
    slot->expected = kPingsPerExchange;
    slot->average = 9999;
    slot->player = i;
    slot->key = now;

    // Only a dotted address is pinged: a name would stop the lobby while it
    // is looked up.
    const std::string address = player.Address();
    in_addr parsed{};
    sockaddr_in to{};
    if (!pingreply || inet_pton(AF_INET, address.c_str(), &parsed) != 1 || !pingreply->ResolveAddress(address, kPingPort, to))
        return;
    for (int k = 0; k < kPingsPerExchange; ++k) {
        const std::string request = "\\num\\" + std::to_string(slotNumber) + "\\key\\" + std::to_string(slot->key) +
                                    "\\time\\" + std::to_string(platform::GetTickCount());
        pingreply->SendTextTo(pingreply->Socket(), request, to);
    }
}

void Tplb_c::pingreplyData(TCustomWSockets*, uint32_t socket)
{
    sockaddr_in from{};
    const std::string text = pingreply->ReadTextFrom(socket, from);
    if (text.empty())
        return;
    if (text.find(kReplyMark) == std::string::npos) {
        if (LooksLikePingRequest(text))
            pingreply->SendTextTo(socket, kReplyMark + text, from);
        return;
    }
    // An answer. Its slot number comes from the network: a bad one is dropped.
    const int32_t n = DecimalToIntDef(LookupValue(text, "num"), 0);
    if (n < 0 || n > 3)
        return;
    PingSlot& slot = pingSlots[std::size_t(n)];
    const uint32_t key = StrToUIntDef(LookupValue(text, "key"), 0);
    if (key != slot.key || slot.player == 0 || !ValidPlayer(slot.player) || !players[std::size_t(slot.player)].active)
        return;
    const uint32_t now = platform::GetTickCount();
    const uint32_t sent = StrToUIntDef(LookupValue(text, "time"), now);
    const uint32_t rtt = now - sent;
    slot.average = int32_t((int64_t(slot.average) * slot.received + int64_t(rtt)) / (slot.received + 1));
    slot.received += 1;
    players[std::size_t(slot.player)].ping = uint16_t(slot.average);
    if (slot.received == slot.expected) {
        slot.player = 0;
        playerbox->viewport()->update();
        SchedulePing();
    }
}
