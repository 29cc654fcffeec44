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

void PanelPresenter::OnEvent(const RunEvent &event) {
    std::visit(
        Overloaded{
            [this](const ScanFinished &e) {
                std::vector<std::string> names;
                for (const PortRecord &port : e.ports) names.push_back(port.name);
                view_.BuildPortPanel(names);
                view_.SetRunEnabled(!names.empty());
            },
            [this](const AllPortsClosed &e) {
                for (int k = 0; k < e.cells; ++k) {
                    view_.SetCellPicture(k, StatusPicture::Disconnect);
                    view_.SetCellBarColour(k, kBarRed);
                }
                view_.SetRunEnabled(false);
                view_.SetControlsEnabled(true);
            },
            [this](const PortLost &e) {
                if (e.cell < 0) return;
                view_.SetCellPicture(e.cell, StatusPicture::Disconnect);
                view_.SetCellLabel(e.cell, e.port + kLostSuffix);
                view_.SetCellBarColour(e.cell, kBarRed);
                if (!e.during_run && e.writers_left == 0) {
                    view_.SetRunEnabled(false);
                    view_.SetControlsEnabled(true);
                }
            },
            [this](const RunStarting &e) {
                for (const int k : e.ready) {
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
                if (e.cell < 0) return;
                if (e.result != 0) {
                    view_.SetCellBarColour(e.cell, kBarRed);
                    view_.SetCellPicture(e.cell, StatusPicture::Failed);
                } else {
                    view_.SetCellBarColour(e.cell, kBarGreen);
                }
                const unsigned total = e.total == 0 ? 1 : e.total;
                view_.SetCellPosition(e.cell, static_cast<int>(e.step * 100 / total));
            },
            [this](const PortEnded &e) {
                if (e.cell >= 0 && e.result == 0) view_.SetCellPicture(e.cell, StatusPicture::Succeed);
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
