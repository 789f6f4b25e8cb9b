#include "GainReductionMeter.h"

#include <QPainter>
#include <algorithm>

namespace vantrel::dspenh {

namespace {

constexpr float peakFallDbPerUpdate = 0.5f;
constexpr int scaleHeight = 14; // pixels below the bar for the dB marks
constexpr float scaleMarks[] = {0, 3, 6, 9, 12, 18, 24};

} // namespace

GainReductionMeter::GainReductionMeter(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(36);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize GainReductionMeter::sizeHint() const {
    return {320, 40};
}

void GainReductionMeter::setGainReduction(float db) {
    shownDb_ = std::clamp(db, 0.0f, rangeDb);
    peakDb_ = std::max(shownDb_, peakDb_ - peakFallDbPerUpdate);
    update();
}

int GainReductionMeter::xOf(float db) const {
    return static_cast<int>(static_cast<float>(width() - 1) * db / rangeDb);
}

void GainReductionMeter::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int barHeight = height() - scaleHeight;
    const QRect bar(0, 0, width(), barHeight);
    painter.fillRect(bar, QColor(24, 24, 28));
    painter.fillRect(QRect(0, 2, xOf(shownDb_), barHeight - 4), QColor(236, 160, 40));
    painter.fillRect(QRect(xOf(peakDb_) - 1, 0, 3, barHeight), QColor(250, 70, 50));

    painter.setPen(palette().color(QPalette::WindowText));
    QFont font = painter.font();
    font.setPointSizeF(7.5);
    painter.setFont(font);
    for (float mark : scaleMarks) {
        const int x = std::clamp(xOf(mark), 1, width() - 2);
        painter.drawLine(x, barHeight, x, barHeight + 3);
        const QString text = QString::number(static_cast<int>(mark));
        const int textWidth = painter.fontMetrics().horizontalAdvance(text);
        const int left = std::clamp(x - textWidth / 2, 0, width() - textWidth);
        painter.drawText(left, height() - 1, text);
    }
}

} // namespace vantrel::dspenh
