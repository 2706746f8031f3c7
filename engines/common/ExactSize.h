#pragma once

// The contract of every download: the size the server gave before the
// transfer. Never more is written, and a file that ends before it is an
// error; the caller keeps no file then.

#include "Connection.h"

#include <cstdint>
#include <string>

namespace velmora::engine {

class ExactSize
{
public:
    ExactSize(std::string name, uint64_t size) : m_name(std::move(name)), m_size(size) {}

    // Counts bytes about to be written; throws RemoteError when they would pass the size.
    void Add(uint64_t bytes)
    {
        if (bytes > m_size - m_done)
            throw RemoteError(Failure::Remote, "Datei " + m_name +
                                                   " länger als angekündigt (mehr als " +
                                                   std::to_string(m_size) + " Bytes).");
        m_done += bytes;
    }

    // Throws RemoteError when the file ended before its size.
    void Finish() const
    {
        if (m_done < m_size)
            throw RemoteError(Failure::Remote, IncompleteText(m_name, m_done, m_size));
    }

    [[nodiscard]] uint64_t Done() const { return m_done; }
    [[nodiscard]] uint64_t Size() const { return m_size; }

    static std::string IncompleteText(const std::string &name, uint64_t done, uint64_t size)
    {
        return "Datei " + name + " unvollständig (" + std::to_string(done) + " von " +
               std::to_string(size) + " Bytes).";
    }

private:
    std::string m_name;
    uint64_t m_size;
    uint64_t m_done = 0;
};

}  // namespace velmora::engine
