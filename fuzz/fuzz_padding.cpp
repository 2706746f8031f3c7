// PadLeft and PadRight with any text and any width: exactly width characters,
// the text's first characters kept, blanks for the rest; a negative width is
// an invalid argument, never a crash. The listing pads its columns with the
// same code.

#include "FuzzInput.h"
#include "RaisedError.h"
#include "frmMain.h"

using velmora::frmMain;
using velmora::RaisedError;
using velmora::fuzz::AllBlanks;
using velmora::fuzz::FuzzInput;
using velmora::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const auto width = input.Take<int16_t>();
    const QString text = input.RestAsUtf16();

    if (width < 0) {
        for (auto pad : {&frmMain::PadLeft, &frmMain::PadRight}) {
            bool raised = false;
            try {
                (void)pad(text, width);
            } catch (const RaisedError &error) {
                raised = error.Number() == velmora::InvalidArgumentErrorNumber;
            }
            Require(raised, "a negative width raises error 5");
        }
        return 0;
    }

    const QString kept = text.left(width);
    const QString left = frmMain::PadLeft(text, width);
    const QString right = frmMain::PadRight(text, width);
    Require(left.size() == width && right.size() == width, "padded to exactly the width");
    Require(left.startsWith(kept) && AllBlanks(QStringView(left).mid(kept.size())),
            "PadLeft: the text, then blanks");
    Require(right.endsWith(kept) && AllBlanks(QStringView(right).left(width - kept.size())),
            "PadRight: blanks, then the text");
    return 0;
}
