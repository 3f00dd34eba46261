// What --all and --repeat show while their children run, and the table after --all.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "cli/ChildRuns.h"
#include "cli/CliView.h"

namespace zevrin::cli {

// Lines redrawn in place on a terminal: the cursor goes back up over the ones shown last.
class LiveLines {
  public:
    LiveLines(CliView& view, std::ostream& out) : m_View(view), m_Out(out) {}

    void Show(const std::vector<std::string>& lines);
    // What is shown stays, as ordinary lines.
    void Keep() { m_Shown = 0; }

  private:
    CliView& m_View;
    std::ostream& m_Out;
    size_t m_Shown = 0;
};

// The line of one child: its gamepad, and how far it has come or how it ended.
std::string ProgressText(const Report& r, bool update);

// Terminal columns a UTF-8 text takes, near enough: one per character.
size_t Columns(const std::string& text);

// The table after --all, columns as wide as their widest entry, and the count of those done.
std::string SummaryTable(const std::vector<Report>& reports, bool update);

}  // namespace zevrin::cli
