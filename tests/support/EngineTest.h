#pragma once

// Helpers for every test that drives a TransferEngine, the engines' own tests
// included: header-only, Qt Test without widgets.

#include "TransferEngine.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>

#include <atomic>
#include <functional>
#include <map>
#include <memory>

namespace velmora::test {

// Verbatim: fromStdU16String would drop a leading U+FEFF as a byte order mark.
inline QString Q(const std::u16string &text)
{
    return QStringView(text).toString();
}

inline QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<fehlt>");
}

// modified: the file's date, if valid.
inline bool WriteFile(const QString &path, const QByteArray &data, const QDateTime &modified = {})
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush() &&
           (!modified.isValid() || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

// The text with each {name} replaced by its value.
inline QString Fill(QString text, const QList<std::pair<QString, QString>> &values)
{
    for (const auto &[name, value] : values)
        text.replace(u'{' + name + u'}', value);
    return text;
}

inline bool WaitIdle(TransferEngine &engine, int timeoutMs = 10'000)
{
    return QTest::qWaitFor([&] { return !engine.Busy(); }, timeoutMs);
}

// The counter outlives the engine, so a call after destruction would show.
struct WakeCounter
{
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    WakeCallback Callback() const
    {
        return [calls = calls] { ++*calls; };
    }
    int Count() const { return calls->load(); }
};

// A download in progress: a file in folder this process has open with data in
// it, whether it has a name yet or not.
inline bool DownloadUnderWay(const QString &folder)
{
    const QDir fds("/proc/self/fd");
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System))
        if (QFile::symLinkTarget(fds.filePath(fd)).startsWith(folder + '/') &&
            QFile(fds.filePath(fd)).size() > 0)
            return true;
    return false;
}

// Every call of the interface by name, with arguments the simulated mailbox takes.
using Calls = std::map<QString, std::function<void(TransferEngine &)>>;
inline const Calls &AllCalls()
{
    static const Calls calls{
        {"AlreadyRunning", [](TransferEngine &e) { e.AlreadyRunning(); }},
        {"Initialize", [](TransferEngine &e) { e.Initialize(); }},
        {"Shutdown", [](TransferEngine &e) { e.Shutdown(); }},
        {"LocalDirectory", [](TransferEngine &e) { e.LocalDirectory(); }},
        {"Busy", [](TransferEngine &e) { e.Busy(); }},
        {"ReadLocalDirectory", [](TransferEngine &e) { e.ReadLocalDirectory(); }},
        {"NextDirEntry",
         [](TransferEngine &e) {
             DirEntry d;
             e.NextDirEntry(d);
         }},
        {"Dial", [](TransferEngine &e) { e.Dial(u"0431 555 0188", u"", u"", 5); }},
        {"HangUp", [](TransferEngine &e) { e.HangUp(); }},
        {"ReadRemoteDirectory", [](TransferEngine &e) { e.ReadRemoteDirectory(); }},
        {"ChangeLocalDirectory", [](TransferEngine &e) { e.ChangeLocalDirectory(u"C:\\"); }},
        {"ChangeRemoteDirectory", [](TransferEngine &e) { e.ChangeRemoteDirectory(u"TOOLS"); }},
        {"DownloadFile", [](TransferEngine &e) { e.DownloadFile(u"WILLKOMM.TXT", 0); }},
        {"AbortOperation", [](TransferEngine &e) { e.AbortOperation(); }},
        {"RemoteDirectory", [](TransferEngine &e) { e.RemoteDirectory(); }},
        {"LocalDrives", [](TransferEngine &e) { e.LocalDrives(); }},
        {"RemoteDrives", [](TransferEngine &e) { e.RemoteDrives(); }},
        {"RemoteName", [](TransferEngine &e) { e.RemoteName(); }},
        {"LongFileNames", [](TransferEngine &e) { e.LongFileNames(); }},
        {"ErrorOccurred", [](TransferEngine &e) { e.ErrorOccurred(); }},
        {"ErrorText", [](TransferEngine &e) { e.ErrorText(); }},
    };
    return calls;
}

// The calls that start an operation.
inline const QStringList Operations{"Dial",
                                    "ReadLocalDirectory",
                                    "ChangeLocalDirectory",
                                    "ReadRemoteDirectory",
                                    "ChangeRemoteDirectory",
                                    "DownloadFile",
                                    "HangUp"};

inline bool IsServerCall(const QString &name)
{
    return QStringList{"HangUp",       "ReadRemoteDirectory", "ChangeRemoteDirectory",
                       "DownloadFile", "RemoteDirectory",     "RemoteDrives",
                       "RemoteName",   "LongFileNames"}
        .contains(name);
}

// Makes the call and waits for the operation, if it started one, to end.
inline bool Finish(TransferEngine &engine, const QString &name)
{
    AllCalls().at(name)(engine);
    return WaitIdle(engine);
}

// Initialises the engine, and dials when call needs a line; false when that failed.
inline bool ReadyFor(const QString &call, TransferEngine &engine)
{
    engine.Initialize();
    return !IsServerCall(call) || (Finish(engine, "Dial") && !engine.ErrorOccurred());
}

}  // namespace velmora::test
