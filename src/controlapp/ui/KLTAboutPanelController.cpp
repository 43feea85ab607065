#include "controlapp/ui/KLTAboutPanelController.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/ui/KLTImageNamed.h"
#include "controlapp/ui/KLTOutletName.h"
#include "daemon/model/PWServicesManager.h"
#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace {

constexpr const char* kScreenServiceName = "com.kelvaro.portweaver.service.deskgate";
constexpr int kContentWidth = 300;
constexpr int kCreditsHeight = 140;

std::string orUnknown(const std::optional<std::string>& text) { return text && !text->empty() ? *text : "?"; }

QLabel* selectableField(QLabel* label) {
    // Selectable only when there is something to select.
    label->setTextInteractionFlags(label->text().isEmpty() ? Qt::NoTextInteraction : Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

KLTAboutPanelController::KLTAboutPanelController(Options options) : options_(std::move(options)) {
    auto text = readFile(options_.bundlePath / "Info.plist", 64 * 1024);
    auto info = text.ok() ? valueFromPlist(*text) : Result<Value>(text.error());
    if (info.ok() && info->asDictionary()) bundleInfo_ = *info->asDictionary();
    awakeFromNib();
}

KLTAboutPanelController::~KLTAboutPanelController() {
    if (window_) {
        window_->disconnect();
        creditsView_->stopCreditsScrollAnimation();
        window_->hide();
        window_->deleteLater();
    }
}

std::string KLTAboutPanelController::bundleString(const char* key) const {
    const Value* value = bundleInfo_.find(key);
    return value && value->asString() ? *value->asString() : std::string();
}

std::string KLTAboutPanelController::applicationName() const {
    std::string name = bundleString("CFBundleName");
    return name.empty() ? QCoreApplication::applicationName().toStdString() : name;
}

std::string KLTAboutPanelController::controlAppVersionString() const {
    auto version = bundleString("CFBundleShortVersionString"), revision = bundleString("CFBundleVersion");
    return orUnknown(version) + " (" + orUnknown(revision) + ")";
}

std::string KLTAboutPanelController::daemonVersionString() const {
    auto app = options_.app.lock();
    if (!app) return "?";
    return orUnknown(app->daemonVersion) + " (" + orUnknown(app->daemonRevision) + ")";
}

std::string KLTAboutPanelController::deskgateVersionString() const {
    if (!options_.services) return "?";
    for (const auto& service : options_.services->availableServices())
        if (service.serviceName == kScreenServiceName) return orUnknown(service.serviceVersion);
    return "?";
}

std::string KLTAboutPanelController::tunnexVersionString() const {
    auto app = options_.app.lock();
    return app ? orUnknown(app->tunnexVersion) : "?";
}

std::string KLTAboutPanelController::copyright() const { return bundleString("NSHumanReadableCopyright"); }

QLabel* KLTAboutPanelController::field(const char* name) const { return window_->findChild<QLabel*>(name); }

void KLTAboutPanelController::awakeFromNib() {
    window_ = outlet(new QDialog, "About");
    window_->setWindowTitle(QObject::tr("About Port Weaver"));
    auto* layout = new QVBoxLayout(window_);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto* icon = outlet(new QLabel, "applicationIconView");
    icon->setPixmap(KLTImageNamed("statusmenu-icon").scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    auto* name = outlet(new QLabel(QString::fromStdString(applicationName())), "applicationNameField");
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(selectableField(name));

    auto* versions = new QFormLayout;
    auto addVersion = [&](const QString& caption, const char* outletName, const std::string& value) {
        versions->addRow(caption, selectableField(outlet(new QLabel(QString::fromStdString(value)), outletName)));
    };
    addVersion(QObject::tr("Version:"), "controlAppVersionField", controlAppVersionString());
    addVersion(QObject::tr("Daemon:"), "daemonVersionField", daemonVersionString());
    addVersion(QObject::tr("Desk Gate:"), "deskgateVersionField", deskgateVersionString());
    addVersion(QObject::tr("Tunnel:"), "tunnexVersionField", tunnexVersionString());
    layout->addLayout(versions);

    copyrightView_ = outlet(new QTextEdit, "copyrightView");
    copyrightView_->setReadOnly(true);
    copyrightView_->setFixedWidth(kContentWidth);
    copyrightView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    copyrightView_->setPlainText(QString::fromStdString(copyright()));
    copyrightView_->setTextInteractionFlags(copyright().empty() ? Qt::NoTextInteraction : Qt::TextSelectableByMouse);
    layout->addWidget(copyrightView_);
    sizeCopyrightView();

    creditsView_ = outlet(new CreditsView, "creditsView");
    if (options_.clock) creditsView_->setClock(options_.clock);
    creditsView_->setFixedSize(kContentWidth, kCreditsHeight);
    QFile credits(QString::fromStdString((options_.bundlePath / "share/Credits.html").string()));
    if (credits.open(QIODevice::ReadOnly)) creditsView_->setHtml(QString::fromUtf8(credits.readAll()));
    else KLLog(kKLTLoggingLevelInfo, "No credits at %s", credits.fileName().toUtf8().constData());
    layout->addWidget(creditsView_);

    QObject::connect(window_, &QDialog::finished, window_, [this] { windowWillClose(); });
}

void KLTAboutPanelController::sizeCopyrightView() {
    if (copyright().empty()) {
        // No notice: its area goes and the window is that much shorter (the layout is fixed-size).
        copyrightView_->hide();
        return;
    }
    QFont font = copyrightView_->font();
    font.setPointSize(10);
    copyrightView_->setFont(font);
    QTextDocument* document = copyrightView_->document();
    document->setDefaultFont(font);
    document->setDocumentMargin(0);
    QTextOption option = document->defaultTextOption();
    option.setAlignment(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WordWrap);  // whole words: no hyphenation
    document->setDefaultTextOption(option);
    const int frame = 2 * copyrightView_->frameWidth();
    document->setTextWidth(kContentWidth - frame);
    const int lineHeight = QFontMetrics(font).lineSpacing();
    const int fitted = int(std::ceil(document->size().height()));
    copyrightView_->setFixedHeight(std::min(kNoticeLines * lineHeight, fitted) + frame);
}

void KLTAboutPanelController::showWindow(std::function<void(bool)> handler) {
    handlerBlock_ = std::move(handler);
    window_->show();
    window_->raise();
    window_->activateWindow();
    creditsView_->startCreditsScrollAnimation();
}

void KLTAboutPanelController::windowWillClose() {
    creditsView_->stopCreditsScrollAnimation();
    // Last: the handler may drop this controller.
    if (auto handler = std::exchange(handlerBlock_, nullptr)) handler(true);
}

}  // namespace kl
