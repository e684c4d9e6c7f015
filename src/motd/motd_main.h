// The News window: it sends one message-of-the-day request when it is
// created, over HTTP or UDP as the configuration says, and shows what comes
// back. The reply's header lines become settings (among them the update
// information the updater reads), and its marker and "updatever" line lead
// to the version prompts. The window stays hidden until a reply has been
// processed; closing it only hides it.
#pragma once

#include "motd/richedit98.h"
#include "net/WSockets.h"

#include <QPointer>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QBuffer;
class THttpCli;
class Tconfig_form;

class Tmotd_form : public QWidget {
    Q_OBJECT
public:
    // A message (reply) longer than this is cut at its last line end before
    // it; the download stops there.
    static constexpr std::size_t kMaxReplyBytes = 1 << 20;
    // Header lines past this many are not applied as settings.
    static constexpr std::size_t kMaxHeaderLines = 1000;

    // `config` is the configuration object, which outlives the request.
    Tmotd_form(QWidget* owner, Tconfig_form* config);
    ~Tmotd_form() override;

    // The create handler: skin colour and font, then the request.
    void FormCreate();

    // Builds the request and sends it over UDP when `udpmotdbutt` is
    // checked, else over HTTP.
    void RequestMotd();
    // The request text: eleven fields, each followed by "|".
    std::string MotdRequest() const;

    // Transport steps.
    void HttpmotdcliDocBegin(THttpCli* Sender);
    void HttpmotdcliDocData(THttpCli* Sender, const char* Buffer, int Len);
    void HttpmotdcliDocEnd(THttpCli* Sender);
    void UDPmotdcliData(TCustomWSockets* Sender, TSocket Socket);

    // Splits the reply, shows the message, writes "motdck" and the header
    // settings and runs the version checks.
    void ProcessMotd(const std::string& reply);
    void ApplyMotdHeaders(bool expired);

    // The version prompts: an expired build, a new version announced.
    void CheckVersion(bool expired, bool newVersion);
    // Opens the updater modally on the settings key, through ShowUpdater.
    void RunUpdater();
    // Shows the updater window modally for the configuration and the settings
    // key and returns when it is closed. Start-up sets it; the updater sits
    // above this window, so the window does not make it itself.
    std::function<void(Tconfig_form* config, const std::string& settingsKey)> ShowUpdater;

    void motd_textURLClick(TRichEdit98* Sender, const std::string& url);

    // Docking. The window can be docked into a container (a TPageControlEx
    // gives it a tab of its own) and float again; its message survives the
    // move as RTF.
    void FormStartDock();
    void FormEndDock();
    // False when the window is not to close: it goes back to the container
    // it was last docked into instead.
    bool FormCloseQuery();
    void FormShow() {}
    void FormActivate() {}
    void FormUnDock() {}
    void ManualDock(QWidget* site);
    void ManualFloat();
    // The container the window is docked into; null while it floats.
    QWidget* HostDockSite() const;

    // Components.
    TRichEdit98* motd_text = nullptr;
    THttpCli* Httpmotdcli = nullptr;
    TUDPClient* UDPmotdcli = nullptr;

    // The header lines of the last reply.
    std::vector<std::string> motd_headers;
    // The message as RTF while the window moves between containers.
    std::unique_ptr<QBuffer> dock_rtf;
    QPointer<QWidget> last_dock_site;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QPointer<Tconfig_form> config_;
    std::unique_ptr<QBuffer> body_;   // the HTTP document while it arrives
    bool stopping_ = false;           // the document passed the bound; its download is being stopped
    bool centred_ = false;

    void LoadMessage(const std::string& body, bool rtf);
    void ApplyProxies();
    bool Ask(const std::string& text);
};
