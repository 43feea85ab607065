#include "controlapp/ui/CreditsView.h"

#include <QAbstractTextDocumentLayout>
#include <QLinearGradient>
#include <QPainter>

#include <cmath>

#include "foundation/KLTLogging.h"

namespace kl {

CreditsView::CreditsView(QWidget* parent) : QWidget(parent) {
    document_.setDocumentMargin(0);
    timer_.setInterval(16);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { advance(); });
}

void CreditsView::setHtml(const QString& html) {
    document_.setDefaultFont(font());
    document_.setHtml(html);
    resetCreditsScrollPosition();
}

int CreditsView::sizeForDocumentInWidth(int width) const {
    document_.setTextWidth(width);
    return int(std::ceil(document_.size().height()));
}

std::chrono::duration<double> CreditsView::cycleDuration() const {
    return std::chrono::duration<double>(0.5 * height());
}

// Just below the lower fade band: nothing of the text shows yet.
double CreditsView::startTop() const { return height() + kFadeHeight; }
// Just above the upper fade band: all of the text has gone by.
double CreditsView::endTop() const { return -double(textHeight()) - kFadeHeight; }

void CreditsView::resetCreditsScrollPosition() {
    textTop_ = startTop();
    cycleStart_ = clock_();
    update();
}

void CreditsView::startCreditsScrollAnimation() {
    active_ = true;
    resetCreditsScrollPosition();
    timer_.start();
}

void CreditsView::stopCreditsScrollAnimation() {
    active_ = false;
    timer_.stop();
    resetCreditsScrollPosition();
}

void CreditsView::advance() {
    if (!active_) return;
    const auto duration = cycleDuration();
    const auto now = clock_();
    if (duration.count() <= 0) {  // nothing to scroll through yet (no height)
        cycleStart_ = now;
        return;
    }
    auto elapsed = std::chrono::duration<double>(now - cycleStart_);
    while (elapsed >= duration && active_) {
        KLLog(kKLTLoggingLevelDebug, "Animation completion block");
        ++completedCycles_;
        cycleStart_ += std::chrono::duration_cast<Clock::duration>(duration);
        elapsed -= duration;
    }
    const double fraction = elapsed / duration;
    textTop_ = startTop() + (endTop() - startTop()) * fraction;
    update();
}

void CreditsView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!active_) textTop_ = startTop();
}

void CreditsView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    document_.setTextWidth(width());
    painter.save();
    painter.translate(0, textTop_);
    document_.drawContents(&painter, QRectF(0, -textTop_, width(), height()));
    painter.restore();
    // Opaque white at the edges, clear toward the middle.
    QLinearGradient top(0, 0, 0, kFadeHeight);
    top.setColorAt(0, QColor(255, 255, 255, 255));
    top.setColorAt(1, QColor(255, 255, 255, 0));
    painter.fillRect(QRect(0, 0, width(), kFadeHeight), top);
    QLinearGradient bottom(0, height() - kFadeHeight, 0, height());
    bottom.setColorAt(0, QColor(255, 255, 255, 0));
    bottom.setColorAt(1, QColor(255, 255, 255, 255));
    painter.fillRect(QRect(0, height() - kFadeHeight, width(), kFadeHeight), bottom);
}

}  // namespace kl
