#pragma once

#include <QString>

#include <filesystem>

class QWidget;

namespace velmora {
class RichTextBox;
}

namespace velmora::bench {

// Shows a top-level widget and returns once it is exposed and painted.
void ShowExposed(QWidget &window);

// Drops every line after the first lines ones; the log keeps ending in a
// line break.
void TrimLog(RichTextBox &log, int lines);

// A log of lines status-like lines, written in one insert.
void FillLog(RichTextBox &log, int lines);

// A fresh folder under the temp directory, removed with everything in it.
class ScratchDirectory
{
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    [[nodiscard]] const std::filesystem::path &Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace velmora::bench
