// A widget's alpha as the row views use it: an opacity effect, set at once or faded. The value a
// fade is heading for is kept as the widget's "kltAlpha" property, so the state is known while the
// animation runs.
#pragma once

#include <QWidget>

#include <chrono>

namespace kl {

inline constexpr std::chrono::milliseconds kKLTFadeDuration{400};
inline constexpr std::chrono::milliseconds kKLTTransitionDuration{25};

void setViewAlpha(QWidget* view, double alpha);
void fadeViewToAlpha(QWidget* view, double alpha);
// 1.0 for a widget that was never given one.
double viewAlpha(const QWidget* view);

}  // namespace kl
