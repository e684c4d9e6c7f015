// The configuration object: the one configuration dialog of the run, which
// also holds the build profile, the dialog settings and the program values
// under the settings key. The lobby window makes it and hands it to whatever
// needs settings; nothing reaches for it on its own.
#pragma once

#include "platform/process.h"
#include "platform/regstore.h"
#include "proxysettings.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QPushButton;
class QToolButton;
class QGroupBox;
class QProgressBar;
class QTabWidget;
class QWidget;
class TGameServer;
class TFormStorage;
class TRadioGroup;
class TWineSettings;

// One entry of the link table: the texts of a web link the network may change.
struct TLinkEntry {
    std::string text;
    std::string url;
    std::string hint;
};

// Colours are 0x00BBGGRR values.
struct TSkinColours {
    uint32_t primary = 0;
    uint32_t secondary = 0;
    uint32_t primaryFont = 0;
    uint32_t secondaryFont = 0;
    uint32_t tertiary = 0;
    uint32_t tertiaryFont = 0;
    uint32_t highlight = 0;
};

class Tconfig_form;
// The class reference the main window creates the configuration object from.
using TConfigFormClass = Tconfig_form* (*)(QWidget* owner);

class Tconfig_form : public QDialog {
    Q_OBJECT
public:
    // Creates an instance of class T and runs its create handler.
    template <class T>
    static Tconfig_form* CreateForm(QWidget* owner)
    {
        auto* form = new T(owner);
        form->FormCreate();
        return form;
    }
    static Tconfig_form* Create(QWidget* owner) { return CreateForm<Tconfig_form>(owner); }

    explicit Tconfig_form(QWidget* owner);
    ~Tconfig_form() override;

    // The create handler: profile, installation code, link table, stored
    // settings, skin; shows the dialog modally when the game is not found.
    void FormCreate();

    // Virtual operations, in slot order.
    virtual void SetProfileDefaults();
    virtual void LoadSettings();
    virtual void LoadLinkTable();
    virtual bool BuildLaunchArguments(const TGameServer& server);
    virtual void RunGame(const TGameServer& server);
    virtual void ApplySkinColours();

    // Whether the game the last RunGame started, for the same address and
    // game port as `server`, is still running.
    bool GameRunning(const TGameServer& server) const;

    // Program values under the settings key. Reading never fails.
    std::string ReadSetting(const std::string& name) const;
    void WriteSetting(const std::string& name, const std::string& text);
    // Several values in one write of the store, in order, as WriteSetting
    // one after the other would leave them.
    void WriteSettings(const std::vector<std::pair<std::string, std::string>>& values);

    bool GameExecutableFound() const;
    void SaveSettings();
    void LoadSkinColours();
    // Fills the skin list with the skin folders' names (when it drops down).
    void ListSkins();

    // Proxy settings for the network clients, applied before each request.
    // The HTTP proxy when one is used; otherwise no HTTP proxy and the SOCKS
    // settings on the client's socket.
    void ApplyHttpProxy(THttpProxySettings& client, TSocksSettings& clientSocket) const;
    void ApplySocksProxy(TSocksSettings& socket) const;

    // The folder the skins folder lies in: `programFolder` when set, else the
    // folder of the running executable.
    std::string ProgramFolder() const;
    std::string programFolder;

    // Asks the user for a folder (prompt, starting folder); empty when cancelled.
    std::function<QString(const QString& prompt, const QString& start)> OnBrowseFolder;
    // Runs at every folder the executable search enters, after the window
    // has processed its pending messages.
    std::function<void(const std::string& folder)> OnSearchFolder;

    // Event handlers of the dialog.
    void ok_buttClick();
    void cancel_buttClick();
    void about_buttClick();
    void dirfind_buttClick();
    void program_dir_browseClick();
    void useproxiesClick();
    void usesocksproxiesClick();
    void getskinshereClick();
    // Drops typed characters the players' code page cannot hold, and says so.
    void nickEdited(const QString& typed);
    // The About box's text.
    QString AboutText() const;

    // --- the build profile ---------------------------------------------------
    int32_t productNumber = 0;
    std::array<std::string, 3> versionParts;
    std::string productGameName;
    std::string motdHost;          // message-of-the-day UDP host
    std::string motdPort;
    std::string motdUrlPrefix;
    std::string gameExecutableName;
    std::string gameFolderName;
    std::string settingsKeyBase;
    std::string settingsKeySuffix;
    std::string dialogKey;         // key of the dialog settings; their sub-key is "config"
    std::string skinsFolder;
    TSkinColours skinColours;
    uint16_t launchShowMode = 0;
    std::string launchArguments;
    std::string serverListClass;
    // The network's hosts by program value name ("lobbyhost", "motdurl",
    // "motdudp", "webhost", "listhost"), from the build's CMake cache values.
    std::map<std::string, std::string> hostDefaults;
    std::array<TLinkEntry, 19> linkDefaults;
    // The community's public news key, Base64 (CMake cache value QP_NEWS_KEY).
    std::string newsKeyDefault;

    // --- values derived from the store ---------------------------------------
    std::string installationCode;
    std::string distributionCode;
    int32_t bannerInterval = 300000;
    std::array<TLinkEntry, 19> linkTable;

    std::string SettingsKey() const { return settingsKeyBase + settingsKeySuffix; }
    std::string DialogSettingsKey() const;
    std::string VersionText() const { return versionParts[0] + versionParts[1] + versionParts[2]; }

    // One of the network's hosts by its program value name (see hostDefaults):
    // the stored value when set, else the profile's default. "lobbyhost",
    // "motdudp" and "listhost" are host or host:port, "motdurl" a request
    // prefix ending in "cmd=", "webhost" the base address of the web server.
    // With the "Server" field set (the community's parlevod, host or
    // host:port), the hosts the user did not set on their own come from
    // that one name with parlevod's usual ports.
    std::string HostValue(const std::string& name) const;
    // The "Server" field as code-page bytes, trimmed; empty for the build's hosts.
    std::string ServerText() const;
    // Points the link-table entries that still hold the build's web address
    // at the web host in force ("webhost", or the server's).
    void RebaseLinks();

    // The key the news must be signed with: the program value "newskey"
    // (the player's or the installer's, never the news's), else the build's
    // default. Empty: the news is taken unsigned, within the allow-list.
    std::string NewsKey() const;

    // Index of a named link-table entry, -1 when the name is unknown.
    static int LinkIndex(const std::string& name);

    // Texts of the controls other units read, as code-page bytes.
    std::string NickText() const;
    void SetNickText(const std::string& nick);
    std::string ProgramDirText() const;
    void SetProgramDirText(const std::string& dir);
    std::string EmailForMotd() const;

    bool searching = false;

    // --- controls (stored by name) --------------------------------------------
    QTabWidget* pages = nullptr;
    QLineEdit* program_dir = nullptr;
    QToolButton* program_dir_browse = nullptr;
    QToolButton* dirfind_butt = nullptr;
    QLineEdit* nick = nullptr;
    QLineEdit* server = nullptr;       // the community's parlevod, "" for the build's hosts
    QLabel* serverlab = nullptr;
    QLabel* nickwarn = nullptr;        // why a typed character was not taken
    QComboBox* speedbox = nullptr;
    QCheckBox* use_taskbar = nullptr;
    TRadioGroup* interfacestyle = nullptr;
    QGroupBox* demobox = nullptr;
    QLineEdit* realname = nullptr;
    QLineEdit* age = nullptr;
    QLineEdit* email = nullptr;
    QLineEdit* zip = nullptr;
    QCheckBox* notify_box = nullptr;
    QCheckBox* chatconnect = nullptr;
    QCheckBox* hidejoins = nullptr;
    QCheckBox* noautoaway = nullptr;
    QCheckBox* desktopnotify = nullptr;   // desktop notifications while the lobby is behind
    QCheckBox* chatlogs = nullptr;        // chat logs, one file a day
    QLabel* homechannellabel = nullptr;
    QLineEdit* homechanneledit = nullptr;
    QCheckBox* useproxies = nullptr;
    QGroupBox* proxybox = nullptr;
    QLineEdit* proxyaddr = nullptr;
    QLineEdit* proxyport = nullptr;
    QLineEdit* proxyuser = nullptr;
    QLineEdit* proxypass = nullptr;
    QRadioButton* udpmotdbutt = nullptr;
    QRadioButton* httpmotdbutt = nullptr;
    QRadioButton* icmppingbutt = nullptr;
    QRadioButton* tcppingbutt = nullptr;
    QCheckBox* usesocksproxies = nullptr;
    QGroupBox* socksproxybox = nullptr;
    QLineEdit* socksproxyaddr = nullptr;
    QLineEdit* socksproxyuser = nullptr;
    QLineEdit* socksproxypass = nullptr;
    QRadioButton* socks4butt = nullptr;
    QRadioButton* socks5butt = nullptr;
    QComboBox* skinpathbox = nullptr;
    QLabel* getskinshere = nullptr;
    QLabel* dirlab = nullptr;
    QLabel* nicklab = nullptr;
    QLabel* speedlab = nullptr;
    QLabel* realnamelab = nullptr;
    QLabel* agelab = nullptr;
    QLabel* emaillab = nullptr;
    QLabel* ziplab = nullptr;
    QLabel* skinlab = nullptr;
    QWidget* generalpage = nullptr;
    QWidget* buttonpanel = nullptr;
    QProgressBar* findanim = nullptr;   // the busy indicator of the executable search
    QPushButton* ok_butt = nullptr;
    QPushButton* cancel_butt = nullptr;
    QPushButton* about_butt = nullptr;
    // The "Wine" page and the game's start through Wine (systems without Windows only).
    TWineSettings* wine = nullptr;

    // Escape and closing the window leave the dialog the way Cancel does.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    // Creates every control with its name and design default, and lays out the pages.
    virtual void BuildControls();
    // Lists the stored control properties, in the order they are saved.
    void RegisterStoredControls();
    // Adds the "Wine" page and stores its fields (winesettings.cpp).
    void BuildWineControls();
    // Starts the game with the launch arguments, in `folder`, the current
    // folder already: its process id, or 0 when it did not start and the
    // user has been told.
    int32_t StartGame(const std::string& path, const std::string& folder);

    TFormStorage* FormStorage1 = nullptr;

private:
    platform::RegistryStore Store() const;
    bool searchRunning_ = false;   // a search loop is running (it may have been asked to stop)
    platform::ProcessWatch game_;  // the game RunGame started last
    std::string gameServer_;       // its address and game port
};
