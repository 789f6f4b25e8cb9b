// A horizontal bar showing gain reduction in dB, growing from the left, with a peak marker that
// falls back slowly. It only paints what it is given; the window feeds it from a timer.
#pragma once

#include <QWidget>

namespace vantrel::dspenh {

class GainReductionMeter : public QWidget {
public:
    static constexpr float rangeDb = 24.0f; // the full bar

    explicit GainReductionMeter(QWidget* parent = nullptr);

    // Shows `db` (>= 0) of gain reduction; called about 20 times a second.
    void setGainReduction(float db);
    float shownDb() const { return shownDb_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int xOf(float db) const;

    float shownDb_ = 0.0f;
    float peakDb_ = 0.0f;
};

} // namespace vantrel::dspenh
