// The phone book: its lines, its lookup and where it is found.

#include "PhoneBook.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using velmora::engine::NormalizeNumber;
using velmora::engine::PhoneBook;
using velmora::engine::PhoneBookEntry;
using velmora::engine::PhoneBookError;

using namespace Qt::StringLiterals;

namespace {

// A SHA-256 in base64, and one character too short.
#define Pin "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="
#define PinShort "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuF="

QString Q(const std::string &text)
{
    return QString::fromStdString(text);
}

}  // namespace

class PhoneBookTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void goodLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pin");
        const struct
        {
            const char *tag, *line, *user, *host;
            int port;
            const char *base, *name;
            const char *pin = "";
        } rows[] = {
            {"minimal", "1=sftp://h", "", "h", 22, "", ""},
            {"full", "0421 7396 2058 = sftp://anna@mbx.example:2222/srv/mailbox ; Mailbox Kiel",
             "anna", "mbx.example", 2222, "/srv/mailbox", "Mailbox Kiel"},
            {"scheme case", "1 = SFTP://h/", "", "h", 22, "/", ""},
            {"ipv6", "1 = sftp://[::1]:2200/x", "", "::1", 2200, "/x", ""},
            {"ipv6 no port", "1 = sftp://u@[fe80::1]", "u", "fe80::1", 22, "", ""},
            {"below login", "1 = sftp://h/~/box/files", "", "h", 22, "box/files", ""},
            {"login itself", "1 = sftp://h/~", "", "h", 22, "", ""},
            {"percent", "1 = sftp://a%40b@h/Post%20Eingang", "a@b", "h", 22, "/Post Eingang", ""},
            {"hash in path", "1 = sftp://h/a#b", "", "h", 22, "/a#b", ""},
            {"comment after", "1 = sftp://h ; Name # Bemerkung", "", "h", 22, "", "Name"},
            {"empty name", "1 = sftp://h ;", "", "h", 22, "", ""},
            {"crlf", "1 = sftp://h;N\r", "", "h", 22, "", "N"},
            {"umlaut name",
             "1 = sftp://h ; Gr\xC3\xBC\xC3\x9F"
             "e",
             "", "h", 22, "",
             "Gr\xC3\xBC\xC3\x9F"
             "e"},
            {"port max", "1 = sftp://h:65535", "", "h", 65535, "", ""},
            {"ftp", "1 = ftp://h", "", "h", 21, "", ""},
            {"ftpes", "1 = FTPES://u@h/~/ein", "u", "h", 21, "ein", ""},
            {"ftps", "1 = ftps://h", "", "h", 990, "", ""},
            {"pin", "1 = ftps://h:2121 ; Box ; pin=sha256//" Pin, "", "h", 2121, "", "Box",
             "sha256//" Pin},
            {"pin, no name", "1 = ftpes://h ; ; PIN=sha256//" Pin, "", "h", 21, "", "",
             "sha256//" Pin},
            // The name is shown as it is, save what SafeText replaces.
            {"escape in name", "1 = sftp://h ; A\x1b[31mB\x7f", "", "h", 22, "", "A?[31mB?"},
            {"c1 and separators",
             "1 = sftp://h ; a\xC2\x85"
             "b\xE2\x80\xA8"
             "c",
             "", "h", 22, "", "a?b?c"},
            {"bidi", "1 = sftp://h ; \xE2\x80\xAEx\xE2\x81\xA6y\xE2\x81\xA9", "", "h", 22, "",
             "?x?y?"},
            {"bad utf-8",
             "1 = sftp://h ; a\xFF\xC0\xAF"
             "b\xE2\x82",
             "", "h", 22, "", "a???b?"},
            {"cut short", "1 = sftp://h ; a\xE2\x82z\xF0\x9F\x98z", "", "h", 22, "", "a?z?z"},
            {"next to the controls", "1 = sftp://h ; ~\xC2\x9F\xC2\xA0\xE2\x81\xA5\xE2\x81\xAA", "",
             "h", 22, "", "~?\xC2\xA0\xE2\x81\xA5\xE2\x81\xAA"},
            {"surrogate and too high", "1 = sftp://h ; \xED\xA0\x80x\xF4\x90\x80\x80", "", "h", 22,
             "", "???x????"},
        };
        for (const auto &row : rows)
            QTest::newRow(row.tag) << QByteArray(row.line) << Q(row.user) << Q(row.host) << row.port
                                   << Q(row.base) << Q(row.name) << Q(row.pin);
    }

    void goodLines()
    {
        QFETCH(QByteArray, line);
        const PhoneBook book = PhoneBook::Parse(("# Kopf\n\n" + line + "\n").toStdString(), "pb");
        QCOMPARE(book.Entries().size(), std::size_t(1));
        const PhoneBookEntry &entry = book.Entries().front();
        QTEST(Q(entry.user), "user");
        QTEST(Q(entry.host), "host");
        QTEST(entry.port, "port");
        QTEST(Q(entry.basePath), "base");
        QTEST(Q(entry.displayName), "name");
        QTEST(Q(entry.pin), "pin");
        QCOMPARE(entry.line, 3);
    }

    void badLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("mentioned");
        const char *rows[][3] = {
            {"no equals", "1 sftp://h", "„=“"},
            {"no number", " - / = sftp://h", "Keine Rufnummer"},
            {"no address", "1 = ; Name", "Keine Adresse"},
            {"other scheme", "1 = ssh://h", "ssh://h"},
            {"no host", "1 = sftp:///x", "Kein Rechnername"},
            {"user only", "1 = sftp://u@", "Kein Rechnername"},
            {"empty user", "1 = sftp://@h", "Leerer Benutzername"},
            {"password", "1 = sftp://u:geheim@h", "Passwort"},
            {"port zero", "1 = sftp://h:0", "Port"},
            {"port too big", "1 = sftp://h:65536", "Port"},
            {"port text", "1 = sftp://h:ssh", "Port"},
            {"port empty", "1 = sftp://h:", "Port fehlt"},
            {"ipv6 open", "1 = sftp://[::1", "„]“"},
            {"ipv6 junk", "1 = sftp://[::1]x", "„]“"},
            {"bad percent", "1 = sftp://h/a%2", "%-Kodierung"},
            {"nul percent", "1 = sftp://h/a%00b", "%-Kodierung"},
            {"blank in address", "1 = sftp://h/a b", "Leerzeichen"},
            {"control character", "1 = sftp://h\x01x/a", "Steuerzeichen"},
            {"bidi in address", "1 = sftp://h/\xE2\x80\xAEx", "Steuerzeichen"},
            {"decoded line break", "1 = sftp://h/x%0D%0AFertig", "Steuerzeichen im Pfad"},
            {"decoded in user", "1 = sftp://a%1Bb@h", "Steuerzeichen im Benutzernamen"},
            {"decoded in host", "1 = sftp://h%E2%80%AE", "Ungültiger Rechnername"},
            {"pin on sftp", "1 = sftp://h ; N ; pin=sha256//" Pin, "nur für ftpes:// und ftps://"},
            {"pin one short", "1 = ftps://h ; N ; pin=sha256//" PinShort,
             "Ungültiger Schlüssel-Pin"},
            {"pin not sha256", "1 = ftps://h ; N ; pin=sha1//" Pin, "Ungültiger Schlüssel-Pin"},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QByteArray(row[1]) << QString::fromUtf8(row[2]);
    }

    void badLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, mentioned);
        const std::string text = "9 = sftp://ok\n# Kommentar\n" + line.toStdString() + "\n";
        try {
            PhoneBook::Parse(text, "/etc/buch");
            QFAIL("accepted");
        } catch (const PhoneBookError &e) {
            const QString what = QString::fromUtf8(e.what());
            QVERIFY2(what.startsWith(u"Telefonbuch /etc/buch, Zeile 3: "_s), qPrintable(what));
            QVERIFY2(what.contains(mentioned), qPrintable(what));
        }
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("dialled");
        QTest::addColumn<QString>("host");  // empty: not found
        QTest::newRow("as written") << u"0421 7396 2058"_s << u"kiel"_s;
        QTest::newRow("run together") << u"042173962058"_s << u"kiel"_s;
        QTest::newRow("dashes and slashes") << u"0421/7396-2058"_s << u"kiel"_s;
        QTest::newRow("other entry") << u"+49 40 1"_s << u"hamburg"_s;
        QTest::newRow("missing digit") << u"0421 7396 205"_s << QString();
        QTest::newRow("plus matters") << u"49 40 1"_s << QString();
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("only separators") << u" -/"_s << QString();
    }

    void lookup()
    {
        QFETCH(QString, dialled);
        QFETCH(QString, host);
        const PhoneBook book = PhoneBook::Parse(
            "0421-7396-2058 = sftp://kiel ; Kiel\n+49 40 1 = sftp://hamburg\n", "pb");
        const PhoneBookEntry *entry = book.Find(dialled.toStdString());
        if (host.isEmpty()) {
            QVERIFY(!entry);
        } else {
            QVERIFY(entry);
            QCOMPARE(Q(entry->host), host);
        }
    }

    void normalize() { QCOMPARE(Q(NormalizeNumber(" 04 21-73/96\t2058 ")), u"042173962058"_s); }

    void duplicateNumberNamesFirstLine()
    {
        try {
            PhoneBook::Parse("12 = sftp://a\n\n1-2 = sftp://b\n", "pb");
            QFAIL("accepted");
        } catch (const PhoneBookError &e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     u"Telefonbuch pb, Zeile 3: Rufnummer 1-2 steht schon in Zeile 1."_s);
        }
    }

    void byteOrderMarkAndOnlyComments()
    {
        const PhoneBook book =
            PhoneBook::Parse("\xEF\xBB\xBF# nur Kommentar\n   # eingerückt\n", "pb");
        QVERIFY(book.Entries().empty());
        QCOMPARE(PhoneBook::Parse("\xEF\xBB\xBF"
                                  "5 = sftp://h",
                                  "pb")
                     .Entries()
                     .size(),
                 std::size_t(1));
    }

    void location_data()
    {
        QTest::addColumn<QByteArray>("phonebook");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<QString>("expected");  // empty: no location
        QTest::newRow("explicit") << QByteArray("/x/pb") << QByteArray("/c") << QByteArray("/h")
                                  << u"/x/pb"_s;
        QTest::newRow("xdg") << QByteArray() << QByteArray("/c") << QByteArray("/h")
                             << u"/c/velmora/phonebook"_s;
        QTest::newRow("relative xdg ignored") << QByteArray() << QByteArray("c") << QByteArray("/h")
                                              << u"/h/.config/velmora/phonebook"_s;
        QTest::newRow("home") << QByteArray() << QByteArray() << QByteArray("/h")
                              << u"/h/.config/velmora/phonebook"_s;
        QTest::newRow("nothing") << QByteArray() << QByteArray() << QByteArray() << QString();
    }

    void location()
    {
        QFETCH(QByteArray, phonebook);
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, home);
        QFETCH(QString, expected);
        const QByteArray saved[] = {qgetenv("VELMORA_PHONEBOOK"), qgetenv("XDG_CONFIG_HOME"),
                                    qgetenv("HOME")};
        const char *names[] = {"VELMORA_PHONEBOOK", "XDG_CONFIG_HOME", "HOME"};
        const QByteArray values[] = {phonebook, config, home};
        for (int i = 0; i < 3; ++i)
            qputenv(names[i], values[i]);
        QString found;
        bool threw = false;
        try {
            found = QString::fromStdString(PhoneBook::Location().string());
        } catch (const PhoneBookError &) {
            threw = true;
        }
        for (int i = 0; i < 3; ++i)
            qputenv(names[i], saved[i]);
        QCOMPARE(threw, expected.isEmpty());
        QCOMPARE(found, expected);
    }

    void loadFromFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"phonebook"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("0421 7396 2058 = sftp://127.0.0.1:2222 ; Testserver\n");
        file.close();
        const PhoneBook book = PhoneBook::Load(path.toStdString());
        QVERIFY(book.Find("042173962058"));
        QCOMPARE(Q(book.Find("042173962058")->displayName), u"Testserver"_s);
    }

    void unreadableFileSaysWhich_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << u"fehlt"_s << u"Datei nicht gefunden"_s;
        QTest::newRow("directory") << u"ordner"_s << u"Das ist ein Verzeichnis"_s;
        QTest::newRow("fifo, without blocking") << u"fifo"_s << u"Keine reguläre Datei"_s;
        QTest::newRow("over 1 MiB") << u"gross"_s << u"Größer als 1 MiB"_s;
    }

    void unreadableFileSaysWhich()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"ordner"_s));
        QVERIFY(::mkfifo(QFile::encodeName(dir.filePath(u"fifo"_s)).constData(), 0600) == 0);
        QFile big(dir.filePath(u"gross"_s));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize((1 << 20) + 1));
        const QString path = dir.filePath(name);
        try {
            PhoneBook::Load(path.toStdString());
            QFAIL("loaded");
        } catch (const PhoneBookError &e) {
            QCOMPARE(QString::fromUtf8(e.what()), u"Telefonbuch "_s + path +
                                                      u" kann nicht gelesen werden: "_s + reason +
                                                      u"."_s);
        }
    }
};

QTEST_GUILESS_MAIN(PhoneBookTest)
#include "tst_phonebook.moc"
