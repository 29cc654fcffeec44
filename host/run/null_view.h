// A view that shows nothing: the base of front ends that render only a few of the session's
// reports, and of benchmarks.
#pragma once

#include "host/run/run_session.h"

namespace kelvra::run {

class NullRunView : public IRunView {
public:
    void AppendLine(const LogEntry &) override {}
    void ReplaceLiveLine(const LogEntry &) override {}
    void BuildPortPanel(const std::vector<std::string> &) override {}
    void SetCellPicture(int, StatusPicture) override {}
    void SetCellBarColour(int, std::uint32_t) override {}
    void SetCellPosition(int, int) override {}
    void SetCellLabel(int, const std::string &) override {}
    void SetControlsEnabled(bool) override {}
    void SetRunEnabled(bool) override {}
    void SelectRow(int) override {}
    // Nobody is there to answer: the safe answer.
    MessageBoxAnswer ShowMessageBox(const std::string &, const std::string &, MessageBoxIcon,
                                    MessageBoxButtons buttons) override {
        return buttons == MessageBoxButtons::YesNo ? MessageBoxAnswer::No : MessageBoxAnswer::Ok;
    }
    void ConsoleLine(const std::string &) override {}
};

}  // namespace kelvra::run
