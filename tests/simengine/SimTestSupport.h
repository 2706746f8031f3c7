#pragma once

// Helpers shared by the simulated engine's tests.

#include "SimEngine.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>
#include <map>
#include <memory>

namespace simtest {

using velmora::DirEntry;
using velmora::TransferEngine;
using velmora::sim::CreateSimEngine;
using velmora::sim::SimConfig;

inline QString Q(const std::u16string &text)
{
    return QString::fromStdU16String(text);
}

// Throw-away folders for drive C: and the lock, so no test touches the user's.
struct Sandbox
{
    QTemporaryDir root;
    QTemporaryDir lock;

    SimConfig Config(double timeScale = 0.0) const
    {
        SimConfig config;
        config.timeScale = timeScale;
        config.localRoot = root.path().toStdString();
        config.lockDir = lock.path().toStdString();
        return config;
    }
    QStringList Entries() const  // hidden files too: a temp file must not hide
    {
        return QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
};

// The counter outlives the engine, so a call after destruction would show.
struct WakeCounter
{
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    velmora::WakeCallback Callback() const
    {
        return [calls = calls] { ++*calls; };
    }
    int Count() const { return calls->load(); }
};

inline bool WaitIdle(TransferEngine &engine, int timeoutMs = 5000)
{
    return QTest::qWaitFor([&] { return !engine.Busy(); }, timeoutMs);
}

inline double OleDate(const QDateTime &local)
{
    return QDate(1899, 12, 30).daysTo(local.date()) +
           local.time().msecsSinceStartOfDay() / 86'400'000.0;
}

// Every call of the interface by name, with arguments that would succeed.
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

// Initialises, dials, and changes to dir on the server if given; nullptr when that failed.
inline std::unique_ptr<TransferEngine> Connected(const SimConfig &config,
                                                 const std::u16string &dir = {})
{
    auto engine = CreateSimEngine(config);
    engine->Initialize();
    if (!Finish(*engine, "Dial") || engine->ErrorOccurred())
        return nullptr;
    if (!dir.empty())
        engine->ChangeRemoteDirectory(dir);
    if (!WaitIdle(*engine) || engine->ErrorOccurred())
        return nullptr;
    return engine;
}

}  // namespace simtest
