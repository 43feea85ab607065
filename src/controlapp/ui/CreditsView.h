// The About window's credits: a rich text that scrolls upward without end, from just below the
// view to just above it, under 6-pixel fade bands at the top and the bottom. One pass takes
// 0.5 s per pixel of the view's height, whatever the text's height, and the next pass starts
// where the last one ended until the scrolling stops.
//
// Time comes from a clock that tests may replace; a timer only asks for repaints. GUI thread only.
#pragma once

#include <QTextDocument>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>

namespace kl {

class CreditsView final : public QWidget {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFadeHeight = 6;

    explicit CreditsView(QWidget* parent = nullptr);

    void setHtml(const QString& html);
    void setClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }

    void startCreditsScrollAnimation();
    void stopCreditsScrollAnimation();
    bool isCreditsAnimationActive() const { return active_; }
    // The text's height when set in width, rounded up to a whole pixel.
    int sizeForDocumentInWidth(int width) const;

    // Brings the position up to the clock: a finished pass logs its completion and, while
    // scrolling, starts the next. Called by the repaint timer.
    void advance();
    // Distance from the view's top to the text's top (positive: below the top edge).
    double textTop() const { return textTop_; }
    int textHeight() const { return sizeForDocumentInWidth(width()); }
    std::chrono::duration<double> cycleDuration() const;
    int completedCycles() const { return completedCycles_; }
    bool timerRunning() const { return timer_.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void resetCreditsScrollPosition();
    double startTop() const;
    double endTop() const;

    mutable QTextDocument document_;  // laid out in the view's width on demand
    QTimer timer_;
    std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
    Clock::time_point cycleStart_{};
    double textTop_ = 0;
    bool active_ = false;
    int completedCycles_ = 0;
};

}  // namespace kl
