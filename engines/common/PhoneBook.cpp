#include "PhoneBook.h"

#include "CheckedFile.h"
#include "SafeText.h"
#include "Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <optional>

namespace velmora::engine {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view Blanks = " \t";
constexpr std::size_t MaxSize = 1 << 20;

struct Scheme
{
    std::string_view name;
    int port;
    bool tls;
};
constexpr std::array<Scheme, 4> Schemes{
    {{"sftp", 22, false}, {"ftp", 21, false}, {"ftpes", 21, true}, {"ftps", 990, true}}};
constexpr std::string_view Expected =
    " (erwartet: sftp://, ftp://, ftpes:// oder ftps://[Benutzer@]Rechner[:Port][/Pfad])";
constexpr std::string_view PinPrefix = "pin=sha256//";

// A '#' that starts the line or follows a blank; one inside an address stays.
std::string_view StripComment(std::string_view line)
{
    for (std::size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    return line;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> PercentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return std::nullopt;  // a NUL would cut the name short in C calls
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// Nothing that SafeText would have to replace.
bool Printable(std::string_view text)
{
    return SafeText(text) == text;
}

class LineError
{
public:
    explicit LineError(std::string what) : what(std::move(what)) {}
    std::string what;
};

const Scheme *FindScheme(std::string_view address)
{
    for (const Scheme &scheme : Schemes)
        if (StartsWithNoCase(address, scheme.name) &&
            address.substr(scheme.name.size(), 3) == "://")
            return &scheme;
    return nullptr;
}

// A base64 SHA-256: 43 characters of the alphabet and one "=".
bool ValidPin(std::string_view hash)
{
    return hash.size() == 44 && hash.back() == '=' &&
           std::all_of(hash.begin(), hash.end() - 1, [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
           });
}

// Fills scheme, user, host, port and basePath from the address; throws LineError.
void ParseAddress(std::string_view address, PhoneBookEntry &entry)
{
    const std::string shown(address);
    const std::string expected(Expected);
    const Scheme *scheme = FindScheme(address);
    if (!scheme)
        throw LineError("Adresse beginnt nicht mit sftp://, ftp://, ftpes:// oder ftps://: " +
                        shown + expected);
    entry.scheme = std::string(scheme->name);
    entry.port = scheme->port;
    std::string_view rest = address.substr(scheme->name.size() + 3);
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    const std::string_view path =
        slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);

    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view user = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        if (user.empty())
            throw LineError("Leerer Benutzername vor „@“: " + shown);
        if (user.find(':') != std::string_view::npos)
            throw LineError("Ein Passwort gehört nicht ins Telefonbuch: " + shown);
        auto decoded = PercentDecode(user);
        if (!decoded)
            throw LineError("Ungültige %-Kodierung im Benutzernamen: " + shown);
        if (!Printable(*decoded))
            throw LineError("Steuerzeichen im Benutzernamen nach der %-Dekodierung: " + shown);
        entry.user = std::move(*decoded);
    }

    std::string_view host;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            throw LineError("„]“ fehlt nach der IPv6-Adresse: " + shown);
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                throw LineError("Unerwartete Zeichen nach „]“: " + shown);
            port = after.substr(1);
            if (port.empty())
                throw LineError("Port fehlt nach „:“: " + shown);
        }
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                throw LineError("Port fehlt nach „:“: " + shown);
        }
    }
    if (host.empty())
        throw LineError("Kein Rechnername in der Adresse: " + shown + expected);
    auto decodedHost = PercentDecode(host);
    if (!decodedHost || decodedHost->find_first_of("@[]/ \t") != std::string::npos ||
        !Printable(*decodedHost))
        throw LineError("Ungültiger Rechnername in der Adresse: " + shown);
    entry.host = std::move(*decodedHost);

    if (!port.empty()) {
        int value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535)
            throw LineError("Ungültiger Port (1 bis 65535): " + shown);
        entry.port = value;
        entry.portGiven = true;
    }

    if (!path.empty()) {
        auto decoded = PercentDecode(path);
        if (!decoded)
            throw LineError("Ungültige %-Kodierung im Pfad: " + shown);
        if (!Printable(*decoded))
            throw LineError("Steuerzeichen im Pfad nach der %-Dekodierung: " + shown);
        std::string base = std::move(*decoded);
        if (base == "/~")
            base.clear();
        else if (base.rfind("/~/", 0) == 0)
            base.erase(0, 3);
        entry.basePath = std::move(base);
    }
}

}  // namespace

int DefaultPort(std::string_view scheme)
{
    for (const Scheme &known : Schemes)
        if (known.name == scheme)
            return known.port;
    return 0;
}

std::string NormalizeNumber(std::string_view number)
{
    std::string out;
    for (const char c : number)
        if (c != ' ' && c != '\t' && c != '-' && c != '/')
            out += c;
    return out;
}

fs::path PhoneBook::Location()
{
    const auto variable = [](const char *name) -> std::string {
        const char *value = std::getenv(name);
        return value ? value : "";
    };
    if (const std::string file = variable("VELMORA_PHONEBOOK"); !file.empty())
        return file;
    // As the XDG rules say: a relative XDG_CONFIG_HOME is ignored.
    if (const std::string config = variable("XDG_CONFIG_HOME"); !config.empty() && config[0] == '/')
        return fs::path(config) / "velmora" / "phonebook";
    if (const std::string home = variable("HOME"); !home.empty())
        return fs::path(home) / ".config" / "velmora" / "phonebook";
    throw PhoneBookError(
        "Kein Telefonbuch: weder VELMORA_PHONEBOOK noch XDG_CONFIG_HOME noch HOME ist gesetzt.");
}

PhoneBook PhoneBook::Load(const fs::path &file)
{
    CheckedFile read;
    if (const int error = ReadCheckedFile(file, MaxSize, read); error != 0)
        throw PhoneBookError(
            SafeText("Telefonbuch " + file.string() +
                     " kann nicht gelesen werden: " + CheckedFileProblem(error, MaxSize) + "."));
    return Parse(read.text, file.string());
}

PhoneBook PhoneBook::Parse(std::string_view text, const std::string &fileName)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    PhoneBook book;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = Trim(StripComment(line));
        if (line.empty())
            continue;
        try {
            const auto equals = line.find('=');
            if (equals == std::string_view::npos)
                throw LineError("„=“ zwischen Rufnummer und Adresse fehlt.");
            PhoneBookEntry entry;
            entry.line = lineNumber;
            entry.number = std::string(Trim(line.substr(0, equals)));
            const std::string key = NormalizeNumber(entry.number);
            if (key.empty())
                throw LineError("Keine Rufnummer vor „=“.");
            std::string_view value = Trim(line.substr(equals + 1));
            std::string_view pin;
            if (const auto semicolon = value.find(';'); semicolon != std::string_view::npos) {
                std::string_view name = value.substr(semicolon + 1);
                if (const auto second = name.find(';'); second != std::string_view::npos) {
                    pin = Trim(name.substr(second + 1));
                    name = name.substr(0, second);
                }
                entry.displayName = SafeText(Trim(name));
                value = Trim(value.substr(0, semicolon));
            }
            if (value.empty())
                throw LineError("Keine Adresse nach „=“.");
            if (!Printable(value))
                throw LineError("Steuerzeichen in der Adresse.");
            if (value.find_first_of(Blanks) != std::string_view::npos)
                throw LineError("Leerzeichen in der Adresse (Name nach „;“ angeben): " +
                                std::string(value));
            ParseAddress(value, entry);
            if (!pin.empty()) {
                if (!StartsWithNoCase(pin, PinPrefix) || !ValidPin(pin.substr(PinPrefix.size())))
                    throw LineError("Ungültiger Schlüssel-Pin (erwartet: pin=sha256//BASE64): " +
                                    std::string(pin));
                if (entry.scheme != "ftpes" && entry.scheme != "ftps")
                    throw LineError("Ein Schlüssel-Pin gilt nur für ftpes:// und ftps://: " +
                                    std::string(pin));
                entry.pin = "sha256//" + std::string(pin.substr(PinPrefix.size()));
            }
            for (const auto &other : book.m_entries)
                if (NormalizeNumber(other.number) == key)
                    throw LineError("Rufnummer " + entry.number + " steht schon in Zeile " +
                                    std::to_string(other.line) + ".");
            book.m_entries.push_back(std::move(entry));
        } catch (const LineError &e) {
            throw PhoneBookError(SafeText("Telefonbuch " + fileName + ", Zeile " +
                                          std::to_string(lineNumber) + ": " + e.what));
        }
    }
    return book;
}

const PhoneBookEntry *PhoneBook::Find(std::string_view number) const
{
    const std::string key = NormalizeNumber(number);
    if (key.empty())
        return nullptr;
    for (const auto &entry : m_entries)
        if (NormalizeNumber(entry.number) == key)
            return &entry;
    return nullptr;
}

}  // namespace velmora::engine
