#pragma once

// Text and date helpers every engine needs.

#include "TransferEngine.h"

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::engine {

// Invalid input never throws: bad bytes or lone surrogates become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

std::u16string DecimalText(long long n);

// text without the blanks and tabs at either end.
std::string_view Trim(std::string_view text);

// DOS names compare without regard to ASCII case.
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
// So do host names and the keywords of network protocols.
bool EqualsNoCase(std::string_view a, std::string_view b);

// A single name, no path: not empty, not "." or "..", no separator, colon or NUL.
bool IsPlainFileName(std::u16string_view name);

// Directories first, then by name; deterministic for equal folded names.
void SortListing(std::vector<DirEntry> &entries);

// OLE Automation dates: days since 1899-12-30 00:00 local time.
double OleDate(int year, int month, int day, int hour, int minute, int second);
double OleDateFromTime(std::time_t seconds, long nanoseconds);
std::time_t TimeFromOleDate(double oleDate);

// Writes "source: message" to stderr, each distinct line once per process.
// Engines report their creation errors so, as the program drops them.
void ReportOnce(std::string_view source, std::string_view message);

}  // namespace velmora::engine
