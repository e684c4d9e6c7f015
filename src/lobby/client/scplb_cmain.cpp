#include "scplb_cmain.h"

#include "config/scconfig_main.h"
#include "serverlist/customserver.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QToolButton>

namespace {

constexpr TLobbyColours kGameColours = {
    0x434E4A, 2, 0xABB0AF, 0x48514F, 0x868E90, 0x000000, 0x868E90, 0x0080FF, 0x868E90, 0x00FFFF,
    0x7C8582, 0x293034, 0x67747B, 0xFFFFFF, 0x5B666B};

QPixmap DrawGameLogo(QPixmap pix)
{
    QPainter p(&pix);
    QLinearGradient g(0, 0, 238, 79);
    g.setColorAt(0, QColor(0x2b, 0x30, 0x2c));
    g.setColorAt(1, QColor(0x55, 0x5b, 0x4a));
    p.fillRect(QRect(0, 0, 238, 79), g);
    QFont title("Arial");
    title.setPixelSize(19);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0xe6, 0xdc, 0xb4));
    p.drawText(QRect(8, 10, 160, 28), Qt::AlignLeft | Qt::AlignVCenter, "SHADOW");
    p.drawText(QRect(8, 34, 160, 28), Qt::AlignLeft | Qt::AlignVCenter, "COMPANY");
    QFont sub("Arial");
    sub.setPixelSize(10);
    p.setFont(sub);
    p.setPen(QColor(0xa8, 0xb0, 0xa8));
    p.drawText(QRect(10, 60, 160, 16), Qt::AlignLeft | Qt::AlignVCenter, "Quillet lobby");
    return pix;
}

} // namespace

void Tscplb_cform::FormCreate()
{
    configFormClass = &Tscconfig_form::Create;
    Tplb_c::FormCreate();
    lobbyPort = "29001";
    maxPlayersLimit = 4;
    minPlayers = 2;
    LobbyColours = kGameColours;
}

void Tscplb_cform::SetBuildLook()
{
    setWindowTitle("Shadow Company Quillet");
    Image1->setPixmap(DrawGameLogo(CrispPixmap(238, 79)));
    parlevo_butt->move(164, 16);
    Panel2->resize(25, 25);
    helpbutt->resize(22, 22);
}

void Tscplb_cform::SetKeyCaptions()
{
    Tplb_c::SetKeyCaptions();
    SetKeyCaption(Label1, "Orange Game: Game Full", ColourOf(0x0080FF));
    SetKeyCaption(Label2, "Black Game: Join Now!", Qt::black);
    SetKeyCaption(Label3, "Yellow Game: In Progress", ColourOf(0x008080));
}

std::unique_ptr<TGameServer> Tscplb_cform::JoinedServer() const
{
    std::string address;
    if (ValidPlayer(selfIndex)) {
        const int32_t host = players[std::size_t(selfIndex)].hostPlayer;
        if (host > 0 && ValidPlayer(host))
            address = players[std::size_t(host)].Address();
    }
    auto server = std::make_unique<TGameServer>(address, "1235");
    server->GamePort = "1234";
    return server;
}

void Tscplb_cform::JoinRunningGame()
{
    // A member's game goes to the host's address; without a usable one
    // (empty would make it a host of its own) nothing is started.
    std::unique_ptr<TGameServer> server = JoinedServer();
    if (!IsDottedIPv4(server->Address))
        return;
    config->RunGame(*server);
}

bool Tscplb_cform::JoinedGameRunning() { return config->GameRunning(*JoinedServer()); }

void Tscplb_cform::StartHostedGame()
{
    TGameServer server("", "1235");
    server.GamePort = "1234";
    server.NumPlayers = 1;
    server.MaxPlayers = 2;
    config->RunGame(server);
}
