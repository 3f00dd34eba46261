#include <algorithm>

#include "cli/WorkbenchLines.h"
#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

namespace {

std::string PadTo(const std::string& text, size_t columns) {
    const size_t used = Columns(text);
    return used >= columns ? text : text + std::string(columns - used, ' ');
}

}  // namespace

// The table after --all, columns as wide as their widest entry.
std::string SummaryTable(const std::vector<Report>& reports, bool update) {
    std::vector<std::vector<std::string>> rows;
    const auto heading = [](CliText c) { return LoadCliText(c); };
    rows.push_back(
        update
            ? std::vector<std::string>{heading(CliText::ColumnGamepad), heading(CliText::ColumnOld),
                                       heading(CliText::ColumnNew), heading(CliText::ColumnTime)}
            : std::vector<std::string>{heading(CliText::ColumnGamepad),
                                       heading(CliText::ColumnVersion),
                                       heading(CliText::ColumnTime)});
    size_t ok = 0;
    size_t upToDate = 0;
    for (const Report& r : reports) {
        const bool done = r.exitCode == kExitOk;
        const std::string failed =
            done ? std::string() : LoadCliText(CliText::FailedBecause, {r.Why()});
        ok += done && !r.skipped ? 1 : 0;
        upToDate += done && r.skipped ? 1 : 0;
        const std::string seconds = Format("%.1f s", r.Seconds());
        if (update && done && r.skipped) {
            rows.push_back({r.path, r.Old(), LoadCliText(CliText::UpToDate), seconds});
        } else if (update) {
            rows.push_back({r.path, r.Old(), done ? r.newVersion.value_or("?") : failed, seconds});
        } else {
            rows.push_back({r.path, done ? r.Old() : failed, seconds});
        }
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], Columns(row[i]));
        }
    }
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? PadTo(row[i], widths[i] + 2) : row[i];
        }
        table += line + "\n";
    }
    const std::string count =
        upToDate > 0 ? LoadCliText(CliText::CountUpdatedSkipped,
                                   {std::to_string(ok), std::to_string(reports.size()),
                                    std::to_string(upToDate)})
                     : LoadCliText(update ? CliText::CountUpdated : CliText::CountAnswered,
                                   {std::to_string(ok), std::to_string(reports.size())});
    return table + count + "\n";
}

}  // namespace zevrin::cli
