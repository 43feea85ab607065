#include "controlapp/ui/KLTPlaceholderViewController.h"

#include <QLabel>
#include <QVBoxLayout>

#include "controlapp/ui/KLTOutletName.h"

namespace kl {

KLTPlaceholderViewController::KLTPlaceholderViewController(std::string name, std::string title)
    : KLTViewController(std::move(name)), title_(std::move(title)) {}

QWidget* KLTPlaceholderViewController::loadView() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(outlet(new QLabel(QString::fromStdString(title_)), "titleLabel"), 0, Qt::AlignCenter);
    return view;
}

}  // namespace kl
