#include "Netrc.h"

#include "Text.h"

#include <cstdio>

namespace velmora::ftp {

namespace {

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class Tokens
{
public:
    explicit Tokens(std::string_view text) : m_text(text) {}

    std::optional<std::string> Next()
    {
        while (m_at < m_text.size() && Blank(m_text[m_at]))
            ++m_at;
        if (m_at == m_text.size())
            return std::nullopt;
        const std::size_t start = m_at;
        if (m_text[m_at] != '"') {
            while (m_at < m_text.size() && !Blank(m_text[m_at]))
                ++m_at;
            return std::string(m_text.substr(start, m_at - start));
        }
        std::string token;
        for (++m_at; m_at < m_text.size() && m_text[m_at] != '"'; ++m_at) {
            char c = m_text[m_at];
            if (c == '\\' && m_at + 1 < m_text.size()) {
                c = m_text[++m_at];
                c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
            token += c;
        }
        m_at = std::min(m_at + 1, m_text.size());  // past the closing quote
        return token;
    }

    // To the start of the next line.
    void SkipLine()
    {
        const std::size_t end = m_text.find('\n', m_at);
        m_at = end == std::string_view::npos ? m_text.size() : end + 1;
    }

    // A macro's body: lines up to and with the first empty one.
    void SkipMacro()
    {
        while (m_at < m_text.size()) {
            const std::size_t start = m_at;
            SkipLine();
            const std::string_view line = m_text.substr(start, m_at - start);
            if (line == "\n" || line == "\r\n")
                return;
        }
    }

private:
    std::string_view m_text;
    std::size_t m_at = 0;
};

}  // namespace

Netrc Netrc::Parse(std::string_view text)
{
    Netrc netrc;
    Tokens tokens(text);
    Entry *entry = nullptr;  // the one login and password go to; none before the first
    while (const std::optional<std::string> keyword = tokens.Next()) {
        if (keyword->starts_with('#')) {
            tokens.SkipLine();
        } else if (*keyword == "default") {
            entry = &netrc.m_entries.emplace_back();
        } else if (*keyword == "macdef") {
            tokens.Next();
            tokens.SkipLine();
            tokens.SkipMacro();
        } else if (*keyword == "machine" || *keyword == "login" || *keyword == "password" ||
                   *keyword == "account") {
            std::optional<std::string> value = tokens.Next();
            if (!value)
                break;
            if (*keyword == "machine")
                entry = &netrc.m_entries.emplace_back(Entry{std::move(*value), {}, {}});
            else if (*keyword == "password")
                netrc.m_holdsPassword = true;
            if (entry && *keyword == "login")
                entry->login = std::move(*value);
            else if (entry && *keyword == "password")
                entry->password = std::move(*value);
        }
    }
    return netrc;
}

NetrcLogin Netrc::Find(std::string_view host, std::string_view user) const
{
    for (const bool orDefault : {false, true}) {
        for (const Entry &entry : m_entries) {
            const bool fits = orDefault
                                  ? !entry.machine
                                  : entry.machine && engine::EqualsNoCase(*entry.machine, host);
            if (fits && (user.empty() || entry.login.empty() || entry.login == user))
                return {entry.login, entry.password, true};
        }
    }
    return {};
}

std::optional<std::string> NetrcRefusal(std::string_view file, unsigned mode, bool holdsPassword)
{
    if (!holdsPassword || (mode & 044) == 0)
        return std::nullopt;
    char rights[8];
    std::snprintf(rights, sizeof rights, "%04o", mode & 07777);
    return "Datei " + std::string(file) +
           " nicht benutzt: Sie enthält ein Passwort und ist auch für andere lesbar (Rechte " +
           rights + ").";
}

}  // namespace velmora::ftp
