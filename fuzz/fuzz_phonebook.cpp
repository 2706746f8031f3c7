// The phone book with any bytes: it is read or refused with a line number,
// never a crash; every entry read has a host, a port in range, a number that
// finds that very entry, and no NUL in what goes to the C calls.

#include "FuzzInput.h"
#include "PhoneBook.h"

#include <cstring>
#include <string>
#include <string_view>

using velmora::fuzz::Require;
using velmora::engine::NormalizeNumber;
using velmora::engine::PhoneBook;
using velmora::engine::PhoneBookError;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    try {
        const PhoneBook book = PhoneBook::Parse(text, "pb");
        for (const auto &entry : book.Entries()) {
            Require(!entry.host.empty(), "an entry without host");
            Require(entry.port >= 1 && entry.port <= 65535, "a port out of range");
            Require(!NormalizeNumber(entry.number).empty(), "an entry without number");
            Require(book.Find(entry.number) == &entry, "a number that finds another entry");
            for (const std::string *part : {&entry.user, &entry.host, &entry.basePath})
                Require(part->find('\0') == std::string::npos, "a NUL in a name");
            Require(entry.line >= 1, "an entry without line");
        }
    } catch (const PhoneBookError &e) {
        Require(std::strncmp(e.what(), "Telefonbuch pb, Zeile ", 22) == 0,
                "a refusal that names no line");
    }
    return 0;
}
