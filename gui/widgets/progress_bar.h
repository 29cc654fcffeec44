// A cell's progress bar with its own painting: light grey, the bar in `bar_colour` up to the
// position, and the percentage as a caption in black over the middle.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>

namespace kelvra::gui::widgets {

class ProgressBar : public QWidget {
    Q_OBJECT
public:
    static constexpr std::uint32_t kDefaultColour = 0x00CD00;  // green
    static constexpr std::uint32_t kTroughColour = 0xDCDCDC;

    explicit ProgressBar(QWidget *parent = nullptr);

    void SetRange(int lower, int upper);
    // Held within the range, as the platform's bar holds it.
    void SetPosition(int position);
    int position() const { return position_; }
    void SetBarColour(std::uint32_t colour);
    std::uint32_t bar_colour() const { return bar_colour_; }

    // Pixels covered by the bar at the present width.
    int FilledWidth() const;
    // caption_prefix + " " + the percentage, e.g. " 37%".
    QString Caption() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int lower_ = 0;
    int upper_ = 100;
    int position_ = 0;
    std::uint32_t bar_colour_ = kDefaultColour;
    QString caption_prefix_;  // nothing sets it: the caption is the percentage alone
};

}  // namespace kelvra::gui::widgets
