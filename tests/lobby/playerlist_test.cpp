// The owner-drawn list: row heights, texts, bands, colours and ping gauges
// of the game build, checked pixel by pixel; texts by their colour, whatever
// fonts the machine has.
#include "support/lobbyfixture.h"

#include <QImage>
#include <QListWidget>
#include <QPainter>

#include <algorithm>
#include <map>

namespace {

QColor Bgr(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

bool Contains(const QImage& image, const QRect& area, const QColor& colour)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixelColor(x, y) == colour)
                return true;
    return false;
}

// Whether text in `ink` is drawn in the area, for any font: some pixel lies
// on the blend from the area's ground (its most common colour) to the ink, at
// least 60% of the way. Which pixels are fully inked depends on the font's
// shapes and hinting, so no single pixel is asked for.
bool HasInk(const QImage& image, const QRect& area, const QColor& ink)
{
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y)];
    const QColor ground(std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                            return a.second < b.second;
                        })->first);
    const double d[3] = {double(ink.red() - ground.red()), double(ink.green() - ground.green()),
                         double(ink.blue() - ground.blue())};
    const double length2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    if (length2 == 0)
        return false;
    for (const auto& [rgb, count] : counts) {
        const QColor c(rgb);
        const double p[3] = {double(c.red() - ground.red()), double(c.green() - ground.green()),
                             double(c.blue() - ground.blue())};
        const double t = (p[0] * d[0] + p[1] * d[1] + p[2] * d[2]) / length2;
        double off2 = 0;
        for (int k = 0; k < 3; ++k)
            off2 += (p[k] - t * d[k]) * (p[k] - t * d[k]);
        // A channel rounds by a few units in the blend.
        if (t >= 0.6 && t <= 1.01 && off2 <= 12.0 * 12.0)
            return true;
    }
    return false;
}

} // namespace

class PlayerListTest : public LobbyTest {
protected:
    // Game 1 "Open" (host 2, alone, 4 places), game 2 "Full" (host 3 and three
    // members, 4 places, invitation only), and three free players with pings.
    void MakeLobby()
    {
        StartLobby();
        JoinAs(1);
        DeliverPlayer(TScriptedMaster::Player(2, "Alpha", 0, 1));
        DeliverPlayer(TScriptedMaster::Player(3, "Bravo", 0, 2));
        for (int i = 4; i <= 6; ++i)
            DeliverPlayer(TScriptedMaster::Player(i, "M" + std::to_string(i), 3, 0));
        for (int i = 7; i <= 9; ++i)
            DeliverPlayer(TScriptedMaster::Player(i, "F" + std::to_string(i)));
        DeliverGame(TScriptedMaster::Game(1, 2, "Open"));
        DeliverGame(TScriptedMaster::Game(2, 3, "Full", 4, 0, true));
        DeliverRefresh();
        lobby->players[2].ping = 250;
        lobby->players[7].ping = 250;
        lobby->players[8].ping = 500;
        lobby->players[9].ping = 900;
    }
    int RowOf(bool game, int32_t entry)
    {
        for (int row = 0; row < lobby->playerbox->count(); ++row)
            if (lobby->RowIsGame(row) == game && lobby->RowEntry(row) == entry)
                return row;
        return -1;
    }
    QImage Draw(int row, bool highlighted = false)
    {
        const int h = lobby->playerboxMeasureItem(row);
        QImage image(238, h, QImage::Format_RGB32);
        image.fill(Qt::magenta);
        QPainter painter(&image);
        lobby->playerboxDrawItem(painter, row, QRect(0, 0, 238, h), highlighted);
        return image;
    }
};

TEST_F(PlayerListTest, RowHeightsAndTexts)
{
    MakeLobby();
    EXPECT_EQ(lobby->playerboxMeasureItem(RowOf(true, 1)), 28);
    EXPECT_EQ(lobby->playerboxMeasureItem(RowOf(false, 7)), 14);
    EXPECT_EQ(lobby->GameRowText(1), "Open [1 / 4 players ]");
    EXPECT_EQ(lobby->GameRowText(2), "Full [4 / 4 players ]");
    EXPECT_EQ(lobby->GameRowText(0), "No Game [4 players ]");
    EXPECT_EQ(lobby->PlayerRowText(2), "[HOST] Alpha");
    EXPECT_EQ(lobby->PlayerRowText(7), "F7");
    EXPECT_TRUE(lobby->GameFull(2));
    EXPECT_FALSE(lobby->GameFull(1));

    for (int i = 7; i <= 9; ++i)
        DeliverPlayer(TScriptedMaster::Player(i, "F" + std::to_string(i), 2, 0));
    EXPECT_EQ(lobby->GameRowText(0), "No Game [1 player ]");
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 2, 0));
    EXPECT_EQ(lobby->GameRowText(0), "No Game [0 players ]");
}

TEST_F(PlayerListTest, GameRowsAreBevelledAndColouredByState)
{
    MakeLobby();
    const auto& c = lobby->LobbyColours;
    QImage open = Draw(RowOf(true, 1));
    QImage full = Draw(RowOf(true, 2));
    for (const QImage* image : {&open, &full}) {
        EXPECT_EQ(image->pixelColor(200, 0), Bgr(c.gameTopColour));
        EXPECT_EQ(image->pixelColor(200, 1), Bgr(c.gameTopColour));
        EXPECT_EQ(image->pixelColor(200, 26), Bgr(c.gameBottomColour));
        EXPECT_EQ(image->pixelColor(200, 27), Bgr(c.gameBottomColour));
        EXPECT_EQ(image->pixelColor(230, 2), Bgr(0x868E90));
        EXPECT_EQ(image->pixelColor(230, 25), Bgr(0x868E90));
    }
    const QRect text(2, 7, 150, 16);
    EXPECT_TRUE(HasInk(open, text, QColor(0, 0, 0)));
    EXPECT_FALSE(Contains(open, text, Bgr(0x0080FF)));
    EXPECT_TRUE(HasInk(full, text, Bgr(0x0080FF)));   // orange in the game build
    EXPECT_FALSE(Contains(full, text, QColor(0, 0, 0)));

    // A game in progress is yellow on the same ground.
    DeliverGame(TScriptedMaster::Game(1, 2, "Open", 4, 1));
    QImage progress = Draw(RowOf(true, 1));
    EXPECT_TRUE(HasInk(progress, text, QColor(255, 255, 0)));
}

TEST_F(PlayerListTest, PlayerRowsHaveBandsSeparatorAndGauges)
{
    MakeLobby();
    const auto& c = lobby->LobbyColours;
    QImage row = Draw(RowOf(false, 7));
    EXPECT_EQ(row.pixelColor(0, 3), Bgr(c.bandEdgeColour));
    EXPECT_EQ(row.pixelColor(1, 3), Bgr(c.bandFillColour));
    EXPECT_EQ(row.pixelColor(10, 3), Bgr(c.bandFillColour));
    EXPECT_EQ(row.pixelColor(11, 3), Bgr(c.bandShadeColour));
    EXPECT_EQ(row.pixelColor(12, 3), Bgr(c.playerBack));
    EXPECT_EQ(row.pixelColor(170, 3), Bgr(c.bandEdgeColour));
    EXPECT_EQ(row.pixelColor(171, 3), Bgr(c.bandShadeColour));
    EXPECT_EQ(row.pixelColor(230, 3), Bgr(c.playerBack));
    EXPECT_TRUE(HasInk(row, QRect(17, 0, 140, 14), QColor(255, 255, 255)));   // the name, in white

    // The gauge squares sit at x = 176, 182 and 188, five pixels below the row top.
    const QColor green(0, 206, 0), yellowGreen(206, 255, 0), red(255, 0, 0), black(0, 0, 0);
    auto squares = [&](int32_t player) {
        QImage image = Draw(RowOf(false, player));
        return std::vector<QColor>{image.pixelColor(178, 7), image.pixelColor(184, 7), image.pixelColor(190, 7)};
    };
    EXPECT_EQ(squares(7), (std::vector<QColor>{green, green, green}));
    EXPECT_EQ(squares(8), (std::vector<QColor>{yellowGreen, yellowGreen, black}));
    EXPECT_EQ(squares(9), (std::vector<QColor>{red, black, black}));
    EXPECT_EQ(squares(3), (std::vector<QColor>{Bgr(c.playerBack), Bgr(c.playerBack), Bgr(c.playerBack)}));

    // A highlighted row is drawn in the list's highlight colours, bands included.
    QImage highlighted = Draw(RowOf(false, 7), true);
    const QColor highlight = lobby->playerbox->palette().color(QPalette::Highlight);
    EXPECT_EQ(highlighted.pixelColor(0, 3), highlight);
    EXPECT_EQ(highlighted.pixelColor(5, 3), highlight);
    EXPECT_EQ(highlighted.pixelColor(170, 3), highlight);
}
