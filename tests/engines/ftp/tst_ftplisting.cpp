// FTP without a server: listing lines and streams, FEAT and PWD replies, ~/.netrc.

#include "FtpListing.h"
#include "Netrc.h"

#include <QDateTime>
#include <QTest>

#include <array>
#include <initializer_list>
#include <string_view>

using namespace velmora::ftp;
using namespace Qt::StringLiterals;
using namespace std::string_view_literals;
using Limits = velmora::engine::ListingLimits;

namespace {

constexpr int64_t Now = 1709074800;  // 20240227230000 UTC

// Rows of tag, input and expected text; nullptr as expected is a null QByteArray.
void Table(std::initializer_list<std::array<const char *, 3>> rows)
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    for (const auto &[tag, input, expected] : rows)
        QTest::newRow(tag) << QByteArray(input) << QByteArray(expected);
}

// "f|d|l SIZE YYYYMMDDHHMMSS NAME", the time "-" for none; or "skip", or "bad".
QByteArray Describe(const ListingLine &line)
{
    if (line.kind != ListingLine::Entry)
        return line.kind == ListingLine::Skip ? "skip" : "bad";
    const ListingEntry &e = line.entry;
    const char *kind = e.link ? "l " : e.directory ? "d " : "f ";
    const QDateTime time = QDateTime::fromSecsSinceEpoch(e.modified, Qt::UTC);
    return kind + QByteArray::number(qulonglong(e.size)) + ' ' +
           (e.modified ? time.toString(u"yyyyMMddhhmmss").toLatin1() : "-") + ' ' +
           QByteArray::fromStdString(e.name);
}

constexpr std::string_view NetrcFile =
    "# machine ftp.example.org login x password y\n"
    "machine ftp.example.org login anna password geheim\n"
    "machine ftp.example.org login bert password \"z w\\\"\\t\\\\\"\n"
    "macdef init\nmachine ftp.example.org login makro password m\n\n"
    "machine nologin.example password nur\n"
    "default login anonymous password gast@\n";

}  // namespace

class FtpListingTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Tagged "MLSD ..." for MLSD, all others LIST.
    void lines_data()
    {
        Table({
            {"MLSD any case, fraction", "Type=file;Size=1;MODIFY=20240131235959.9; a;b",
             "f 1 20240131235959 a;b"},
            {"MLSD dir", "Type=dir;sizd=4096;modify=20240228230000; D", "d 0 20240228230000 D"},
            {"MLSD slink, blank in target", "type=OS.unix=slink:/a b;size=3; l", "l 3 - l"},
            {"MLSD unknown type: file", "type=OS.unix=chr-1/3;UNIX.mode=0666; null", "f 0 - null"},
            {"MLSD cdir", "type=cdir;modify=20240228230000; /srv", "skip"},
            {"MLSD pdir", "type=PDir; ..", "skip"},
            {"MLSD no facts, blank in name", "  x", "f 0 -  x"},
            {"MLSD size 2^64-1", "size=18446744073709551615; b", "f 18446744073709551615 - b"},
            {"MLSD size 2^64", "size=18446744073709551616; b", "bad"},
            {"MLSD leap second", "modify=19720630235960; x", "f 0 19720701000000 x"},
            {"MLSD modify of 13 digits", "modify=2024013123595; x", "bad"},
            {"MLSD fraction without dot", "modify=20240131235959,9; x", "bad"},
            {"MLSD no blank before name", "type=file;x", "bad"},
            {"MLSD empty name", "type=file; ", "bad"},
            {"now is this year", "drwxr-xr-x+ 2 ftp ftp 9 feb 27 23:00 d", "d 9 20240227230000 d"},
            {"a minute ahead", "-rw-r--r-- 1 u g 1 Feb 27 23:01 x", "f 1 20230227230100 x"},
            {"a day ahead", "-rw-r--r-- 1 u g 1 Feb 28 23:00 x", "f 1 20230228230000 x"},
            {"29 Feb ahead", "-rw-r--r-- 1 u g 1 Feb 29 23:00 x", "f 1 20200229230000 x"},
            {"29 Feb, year", "-rw-r--r-- 1 u g 1 Feb 29  2016 x", "f 1 20160229000000 x"},
            {"29 Feb, common year", "-rw-r--r-- 1 u g 1 Feb 29  2023 x", "bad"},
            {"owner, size only", "-rw-r--r-- 0 7 Jan 10  2020  a  b ", "f 7 20200110000000  a  b "},
            {"owner is a month", "-rw-r--r-- 1 Jan 12 5 Jan 10 2020 x", "f 5 20200110000000 x"},
            {"link", "lrwxrwxrwx 1 u g 7 Jan 10 2020 cur -> /etc/x", "l 7 20200110000000 cur"},
            {"device", "crw-rw-rw- 1 0 0 1,   3 Jan 10 2020 null", "f 0 20200110000000 null"},
            {"size 12K", "-rw------- 1 u g 12K Jan 10 2020 b", "bad"},
            {"size 2^64", "-rw------- 1 u g 18446744073709551616 Jan 10 2020 b", "bad"},
            {"hour 24", "-rw------- 1 u g 1 Jan 1 24:00 2 Jan 1 2020 x", "bad"},
            {"no name", "-rw------- 1 u g 1 Jan 10 2020 ", "bad"},
            {"total", "total 12", "skip"},
            {"dos dir, PM", "01-15-24  03:45PM       <DIR>          A B", "d 0 20240115154500 A B"},
            {"dos 12 AM", "12-31-1999  12:00AM     1234 a", "f 1234 19991231000000 a"},
            {"dos 12 PM", "01-01-24  12:00PM 5 b", "f 5 20240101120000 b"},
            {"dos 24 hours, 69", "06-01-69  23:59 5 c", "f 5 20690601235900 c"},
            {"dos 70", "06-01-70  00:00 5 c", "f 5 19700601000000 c"},
            {"dos 13 PM", "06-01-70  13:00PM 5 c", "bad"},
            {"dos 00 AM", "06-01-70  00:30AM 5 c", "bad"},
            {"dos year of 3 digits", "06-01-070  00:30 5 c", "bad"},
        });
    }

    void lines()
    {
        QFETCH(QByteArray, input);
        const std::string line = input.toStdString();
        const bool mlsd = QByteArray(QTest::currentDataTag()).startsWith("MLSD");
        QTEST(Describe(mlsd ? ParseMlsdLine(line) : ParseListLine(line, Now)), "expected");
    }

    void reader_data()
    {
        QTest::addColumn<QByteArray>("stream");  // a LIST when tagged so, else MLSD
        QTest::addColumn<QByteArray>("names");   // joined by '|'; null: not looked at
        QTest::addColumn<QByteArray>("error");
        QTest::addColumn<bool>("whenFed");  // the error known before Finish
        const auto mixed =
            "type=cdir; /srv\r\ntype=dir; .\r\ntype=dir; ..\ntype=file; a/b\n"
            "type=file; a\\b\r\ntype=file; n\0l\n\r\ntype=file; ok\r\ntype=file; z"sv;
        const QByteArray list = "total 8\r\n-rw-r--r-- 1 u g 5 Jan 10 2020 .\r\n"
                                "-rw-r--r-- 1 u g 5 Jan 10 2020 x\r\n";
        const QByteArray line = "type=file; " + QByteArray(8192 - 11, 'n');
        const QByteArray dots = "type=cdir; .\r\ntype=pdir; ..\r\ntype=file; /\r\n";
        const auto file = [](qsizetype length) {
            return "type=file; " + QByteArray(length, 'f') + "\r\n";
        };
        const QByteArray files = file(1).repeated(100'000);
        const QByteArray mib64 = file(8181).repeated(8203) + file(121);  // names of 64 MiB
        const char *tooLong = ListingReader::LineTooLong;
        const char *tooMany = Limits::TooManyEntries;
        const struct
        {
            const char *tag;
            QByteArray stream;
            QByteArray names = {};
            const char *error = nullptr;
            bool whenFed = false;
        } rows[] = {
            {"left out; CRLF, LF, none", {mixed.data(), qsizetype(mixed.size())}, "ok|z"},
            {"LIST", list, "x"},
            {"LIST, unknown line", list + "no listing\r\n", "x", ListingReader::LineUnknown, true},
            {"line of 8 KiB", line + "\r\n", line.mid(11)},
            {"8 KiB and a CR, unended", line + "\r", line.mid(11)},
            {"a byte more", line + "n\r\n", "", tooLong, true},
            {"a byte more, unended", line + "n", "", tooLong},
            {"no end at all", QByteArray(100'000, 'x'), "", tooLong, true},
            {"100000 entries, 3 left out", dots + files},
            {"100001 entries", files + file(1), {}, tooMany, true},
            {"100000 entries, 4 left out", dots + "\r\n" + files, {}, tooMany, true},
            {"64 MiB of names", mib64},
            {"a name byte more", mib64 + file(1), {}, Limits::TooManyNameBytes, true},
        };
        for (const auto &row : rows)
            QTest::newRow(row.tag)
                << row.stream << row.names << QByteArray(row.error) << row.whenFed;
    }

    // Fed at once and in small pieces, so a line end may fall between two.
    void reader()
    {
        QFETCH(QByteArray, stream);
        const bool list = QByteArray(QTest::currentDataTag()).startsWith("LIST");
        QFETCH(QByteArray, names);
        QFETCH(QByteArray, error);
        for (const qsizetype piece :
             {stream.size(), qsizetype(stream.size() > (1 << 20) ? 4093 : 1)}) {
            ListingReader reader(list ? ListingReader::Form::List : ListingReader::Form::Mlsd, Now);
            bool fed = true;
            for (qsizetype at = 0; at < stream.size(); at += piece)
                fed = reader.Feed(stream.mid(at, piece).toStdString()) && fed;
            QTEST(!fed, "whenFed");
            QCOMPARE(reader.Finish(), error.isEmpty());
            QCOMPARE(QByteArray(reader.Error()), error);
            QByteArrayList got;
            for (const ListingEntry &entry : reader.Take())
                got += QByteArray::fromStdString(entry.name);
            if (!names.isNull())
                QCOMPARE(got.join('|'), names);
        }
    }

    // Tagged "PWD ..." for a reply to PWD (expected null: refused), all others to FEAT.
    void replies_data()
    {
        Table({
            {"FEAT among others",
             "220 x\n211-Features:\r\n MDTM\r\n mlst modify*;Size;type*;\r\n211 End",
             "MLST modify+ size type+"},
            {"FEAT no MLST", "211-Features:\n MDTM\n MLSTX type*;\n211 End", "none"},
            {"FEAT cut short", "211-Features:\n MLST type*;", "none"},
            {"PWD doubled quotes", R"(257 "/a ""b"" c" is current directory)", R"(/a "b" c)"},
            {"PWD root, CRLF", "257 \"/\" is current\r\n", "/"},
            {"PWD quote at the end", R"(257 "/x""")", R"(/x")"},
            {"PWD unclosed", R"(257 "/home)", nullptr},
            {"PWD empty", R"(257 "" x)", nullptr},
            {"PWD line break inside", "257 \"/a\r\nDELE x\"", nullptr},
            {"PWD other reply", R"(250 "/x")", nullptr},
            {"PWD longer code", R"(2570 "/x")", nullptr},
        });
    }

    void replies()
    {
        QFETCH(QByteArray, input);
        if (QByteArray(QTest::currentDataTag()).startsWith("PWD")) {
            const std::optional<std::string> path = ParsePwdReply(input.toStdString());
            QTEST(path ? QByteArray::fromStdString(*path) : QByteArray(), "expected");
            return;
        }
        std::vector<std::string> lines;
        for (const QByteArray &line : input.split('\n'))
            lines.push_back(line.toStdString());
        const Features features = ParseFeatures(lines);
        QByteArray got = features.mlst ? "MLST" : "none";
        for (const MlstFact &fact : features.mlstFacts)
            got += ' ' + QByteArray::fromStdString(fact.name) + (fact.enabled ? "+" : "");
        QTEST(got, "expected");
    }

    // "HOST[ USER]", then the file on the next lines; without them, NetrcFile.
    void netrc_data()
    {
        Table({
            {"first entry, any case", "FTP.Example.ORG", "anna:geheim"},
            {"the user's entry, quoted", "ftp.example.org bert", "bert:z w\"\t\\"},
            {"a macro holds no entry", "ftp.example.org makro", "-"},
            {"entry without login", "nologin.example carl", ":nur"},
            {"not a suffix, default", "example.org", "anonymous:gast@"},
            {"# as a value", "a\nmachine a login #u password p", "#u:p"},
            {"CRLF, macro to an empty line",
             "a\nmacdef x\r\nmachine a password m\r\n\r\nmachine a\r\nlogin u\r\n", "u: nopw"},
            {"unclosed quote", "a\nmachine a login u password \"p q", "u:p q"},
            {"backslash outside quotes", "a\nmachine a login u password p\\q", "u:p\\q"},
            {"password before any machine", "a\npassword p machine a login u", "u:"},
        });
    }

    // login:password, or "-" when not found; " nopw" when the file holds no password.
    void netrc()
    {
        QFETCH(QByteArray, input);
        const qsizetype end = input.indexOf('\n');
        const QByteArrayList lookup = input.first(end < 0 ? input.size() : end).split(' ');
        const Netrc netrc = Netrc::Parse(end < 0 ? NetrcFile : input.mid(end + 1).toStdString());
        const NetrcLogin login = netrc.Find(lookup[0].toStdString(), lookup.value(1).toStdString());
        const QByteArray got =
            login.found ? QByteArray::fromStdString(login.login + ':' + login.password) : "-";
        QTEST(netrc.HoldsPassword() ? got : got + " nopw", "expected");
    }

    void netrcRefusal()
    {
        const QString refused = u"Datei /h/.netrc nicht benutzt: Sie enthält ein Passwort und ist "
                                u"auch für andere lesbar (Rechte %1)."_s;
        const auto refusal = [](unsigned mode, bool password = true) {
            const auto text = NetrcRefusal("/h/.netrc", mode, password);
            return text ? QString::fromStdString(*text) : u"-"_s;
        };
        QCOMPARE(refusal(0600), u"-"_s);
        QCOMPARE(refusal(0620), u"-"_s);  // group may write, not read
        QCOMPARE(refusal(0640), refused.arg("0640"));
        QCOMPARE(refusal(0604), refused.arg("0604"));
        QCOMPARE(refusal(0100644), refused.arg("0644"));  // st_mode of a regular file
        QCOMPARE(refusal(0644, false), u"-"_s);
    }
};

QTEST_GUILESS_MAIN(FtpListingTest)
#include "tst_ftplisting.moc"
