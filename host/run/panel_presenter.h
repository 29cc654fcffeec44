// The rules that turn a run's events into what the port panel and the window's controls show:
// status plates, bar colours and positions, labels, which buttons are usable. A front end
// feeds it events (on one thread of its choosing) and renders through IPanelView.
#pragma once

#include "host/run/run_events.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::run {

class IPanelView {
public:
    virtual ~IPanelView() = default;
    // One cell per port of the last scan, addressed by position.
    virtual void BuildPortPanel(const std::vector<std::string> &names) = 0;
    virtual void SetCellPicture(int cell, StatusPicture picture) = 0;
    virtual void SetCellBarColour(int cell, std::uint32_t colour) = 0;
    virtual void SetCellPosition(int cell, int position) = 0;
    virtual void SetCellLabel(int cell, const std::string &label) = 0;
    // Everything but the run button, and the run button.
    virtual void SetControlsEnabled(bool enabled) = 0;
    virtual void SetRunEnabled(bool enabled) = 0;
};

class PanelPresenter {
public:
    explicit PanelPresenter(IPanelView &view) : view_(view) {}
    // Renders what `event` changes; events that change nothing on the panel are ignored.
    void OnEvent(const RunEvent &event);

private:
    struct Cell {
        bool lost = false;
        int position = 0;  // of the last finished step
    };
    Cell *cell(int k);

    IPanelView &view_;
    std::vector<Cell> cells_;
};

}  // namespace kelvra::run
