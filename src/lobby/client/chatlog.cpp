#include "chatlog.h"

#include <QDir>

TChatLog::TChatLog(QString folder) : folder_(std::move(folder)) {}

QString TChatLog::DefaultFolder()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || !QDir::isAbsolutePath(data))
        data = QDir::homePath() + "/.local/share";
    return data + "/quillet-peer/logs";
}

QString TChatLog::FileOf(const QDate& day) const { return folder_ + "/" + day.toString("yyyy-MM-dd") + ".log"; }

void TChatLog::Append(const QString& channel, const QString& text)
{
    if (!enabled)
        return;
    const QDateTime now = Now();
    if (!file_.isOpen() || now.date() != day_) {
        file_.close();
        day_ = now.date();
        if (!QDir().mkpath(folder_)) {
            Fail("the folder " + folder_ + " cannot be made");
            return;
        }
        file_.setFileName(FileOf(day_));
        if (!file_.open(QIODevice::WriteOnly | QIODevice::Append)) {
            Fail(file_.fileName() + ": " + file_.errorString());
            return;
        }
    }
    // A line of the log is one line, whatever the text held.
    QString flat = text;
    flat.replace("\r\n", " | ").replace('\n', " | ").replace('\r', " | ");
    const QByteArray line = (now.toString("HH:mm:ss") + " [" + channel + "] " + flat + "\n").toUtf8();
    // Written through at once, so a line is on disk (or its failure known)
    // before the next one; a line is small and the write does not wait.
    if (file_.write(line) != line.size() || !file_.flush())
        Fail(file_.fileName() + ": " + file_.errorString());
}

void TChatLog::Fail(const QString& why)
{
    enabled = false;
    file_.close();
    if (OnFailed)
        OnFailed(why);
}
