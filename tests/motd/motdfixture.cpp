#include "motdfixture.h"

#include "main/updaterlaunch.h"
#include "platform/eventloop.h"
#include "platform/regstore.h"
#include "platform/shell.h"

#include <QApplication>
#include <QTimer>

#include "net/HttpProt.h"

void MotdWindowTest::SetUp()
{
    game.Write("shadow.exe", "MZ");
    platform::SetShellOpener([this](const QString& address) {
        opened.push_back(address);
        return true;
    });
    platform::SetModalRunner([this](QDialog& dialog) {
        modals.push_back(&dialog);
        if (onModal)
            onModal(dialog);
        return int(QDialog::Rejected);
    });
}

void MotdWindowTest::TearDown()
{
    form.reset();
    config.reset();
    platform::SetModalRunner({});
    platform::SetShellOpener({});
}

void MotdWindowTest::MakeConfig(const std::string& motdUrl, const std::string& motdUdp,
                                const std::function<void(Tconfig_form&)>& prepare)
{
    platform::RegistryStore store = platform::RegistryStore::CurrentUser();
    store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config", {{"program_dir_Text", game.path() + "/"}});
    store.WriteStrings("Software\\Parlevo\\quillet\\scompany",
                       {{"motdurl", motdUrl}, {"motdudp", motdUdp}, {"webhost", "http://web.example"}});
    config.reset(new Tscconfig_form(nullptr));
    config->programFolder = game.path();
    config->FormCreate();
    if (prepare)
        prepare(*config);
}

Tmotd_form& MotdWindowTest::Open(bool request)
{
    form.reset();
    form = std::make_unique<Tmotd_form>(nullptr, config.get());
    // As start-up does: the version prompts open the real updater.
    form->ShowUpdater = ShowUpdaterModal;
    if (request)
        form->FormCreate();
    return *form;
}

int MotdWindowTest::RunLoop(int timeoutMs)
{
    // Timers owned by `context` go with it, so none outlives this loop.
    QObject context;
    QTimer::singleShot(timeoutMs, &context, [] { QCoreApplication::exit(-1); });
    form->Httpmotdcli->OnRequestDone = [&context](THttpCli*) {
        QTimer::singleShot(0, &context, [] { QCoreApplication::exit(kRequestDone); });
    };
    const int result = QApplication::exec();
    form->Httpmotdcli->OnRequestDone = nullptr;
    return result;
}

bool MotdWindowTest::WaitUntil(const std::function<bool()>& done, int timeoutMs)
{
    return platform::ProcessEventsUntil(done, timeoutMs);
}

std::string MotdWindowTest::Shown() const { return form->motd_text->toPlainText().toStdString(); }
