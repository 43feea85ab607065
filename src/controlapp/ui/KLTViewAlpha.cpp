#include "controlapp/ui/KLTViewAlpha.h"

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>

namespace kl {

namespace {

QGraphicsOpacityEffect* opacityEffect(QWidget* view) {
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(view->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(view);
        view->setGraphicsEffect(effect);
    }
    return effect;
}

}  // namespace

void setViewAlpha(QWidget* view, double alpha) {
    if (!view) return;
    auto* effect = opacityEffect(view);
    for (auto* running : effect->findChildren<QPropertyAnimation*>()) running->stop();
    effect->setOpacity(alpha);
    view->setProperty("kltAlpha", alpha);
}

void fadeViewToAlpha(QWidget* view, double alpha) {
    if (!view) return;
    auto* effect = opacityEffect(view);
    for (auto* running : effect->findChildren<QPropertyAnimation*>()) running->stop();
    view->setProperty("kltAlpha", alpha);
    auto* animation = new QPropertyAnimation(effect, "opacity", effect);
    animation->setDuration(int(kKLTFadeDuration.count()));
    animation->setEndValue(alpha);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

double viewAlpha(const QWidget* view) {
    const QVariant alpha = view ? view->property("kltAlpha") : QVariant();
    return alpha.isValid() ? alpha.toDouble() : 1.0;
}

}  // namespace kl
