// A view that never blocks, for fuzzing the engine: the file dialog gives a prepared image and
// every box answers OK.
#pragma once

#include <string>

#include "update/DialogView.h"

namespace zevrin::fuzz {

class NullView : public DialogView {
  public:
    std::string file;
    void SetCaption(const std::string&) override {}
    void SetControlText(ControlId, const std::string&) override {}
    void EnableControl(ControlId, bool) override {}
    void ShowControl(ControlId, bool) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(uint32_t) override {}
    BoxResult MessageBox(const std::string&, const std::string&, BoxKind) override {
        return BoxResult::Ok;
    }
    std::optional<std::string> GetOpenFileName(const FileDialogRequest&) override { return file; }
    NotifyWindow NotifyTarget() override { return {}; }
};

}  // namespace zevrin::fuzz
