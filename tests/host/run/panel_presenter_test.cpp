// The panel rules for a lost port: its Disconnect plate and its bar at the last finished step
// stay, whether the step that failed with the loss is reported before or after it, on this run
// and on the next.
#include "host/run/panel_presenter.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace kelvra::run {
namespace {

struct CellShown {
    StatusPicture picture = StatusPicture::Connected;
    std::uint32_t colour = 0;
    int position = 0;
    std::string label;
};

class RecordingPanel final : public IPanelView {
public:
    void BuildPortPanel(const std::vector<std::string> &names) override {
        cells.assign(names.size(), {});
        for (std::size_t k = 0; k < names.size(); ++k) cells[k].label = names[k];
    }
    void SetCellPicture(int k, StatusPicture picture) override { cells.at(k).picture = picture; }
    void SetCellBarColour(int k, std::uint32_t colour) override { cells.at(k).colour = colour; }
    void SetCellPosition(int k, int position) override { cells.at(k).position = position; }
    void SetCellLabel(int k, const std::string &label) override { cells.at(k).label = label; }
    void SetControlsEnabled(bool) override {}
    void SetRunEnabled(bool) override {}
    std::vector<CellShown> cells;
};

ScanFinished Scan(int n) {
    ScanFinished scan;
    for (int k = 0; k < n; ++k) scan.ports.push_back(PortRecord{.slot = k, .name = "ttyKV" + std::to_string(k)});
    return scan;
}

StepDone Step(int cell, unsigned step, unsigned total, ATResult result) {
    StepDone done;
    done.port = "ttyKV" + std::to_string(cell);
    done.cell = cell;
    done.step = step;
    done.total = total;
    done.result = result;
    return done;
}

PortLost Lost(int cell) { return PortLost{"ttyKV" + std::to_string(cell), cell, true, 1}; }

struct LossCase {
    const char *name;
    bool loss_first;  // the loss arrives before the step it failed
};

class LostPort : public ::testing::TestWithParam<LossCase> {};

TEST_P(LostPort, KeepsItsPlateAndItsLastFinishedStep) {
    RecordingPanel panel;
    PanelPresenter presenter(panel);
    presenter.OnEvent(Scan(2));
    presenter.OnEvent(RunStarting{{0, 1}});
    for (const int k : {0, 1}) presenter.OnEvent(Step(k, 1, 4, 0));
    presenter.OnEvent(Step(0, 2, 4, 0));
    if (GetParam().loss_first) presenter.OnEvent(Lost(1));
    presenter.OnEvent(Step(1, 2, 4, 38));
    if (!GetParam().loss_first) presenter.OnEvent(Lost(1));
    presenter.OnEvent(PortEnded{"ttyKV1", 1, 38, {}});
    for (const unsigned s : {3u, 4u}) presenter.OnEvent(Step(0, s, 4, 0));
    presenter.OnEvent(PortEnded{"ttyKV0", 0, 0, {}});

    EXPECT_EQ(panel.cells[1].picture, StatusPicture::Disconnect);
    EXPECT_EQ(panel.cells[1].position, 25);  // step 1 of 4 was the last it finished
    EXPECT_EQ(panel.cells[1].colour, kBarRed);
    EXPECT_EQ(panel.cells[1].label, "ttyKV1已断开");
    EXPECT_EQ(panel.cells[0].picture, StatusPicture::Succeed);
    EXPECT_EQ(panel.cells[0].position, 100);

    // The next run leaves the lost cell as it is.
    presenter.OnEvent(RunStarting{{0}});
    presenter.OnEvent(Step(0, 1, 1, 7));
    presenter.OnEvent(PortEnded{"ttyKV0", 0, 7, {}});
    EXPECT_EQ(panel.cells[1].picture, StatusPicture::Disconnect);
    EXPECT_EQ(panel.cells[1].position, 25);
    EXPECT_EQ(panel.cells[0].picture, StatusPicture::Failed);
    EXPECT_EQ(panel.cells[0].position, 100);  // a failed step of a present port still fills its bar

    // A new scan starts every cell afresh.
    presenter.OnEvent(Scan(2));
    presenter.OnEvent(RunStarting{{0, 1}});
    presenter.OnEvent(Step(1, 1, 2, 0));
    EXPECT_EQ(panel.cells[1].picture, StatusPicture::Connected);
    EXPECT_EQ(panel.cells[1].position, 50);
}

INSTANTIATE_TEST_SUITE_P(Order, LostPort,
                         ::testing::Values(LossCase{"loss_first", true}, LossCase{"step_first", false}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kelvra::run
