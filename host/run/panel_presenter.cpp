#include "host/run/panel_presenter.h"

#include <type_traits>

namespace kelvra::run {
namespace {

constexpr const char *kLostSuffix = "已断开";

template <typename... Fn>
struct Overloaded : Fn... {
    using Fn::operator()...;
};
template <typename... Fn>
Overloaded(Fn...) -> Overloaded<Fn...>;

}  // namespace

PanelPresenter::Cell *PanelPresenter::cell(int k) {
    if (k < 0) return nullptr;
    if (static_cast<std::size_t>(k) >= cells_.size()) cells_.resize(static_cast<std::size_t>(k) + 1);
    return &cells_[static_cast<std::size_t>(k)];
}

// A lost port keeps its Disconnect plate and its bar at the last step it finished: the step
// that failed with the loss (reported before or after it) changes neither.
void PanelPresenter::OnEvent(const RunEvent &event) {
    std::visit(
        Overloaded{
            [this](const ScanFinished &e) {
                std::vector<std::string> names;
                for (const PortRecord &port : e.ports) names.push_back(port.name);
                view_.BuildPortPanel(names);
                cells_.assign(names.size(), Cell{});
                view_.SetRunEnabled(!names.empty());
            },
            [this](const AllPortsClosed &e) {
                for (int k = 0; k < e.cells; ++k) {
                    if (Cell *c = cell(k)) c->lost = true;
                    view_.SetCellPicture(k, StatusPicture::Disconnect);
                    view_.SetCellBarColour(k, kBarRed);
                }
                view_.SetRunEnabled(false);
                view_.SetControlsEnabled(true);
            },
            [this](const PortLost &e) {
                Cell *c = cell(e.cell);
                if (c == nullptr) return;
                c->lost = true;
                view_.SetCellPicture(e.cell, StatusPicture::Disconnect);
                view_.SetCellLabel(e.cell, e.port + kLostSuffix);
                view_.SetCellBarColour(e.cell, kBarRed);
                view_.SetCellPosition(e.cell, c->position);
                if (!e.during_run && e.writers_left == 0) {
                    view_.SetRunEnabled(false);
                    view_.SetControlsEnabled(true);
                }
            },
            [this](const RunStarting &e) {
                for (const int k : e.ready) {
                    if (Cell *c = cell(k)) *c = Cell{};
                    view_.SetCellBarColour(k, kBarReady);
                    view_.SetCellPosition(k, 0);
                    view_.SetCellPicture(k, StatusPicture::Connected);
                }
                view_.SetControlsEnabled(false);
                view_.SetRunEnabled(false);
            },
            [this](const Idle &e) {
                view_.SetControlsEnabled(true);
                view_.SetRunEnabled(e.writers > 0);
            },
            [this](const StepDone &e) {
                Cell *c = cell(e.cell);
                if (c == nullptr || c->lost) return;
                const unsigned total = e.total == 0 ? 1 : e.total;
                const int position = static_cast<int>(e.step * 100 / total);
                if (e.result != 0) {
                    view_.SetCellBarColour(e.cell, kBarRed);
                    view_.SetCellPicture(e.cell, StatusPicture::Failed);
                } else {
                    c->position = position;
                    view_.SetCellBarColour(e.cell, kBarGreen);
                }
                view_.SetCellPosition(e.cell, position);
            },
            [this](const PortEnded &e) {
                const Cell *c = cell(e.cell);
                if (c != nullptr && !c->lost && e.result == 0) view_.SetCellPicture(e.cell, StatusPicture::Succeed);
            },
            [this](const RunFinished &e) {
                view_.SetControlsEnabled(true);
                view_.SetRunEnabled(e.writers > 0);
            },
            [](const auto &) {},
        },
        event);
}

}  // namespace kelvra::run
