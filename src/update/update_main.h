// The updater window: lists the download sites that the message of the day
// announced, rates them by ICMP echo, downloads the new release over HTTP or
// FTP (with resume) into the program's own folder and starts it, which ends
// the program so the release can replace it.
//
// The version prompts open it modally with settings_key set. Shown without a
// key, it takes the key's path from its single command-line argument.
#pragma once

#include "updatesites.h"

#include <QDialog>
#include <QIcon>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class QFile;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TCustomWSockets;
class TDebugBox;
class TFtpClient;
class THttpCli;
class TPinger;
class Tconfig_form;

class Tupdate_form : public QDialog {
    Q_OBJECT
public:
    // `config` supplies the proxy settings and the Configure button's dialog;
    // without one, downloads go direct and Configure does nothing.
    explicit Tupdate_form(QWidget* owner = nullptr, Tconfig_form* config = nullptr);
    ~Tupdate_form() override;

    // Fields.
    std::string local_file;
    int ping_index = 0;
    int64_t total_bytes = 0;
    uint32_t start_tick = 0;
    uint32_t last_tick = 0;
    int64_t received_bytes = 0;
    bool relocated = false;
    std::string settings_key;

    // What the window takes from its surroundings; tests put their own here.
    Tconfig_form* config = nullptr;
    std::string program_dir;                  // where downloads go: the executable's folder
    QStringList arguments;                    // the command line, without the program
    std::function<uint32_t()> Clock;          // millisecond ticks
    // Ends the program with the exit code (the real one leaves every event loop).
    std::function<void(int code)> EndProgram;
    bool ending = false;                      // the program has been told to end

    // Components.
    QGroupBox* GroupBox1 = nullptr;
    QLabel* verslab = nullptr;
    QLabel* desclab = nullptr;
    QLabel* sizelab = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* proglab = nullptr;
    QPushButton* download_butt = nullptr;
    QPushButton* cancel_butt = nullptr;
    QPushButton* config_butt = nullptr;
    QLabel* Label1 = nullptr;
    QSplitter* splitter = nullptr;
    QTreeWidget* downloadlist = nullptr;
    TDebugBox* DebugBox1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* updateurllab = nullptr;
    std::array<QIcon, 4> speedimages;   // 0 grey, 1 green, 2 yellow, 3 red
    THttpCli* HttpCli1 = nullptr;
    TFtpClient* FtpClient1 = nullptr;
    TPinger* Ping1 = nullptr;
    QTimer* regtimer = nullptr;

    // Event handlers and operations.
    void FormCreate();
    void regtimerTimer();
    void LoadDownloadList();
    void PingNext();
    void Ping1Reply();
    void download_buttClick();
    void downloadlistDblClick();
    void StartHttpDownload(const TDLInfo& info);
    void StartFtpDownload(const TDLInfo& info);
    void cancel_buttClick();
    void config_buttClick();
    void updateurllabClick();
    void SocketError(TCustomWSockets* Sender);
    void UpdateProgress();
    void RunDownloadedFile();
    // Tells the user, then ends the program with exit code 1.
    void Fatal(const std::string& text);
    bool IsBusy() const;

    // The row's site, its image (0 not measured, 1 fast, 2 medium, 3 slow).
    static const TDLInfo* RowInfo(const QTreeWidgetItem* row);
    static int RowImage(const QTreeWidgetItem* row);
    // The height of the log box under the list (0 until a download starts).
    int DebugBoxHeight() const;

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::string update_sha256;   // "updatesha256": for every site without its own value
    std::string expected_sha256; // of the download under way
    int http_reply_status = 0;   // the status the server's last reply header gave
    // The largest download taken from a site that announces no size.
    int64_t download_ceiling = 0;
    // With a news key ("newskey", else the build's), only a release whose
    // checksum is among those of verified news ("newssha256") is downloaded.
    std::string news_key;
    std::string news_sha256;
    // The download under way sent more than it may; it is being stopped.
    bool oversize = false;

    void FormShow();
    void BuildControls();
    void SetDebugBoxHeight(int height);
    void SetRowImage(QTreeWidgetItem* row, int image);
    // The downloaded file passes the size and SHA-256 checks; otherwise the
    // user has been told why it is not started.
    bool CheckDownloadedFile(int64_t expectedSize);
    // A download past its announced size or the ceiling: stops it, deletes
    // the file and tells the user why.
    void StopOversizeDownload();

    void HttpCli1HeaderData();
    void HttpCli1HeaderEnd();
    void HttpCli1DocBegin();
    void HttpCli1DocData(int len);
    void HttpCli1DocEnd();
    void HttpCli1StateChange();
    void FtpClient1Display(const std::string& msg);
    void FtpClient1Progress(int64_t count, bool& abort);
    void FtpClient1RequestDone(int request, int error);

    QFile* http_file = nullptr;
};
