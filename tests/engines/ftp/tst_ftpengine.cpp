// The FTP engine through the TransferEngine interface, against servers that
// misbehave as hostile_ftp.py scripts them: what a server may do works; the
// rest ends with a German error, the connection closed and nothing left on
// drive C:. Each row dials, lists C:\ and fetches TRANVIK7.EXE.

#include "EngineTest.h"
#include "FtpSession.h"
#include "RemoteEngine.h"
#include "ServerTool.h"

#include <QDateTime>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using velmora::DirEntry;
using velmora::DirListingEnd;
using velmora::TransferEngine;
using velmora::test::Fill;
using velmora::test::Q;
using velmora::test::ReadFile;
using velmora::test::ServerTool;
using velmora::test::SilentListener;
using velmora::test::WaitIdle;
using velmora::test::WriteFile;

namespace {

const std::u16string Number = u"0421 7396 2058";
const QString EmptyPin = u"sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="_s;

}  // namespace

class FtpEngineTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostile_data()
    {
        QTest::addColumn<QString>("kind");      // tools/ftp-server.sh's, or "silent"
        QTest::addColumn<QString>("scheme");    // in the phone book
        QTest::addColumn<QString>("mode");      // hostile_ftp.py's
        QTest::addColumn<QString>("twist");     // what else is amiss
        QTest::addColumn<QString>("expected");  // the error ({host}, {pin}, {home}), or none
        const QString plain = u"pyftpdlib"_s, tls = u"pyftpdlib-ftpes"_s;
        const QString stalled =
            u"Zeitüberschreitung: {host} antwortet nicht (%1, 1 s). Verbindung getrennt."_s;
        const QString aborted = u"Vorgang abgebrochen."_s, none;
        const std::tuple<const char *, QString, QString, QString, QString, QString> rows[] = {
            {"plain", plain, u"ftp"_s, u"plain"_s, none, none},
            {"TLS, pinned", tls, u"ftpes"_s, u"plain"_s, none, none},
            {"PASV names another address", plain, u"ftp"_s, u"pasv-address"_s, none, none},
            {"LIST, no MLSD", plain, u"ftp"_s, u"no-mlsd"_s, none, none},
            {"LIST in DOS form", plain, u"ftp"_s, u"dos-list"_s, none, none},
            {"slow but steady", plain, u"ftp"_s, u"slow:3"_s, none, none},
            {"more data than SIZE said", plain, u"ftp"_s, u"more-data"_s, none, none},
            {"hostile names", plain, u"ftp"_s, u"hostile-names"_s, none, none},
            {"line breaks in names", plain, u"ftp"_s, u"line-breaks"_s, none,
             u"Verzeichnisliste unlesbar: eine Zeile hat keine bekannte Form."_s},
            {"early end of the data", plain, u"ftp"_s, u"early-end"_s, none,
             u"Datei TRANVIK7.EXE unvollständig (93455 von 186911 Bytes)."_s},
            {"a file larger than the disk", plain, u"ftp"_s, u"huge-size"_s, none,
             u"Nicht genügend Speicherplatz auf dem Datenträger: C:\\TRANVIK7.EXE"_s},
            {"stall after login", plain, u"ftp"_s, u"stall-login"_s, none,
             stalled.arg(u"FTP-Start"_s)},
            {"stall at CWD", plain, u"ftp"_s, u"stall-cwd"_s, none,
             stalled.arg(u"Pfad auflösen"_s)},
            {"closed at CWD", plain, u"ftp"_s, u"close-cwd"_s, none,
             u"Verbindung zu {host} unterbrochen."_s},
            {"stall in the transfer", plain, u"ftp"_s, u"stall-transfer"_s, none,
             stalled.arg(u"Datei lesen"_s)},
            {"endless listing", plain, u"ftp"_s, u"endless-listing"_s, none,
             u"Verzeichnis zu groß: mehr als 100000 Einträge."_s},
            {"AUTH TLS refused", plain, u"ftpes"_s, u"no-tls"_s, none,
             u"{host} bietet kein TLS an (AUTH TLS abgelehnt). Verbindung abgelehnt."_s},
            {"certificate not pinned", tls, u"ftpes"_s, u"plain"_s, u"no pin"_s,
             u"Unbekanntes Zertifikat von {host} (SSL certificate problem: self-signed "
             u"certificate): sein Schlüssel pin={pin} steht nicht im Telefonbuch. Verbindung "
             u"abgelehnt."_s},
            {"another key than pinned", tls, u"ftpes"_s, u"plain"_s, u"wrong pin"_s,
             u"WARNUNG: Der Schlüssel von {host} passt nicht zum Pin im Telefonbuch (angeboten: "
             u"pin={pin}). Verbindung abgelehnt."_s},
            {"~/.netrc others may read", plain, u"ftp"_s, u"plain"_s, u"netrc 0604"_s,
             u"Datei {home}/.netrc nicht benutzt: Sie enthält ein Passwort und ist auch für "
             u"andere lesbar (Rechte 0604)."_s},
            {"~/.netrc of 1 MiB and a byte", plain, u"ftp"_s, u"plain"_s, u"netrc 1 MiB + 1"_s,
             u"{home}/.netrc nicht benutzt: Größer als 1 MiB."_s},
            {"control connection closed by the server", u"proftpd-ftp"_s, u"ftp"_s, none,
             u"sessions killed"_s, u"Verbindung zu {host} getrennt: der Server hat sie beendet."_s},
            {"abort in a silent transfer", plain, u"ftp"_s, u"stall-transfer"_s, u"abort"_s,
             aborted},
            {"abort in a silent TLS handshake", u"silent"_s, u"ftps"_s, none, u"abort"_s, aborted},
        };
        for (const auto &[row, kind, scheme, mode, twist, expected] : rows)
            QTest::newRow(row) << kind << scheme << mode << twist << expected;
    }

    void hostile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, scheme);
        QFETCH(QString, mode);
        QFETCH(QString, twist);
        QFETCH(QString, expected);
        QTemporaryDir serve, root, lock, scratch;
        QByteArray content;  // no two pieces alike, so one out of place shows
        for (int i = 0; content.size() < 186'911; ++i)
            content += QByteArray::number(i) + ',';
        content.truncate(186'911);
        const QDateTime stamp(QDate(1997, 4, 18), QTime(23, 12, 40));
        QVERIFY(WriteFile(serve.filePath(u"TRANVIK7.EXE"_s), content, stamp));

        SilentListener silent;
        ServerTool server(u"ftp-server.sh"_s, kind, serve.path(),
                          mode.isEmpty()
                              ? QStringList()
                              : QStringList{u"--module"_s, VELMORA_HOSTILE_FTP, u"--mode"_s, mode});
        const bool real = kind != u"silent"_s;
        QVERIFY2(!real || server.Start(), qPrintable(server.Error()));
        const int port = real ? server.Port() : silent.Port();
        const QString pin = real ? server.Value(u"pin"_s) : QString();
        const QString home = real ? server.ClientHome() : scratch.path();
        QString book = u"%1 = %2://127.0.0.1:%3 ; Testserver"_s.arg(Q(Number), scheme).arg(port);
        if (!pin.isEmpty() && twist != u"no pin"_s)
            book += u" ; pin="_s + (twist == u"wrong pin"_s ? EmptyPin : pin);
        QVERIFY(WriteFile(scratch.filePath(u"phonebook"_s), book.toUtf8()));
        if (twist == u"netrc 1 MiB + 1"_s) {  // padded with a comment
            QFile netrc(home + u"/.netrc"_s);
            QVERIFY(netrc.open(QIODevice::Append));
            QVERIFY(netrc.write('#' + QByteArray((1 << 20) - netrc.size(), 'x')) > 0);
        }
        if (twist == u"netrc 0604"_s)
            QVERIFY(::chmod(QFile::encodeName(home + u"/.netrc"_s).constData(), 0604) == 0);
        qputenv("VELMORA_PHONEBOOK", QFile::encodeName(scratch.filePath(u"phonebook"_s)));
        qputenv("HOME", QFile::encodeName(home));

        velmora::engine::RemoteConfig config;
        config.requestTimeout = twist == u"abort"_s ? 15s : 1s;
        config.localRoot = QFile::encodeName(root.path()).toStdString();
        config.lockDir = QFile::encodeName(lock.path()).toStdString();
        auto engine = velmora::engine::CreateRemoteEngine(config, {velmora::ftp::Protocol()});
        engine->Initialize();
        // Each step waited for; the last one that starts cut short by an abort.
        const auto step = [&](const std::function<void()> &start, bool last) {
            start();
            if (last && twist == u"abort"_s) {
                QTest::qWait(300);
                QVERIFY(engine->Busy());
                engine->AbortOperation();
            }
            QVERIFY(WaitIdle(*engine, 30'000));
        };
        step([&] { engine->Dial(Number, u"", u"", 0); }, !real);
        if (twist == u"sessions killed"_s) {
            server.KillSessions();
            QTRY_COMPARE(server.Sessions(), 0);
            QTest::qWait(200);  // the server's goodbye arrives before the next request
        }
        QStringList names;
        if (!engine->ErrorOccurred()) {
            step([&] { engine->ReadRemoteDirectory(); }, false);
            DirEntry entry;
            while (!engine->ErrorOccurred() && engine->NextDirEntry(entry) != DirListingEnd)
                names << Q(entry.Name);
        }
        if (!engine->ErrorOccurred())
            step([&] { engine->DownloadFile(u"TRANVIK7.EXE", 0); }, true);

        QCOMPARE(
            engine->ErrorOccurred() ? Q(engine->ErrorText()) : QString(),
            Fill(expected,
                 {{u"host"_s, u"127.0.0.1:%1"_s.arg(port)}, {u"pin"_s, pin}, {u"home"_s, home}}));
        const QStringList local =
            QDir(root.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        if (expected.isEmpty()) {
            const QStringList hostileNames{u"C1??.TXT"_s,      u"ESC?[2J.TXT"_s,
                                           u"LRI?NAME?.TXT"_s, u"NORMAL.TXT"_s,
                                           u"RLO?TXT.EXE"_s,   u"TAB?BEL?DEL?.TXT"_s};
            QCOMPARE(names,
                     mode == u"hostile-names"_s ? hostileNames : QStringList{u"TRANVIK7.EXE"_s});
            QVERIFY(ReadFile(root.filePath(u"TRANVIK7.EXE"_s)) == content);
            QCOMPARE(QFileInfo(root.filePath(u"TRANVIK7.EXE"_s)).lastModified(), stamp);
            QCOMPARE(local, QStringList{u"TRANVIK7.EXE"_s});
            return;
        }
        QCOMPARE(local, QStringList());
        if (expected.contains(u"TRANVIK7.EXE"_s))
            return;  // the file's fault: the connection stays
        QCOMPARE(Q(engine->RemoteName()), QString());
        if (real)
            QTRY_COMPARE(server.Sessions(), 0);
    }
};

QTEST_GUILESS_MAIN(FtpEngineTest)
#include "tst_ftpengine.moc"
