// The owner-drawn player list: tall bevelled game rows coloured by the
// game's state, and indented player rows with a host mark and a ping gauge.
#include "plb_cmain.h"

#include "platform/ansi.h"

#include <algorithm>

#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

class TPlayerboxDelegate : public QStyledItemDelegate {
public:
    TPlayerboxDelegate(Tplb_c* lobby, QListWidget* list) : QStyledItemDelegate(list), lobby_(lobby), list_(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const bool highlighted = (option.state & QStyle::State_Selected) && list_->hasFocus();
        painter->save();
        lobby_->playerboxDrawItem(*painter, index.row(), option.rect, highlighted);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        return QSize(list_->viewport()->width(), lobby_->playerboxMeasureItem(index.row()));
    }

private:
    Tplb_c* lobby_;
    QListWidget* list_;
};

QFont ListFont(int pixelSize, bool bold, bool italic = false)
{
    QFont f("Arial");
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setItalic(italic);
    return f;
}

} // namespace

int Tplb_c::playerboxMeasureItem(int row) const
{
    const int line = listCharHeight + 3;
    return RowIsGame(row) ? 2 * line : line;
}

void Tplb_c::playerboxDrawItem(QPainter& painter, int row, const QRect& rowRect, bool highlighted)
{
    const int32_t entry = RowEntry(row);
    const QPalette pal = playerbox->palette();
    const QColor highlight = pal.color(QPalette::Highlight);
    const QColor highlightText = pal.color(QPalette::HighlightedText);
    const int defaultRowHeight = listCharHeight + 3;
    const auto& c = LobbyColours;
    QRect rect = rowRect;

    if (RowIsGame(row)) {
        if (!ValidGame(entry))
            return;
        const lobby::GameRecord& game = games[std::size_t(entry)];
        QColor back = highlight, text = highlightText;
        if (!highlighted) {
            const int band = c.gameBandWidth;
            painter.fillRect(QRect(rect.left(), rect.top(), rect.width(), band), ColourOf(c.gameTopColour));
            painter.fillRect(QRect(rect.left(), rect.bottom() - band + 1, rect.width(), band), ColourOf(c.gameBottomColour));
            rect.adjust(0, band, 0, -band);
            back = ColourOf(c.playerBack);
            text = pal.color(QPalette::Text);
            if (game.state == 1) {
                back = ColourOf(c.progressBack);
                text = ColourOf(c.progressText);
            } else if (GameFull(entry)) {
                back = ColourOf(c.fullBack);
                text = ColourOf(c.fullText);
            } else if (game.state == 0) {
                back = ColourOf(c.openBack);
                text = ColourOf(c.openText);
            }
        }
        painter.fillRect(rect, back);
        painter.setFont(ListFont(listCharHeight, true, game.inviteOnly != 0));
        painter.setPen(text);
        painter.drawText(QRect(rowRect.left() + 2, rowRect.top() + defaultRowHeight / 2, 4000, defaultRowHeight * 2),
                         Qt::AlignLeft | Qt::AlignTop, platform::FromAnsi(GameRowText(entry)));
        return;
    }

    if (!ValidPlayer(entry))
        return;
    const lobby::PlayerRecord& player = players[std::size_t(entry)];
    if (row == playerbox->count() - 1 && !highlighted)
        rect.setBottom(std::max(rect.bottom(), playerbox->viewport()->rect().bottom()));
    const QColor edge = highlighted ? highlight : ColourOf(c.bandEdgeColour);
    const QColor fill = highlighted ? highlight : ColourOf(c.bandFillColour);
    const QColor shade = highlighted ? highlight : ColourOf(c.bandShadeColour);
    const QColor back = highlighted ? highlight : ColourOf(c.playerBack);
    const int l = rect.left(), top = rect.top(), h = rect.height();
    painter.fillRect(QRect(l, top, 1, h), edge);
    painter.fillRect(QRect(l + 1, top, 10, h), fill);
    painter.fillRect(QRect(l + 11, top, 1, h), shade);
    painter.fillRect(QRect(l + 12, top, rect.right() - (l + 12) + 1, h), back);

    painter.setFont(ListFont(listCharHeight, false));
    // An ignored player's name is greyed.
    painter.setPen(highlighted ? highlightText : Ignores(entry) ? QColor(0x3c, 0x3c, 0x3c) : ColourOf(c.playerText));
    // A long name ends in an ellipsis before the ping column.
    const int nameWidth = std::max(0, 170 - 2 - (l + 17));
    const QString name = painter.fontMetrics().elidedText(platform::FromAnsi(PlayerRowText(entry)), Qt::ElideRight,
                                                          nameWidth);
    painter.drawText(QRect(l + 17, top, nameWidth, defaultRowHeight), Qt::AlignLeft | Qt::AlignTop, name);

    // The ping column: a separator, then the gauge.
    painter.fillRect(QRect(170, top, 2, h), edge);
    painter.fillRect(QRect(171, top, 1, h), shade);
    if (player.ping == 9999)
        return;
    const int image = player.ping < 300 ? 0 : player.ping < 800 ? 1 : 2;
    painter.drawPixmap(175, rowRect.top() + 5, dotlist[std::size_t(image)]);
}

std::string Tplb_c::GameRowText(int32_t g) const
{
    if (!ValidGame(g))
        return {};
    const lobby::GameRecord& game = games[std::size_t(g)];
    if (g > 0)
        return game.Name() + " [" + std::to_string(PlayersInGame(g)) + " / " + std::to_string(unsigned(game.maxPlayers)) +
               " players ]";
    const int32_t count = PlayersInGame(0);
    return game.Name() + " [" + std::to_string(count) + " player" + (count == 1 ? "" : "s") + " ]";
}

std::string Tplb_c::PlayerRowText(int32_t p) const
{
    if (!ValidPlayer(p))
        return {};
    const lobby::PlayerRecord& player = players[std::size_t(p)];
    return player.hostedGame != 0 ? "[HOST] " + player.Name() : player.Name();
}

void Tplb_c::InstallListDrawing()
{
    playerbox->setItemDelegate(new TPlayerboxDelegate(this, playerbox));
    playerbox->setUniformItemSizes(false);
}
