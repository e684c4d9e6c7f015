// The lobby window: the connection to the lobby master, the player and game
// tables shown in the list, chat and private messages, the game actions,
// and the peer ping.
#pragma once

#include "config/config_main.h"
#include "config/skins.h"
#include "lobby/plb_main.h"
#include "platform/dialogs.h"

#include <QPixmap>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class QAction;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPainter;
class QPlainTextEdit;
class QTextEdit;
class QTimer;
class QToolButton;
class TCustomWSockets;
class TSplitBar;
class TTCPClient;
class TUDPServer;
class Thost_form;
class Tmsg_form;

// The lobby window's colours (0x00BBGGRR) and the game rows' band width.
struct TLobbyColours {
    uint32_t windowColour;
    int32_t gameBandWidth;
    uint32_t gameTopColour;
    uint32_t gameBottomColour;
    uint32_t openBack, openText;
    uint32_t fullBack, fullText;
    uint32_t progressBack, progressText;
    uint32_t bandEdgeColour;
    uint32_t bandShadeColour;
    uint32_t playerBack;
    uint32_t playerText;
    uint32_t bandFillColour;
};

// One exchange of the peer ping.
struct PingSlot {
    int32_t expected = 0;
    int32_t received = 0;
    int32_t player = 0;      // 0: the slot is free
    uint32_t key = 0;        // tick when the exchange started
    int32_t average = 9999;
};

class Tplb_c : public Tplb_form {
    Q_OBJECT
public:
    explicit Tplb_c(QWidget* parent = nullptr);

    void FormCreate() override;
    void FormShow() override;

    // The UDP port the peer ping listens on, opened when the window is first
    // shown. Other players' clients are always pinged on the protocol's port,
    // 15321, so this stays unless the window's owner is a test that must run
    // beside a player's open client ("0": any free port).
    std::string pingListenPort = "15321";

    // Virtual operations added by the lobby window.
    virtual void JoinRunningGame() = 0;
    virtual void StartHostedGame() = 0;
    // Whether the game JoinRunningGame would start is one this client
    // started and is still running.
    virtual bool JoinedGameRunning() { return false; }

    void SendRecord(const LobbyRecord& record) override;
    void HandleRecord(const LobbyRecord& record, uint32_t socket) override;

    // --- connection ------------------------------------------------------------
    void ConnectToMaster();
    void RequestName();
    void ResetLobby();
    void TCPConnect(TCustomWSockets* sender, uint32_t socket);
    void TCPData(TCustomWSockets* sender, uint32_t socket);
    void TCPClose(TCustomWSockets* sender, uint32_t socket);
    void TCPError(TCustomWSockets* sender, int error, const std::string& msg);

    // --- state -------------------------------------------------------------------
    int32_t GameOfPlayer(int32_t p) const;
    bool IsHost(int32_t p) const;
    bool InGame(int32_t p) const;
    bool IsFree(int32_t p) const;
    bool SameGame(int32_t a, int32_t b) const;
    int32_t PlayersInGame(int32_t g) const;
    bool GameFull(int32_t g) const;
    void RebuildPlayerList();
    // The table entry a list row refers to, and whether it is a game row.
    bool RowIsGame(int row) const;
    int32_t RowEntry(int row) const;
    int SelectedRow() const;

    // --- chat ----------------------------------------------------------------------
    // A line longer than this many characters is shown cut, its end replaced
    // by kCutMark: an unbroken line of tens of kilobytes would take the pane
    // seconds to lay out. A notice's box is cut the same way at
    // kMaxShownMessage, a received message at its dialog's own limit.
    static constexpr int kMaxShownLine = 1000;
    static constexpr int kMaxShownMessage = 4000;
    static constexpr const char* kCutMark = " [...]";
    void AddChatLine(QTextEdit* pane, const std::string& text, uint32_t colour);
    void ScrollToEnd(QTextEdit* pane);
    void AnimateGamePane(int from, int to);
    void SendPrivateMessage(int32_t p);
    void ShowReceivedMessage(int32_t sender, const std::string& text);
    // A notice of the master (cmMessage) in an information box.
    void ShowNotice(const std::string& text);
    // Enter in one of the two input lines; true when the key was Enter.
    bool mainlineKeyDown(QPlainTextEdit* line, int key);

    // --- actions --------------------------------------------------------------------
    void HostGameExecute();
    void gamesettingsExecute();
    void JoinGameExecute();
    void LeaveGameExecute();
    void InvitePlayerExecute();
    void kickplayerExecute();
    void LaunchGameExecute();
    void SendPrivMessageExecute();
    void SetConfigExecute();
    void ShowAllExecute();
    void UpdateDisplayUpdate();
    void ReceiveInvite(int32_t inviter, int32_t game);
    // Asks for a game's settings; false when cancelled or refused.
    bool AskGameSettings(std::string& param);

    // --- peer ping ------------------------------------------------------------------
    void pingtimerTimer();
    void SchedulePing();
    void pingreplyData(TCustomWSockets* sender, uint32_t socket);

    // --- frame handlers ---------------------------------------------------------------
    void helpbuttClick();
    void button_panelResize();
    void backpanelResize();
    void parlevo_buttClick();
    void playerboxDblClick() {}
    void playerboxClick();
    void midsplitMoved();
    void midsplitPaint(QPainter& painter);
    int playerboxMeasureItem(int row) const;
    // The texts the list shows for a game row and for a player row.
    std::string GameRowText(int32_t g) const;
    std::string PlayerRowText(int32_t p) const;
    void playerboxDrawItem(QPainter& painter, int row, const QRect& rect, bool highlighted);

    // --- state fields ----------------------------------------------------------------
    TConfigFormClass configFormClass = &Tconfig_form::Create;
    TLobbyColours LobbyColours{};
    int32_t selfIndex = -1;
    bool gamePaneOpen = false;
    std::array<PingSlot, 4> pingSlots{};
    int32_t pingCursor = 1;
    bool showAll = true;
    int32_t maxPlayersLimit = 32;
    int32_t minPlayers = 2;
    bool invitePromptOpen = false;

    // Received-message and notice dialogs open at once. Each runs the loop
    // inside the one before, so they are bounded: past the bound a private
    // message is written into the public pane and a notice too.
    static constexpr int kMaxOpenNotices = 8;
    int openNotices = 0;
    // The error box of a record that could not be handled, while it is open:
    // further such errors are counted into it instead of opening more boxes.
    bool recordErrorOpen = false;
    int recordErrorsSince = 0;
    QString recordErrorText;
    platform::DialogRetext recordErrorRetext;
    // Reading from the master waits while too many records wait to be handled.
    bool readPaused = false;
    // A received cmStart is being acted on (its error box may be open).
    bool startingGame = false;
    // The connection is about to be dropped (DropConnection).
    bool dropPending = false;

    Tconfig_form* config = nullptr;
    Tmsg_form* msgForm = nullptr;
    // Set by whoever makes the window (see app/startup.h), owned by the window.
    Thost_form* hostForm = nullptr;

    // --- components ------------------------------------------------------------------
    QWidget* Panel1 = nullptr;
    QLabel* Image1 = nullptr;
    QToolButton* parlevo_butt = nullptr;
    QListWidget* playerbox = nullptr;
    QWidget* button_panel = nullptr;
    QWidget* lbuttonpanel = nullptr;
    QWidget* rbuttonpanel = nullptr;
    QWidget* Panel2 = nullptr;
    QToolButton* helpbutt = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QWidget* rightsplit = nullptr;
    QWidget* backpanel = nullptr;
    QWidget* toppanel = nullptr;
    QTextEdit* mainchat = nullptr;
    QPlainTextEdit* mainline = nullptr;
    TSplitBar* midsplit = nullptr;
    QWidget* bottompanel = nullptr;
    QWidget* midpanel = nullptr;
    QTextEdit* subchat = nullptr;
    QPlainTextEdit* subline = nullptr;
    TTCPClient* TCP = nullptr;
    TUDPServer* pingreply = nullptr;
    QTimer* pingtimer = nullptr;
    std::array<QPixmap, 3> dotlist;
    QMenu* ListMenu = nullptr;

    QAction* HostGame = nullptr;
    QAction* JoinGame = nullptr;
    QAction* LeaveGame = nullptr;
    QAction* gamesettings = nullptr;
    QAction* LaunchGame = nullptr;
    QAction* SendPrivMessage = nullptr;
    QAction* InvitePlayer = nullptr;
    QAction* kickplayer = nullptr;
    QAction* SetConfig = nullptr;
    QAction* ShowAll = nullptr;
    QAction* UpdateDisplay = nullptr;
    std::vector<QAction*> ActionList1;

    // The list font's character height (11 for the 8-point font).
    int listCharHeight = 11;

protected:
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void RecordHandled() override;
    void RecordFailed(const std::exception& error) override;
    void ReportBadFrame(const std::string& why, int count) override;
    void FramingLost() override;
    // Shows `why` as a status line, then closes the connection and asks
    // whether to reconnect, once the current handler has returned.
    void DropConnection(const std::string& why);

    // The game build's picture, glyphs and button position.
    virtual void SetBuildLook();
    // Colour key captions and colours of this build.
    virtual void SetKeyCaptions();
    static void SetKeyCaption(QLabel* label, const char* caption, QColor colour, bool italic = false);

private:
    void OpenPingReply();
    void InstallListDrawing();
    void BuildComponents();
    void BuildActions();
    void LayoutPanel1();
    void MakeDotList();
    void HandleChat(const LobbyRecord& record);
    void HandlePlayer(const LobbyRecord& record);
    void HandleGame(const LobbyRecord& record);
};
