// What --all and --repeat show while their children run, and the table after --all.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "cli/ChildRuns.h"
#include "cli/CliView.h"
#include "cli/TextWidth.h"

namespace zevrin::cli {

// Lines redrawn in place on a terminal: the cursor goes back up over the ones shown last. Each line
// is cut to the terminal's width, as it is when drawn: a line that wrapped would throw the count
// off.
class LiveLines {
  public:
    LiveLines(CliView& view, std::ostream& out, const Console& console)
        : m_View(view), m_Out(out), m_Console(console) {}

    void Show(const std::vector<std::string>& lines);
    // What is shown stays, as ordinary lines.
    void Keep() { m_Shown = 0; }
    // `line` in place of what is shown, whole however long, and kept: the record of an outcome.
    void KeepWhole(const std::string& line);
    // The columns a line may take: all but the last, which would make some terminals wrap.
    size_t Width() const { return TerminalColumns(m_Console) - 1; }

  private:
    CliView& m_View;
    std::ostream& m_Out;
    const Console& m_Console;
    size_t m_Shown = 0;
};

// The line of one child in `columns`: its gamepad, and how far it has come or how it ended. The
// state gets its room first; the path is shortened in the middle to what is left.
std::string ProgressText(const Report& r, bool update, size_t columns);

// The table after --all, columns as wide as their widest entry, and the count of those done.
std::string SummaryTable(const std::vector<Report>& reports, bool update);

}  // namespace zevrin::cli
