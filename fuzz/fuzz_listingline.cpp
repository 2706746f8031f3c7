// The entry line of a listing from any DirEntry: exactly 60 characters in
// fixed columns for every entry the program accepts; an entry whose date is
// no date raises the date's error, never a crash.

#include "DateText.h"
#include "FuzzInput.h"
#include "RaisedError.h"
#include "frmMain.h"

using namespace Qt::StringLiterals;
using velmora::DirEntry;
using velmora::frmMain;
using velmora::RaisedError;
using velmora::fuzz::AllBlanks;
using velmora::fuzz::FuzzInput;
using velmora::fuzz::Require;

namespace {

// text cut to width, then blanks: a left-aligned column.
bool LeftColumn(QStringView column, const QString &text)
{
    const QString kept = text.left(column.size());
    return column.startsWith(kept) && AllBlanks(column.mid(kept.size()));
}

// Blanks, then text cut to width: a right-aligned column.
bool RightColumn(QStringView column, const QString &text)
{
    const QString kept = text.left(column.size());
    return column.endsWith(kept) && AllBlanks(column.left(column.size() - kept.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QLocale locales[] = {QLocale(u"de_DE"_s), QLocale(u"en_US"_s), QLocale(u"ar_EG"_s),
                                      QLocale::c()};
    FuzzInput input(data, size);
    QLocale::setDefault(locales[input.Take<uint8_t>() % 4]);
    DirEntry entry;
    entry.Kind = input.Take<int32_t>();
    entry.Size = input.Take<int32_t>();
    entry.Modified = input.Take<double>();
    const QString name = input.RestAsUtf16();
    entry.Name = name.toStdU16String();

    int dateError = 0;
    QString date;
    try {
        date = velmora::DateTimeText(entry.Modified);
    } catch (const RaisedError &error) {
        dateError = error.Number();
    }

    QString line;
    try {
        line = frmMain::DirListingLine(entry);
    } catch (const RaisedError &error) {
        Require(dateError != 0 && error.Number() == dateError, "refused only for its date");
        return 0;
    }
    Require(dateError == 0, "an entry without a date is refused");
    Require(line.size() == 60, "60 characters");
    Require(line[28] == u' ' && line[39] == u' ', "one blank between the columns");
    const QStringView view(line);
    Require(LeftColumn(view.left(28), name), "name column");
    Require(
        RightColumn(view.mid(29, 10), entry.Kind == 0 ? u"<DIR>"_s : QString::number(entry.Size)),
        "size column");
    Require(LeftColumn(view.mid(40, 20), date), "date column");
    return 0;
}
