#include "controlapp/desktop/KLTUpdateOffer.h"

#include <QMessageBox>
#include <QPushButton>

#include "foundation/KLTLogging.h"

namespace kl {

bool askToInstallUpdate(const AppcastItem& item) {
    QMessageBox alert(QMessageBox::Information, QObject::tr("Software Update"),
                      QObject::tr("A new version of Port Weaver is available."));
    alert.setInformativeText(QObject::tr("Version %1 can be installed now. Port Weaver restarts afterwards.")
                                 .arg(QString::fromStdString(item.version)));
    QPushButton* install = alert.addButton(QObject::tr("Install"), QMessageBox::AcceptRole);
    QPushButton* later = alert.addButton(QObject::tr("Later"), QMessageBox::RejectRole);
    // Named for accessibility tools (and the UI probe), as the other views' controls are.
    install->setAccessibleName(QStringLiteral("updateInstallButton"));
    later->setAccessibleName(QStringLiteral("updateLaterButton"));
    alert.setEscapeButton(later);
    alert.setDefaultButton(install);
    alert.exec();
    return alert.clickedButton() == install;
}

void offerUpdate(KLTPortweaverUpdater& updater, const AppcastItem& item,
                 const std::function<bool(const AppcastItem&)>& ask, std::function<void()> relaunch,
                 KLTPortweaverUpdater::Completion done) {
    if (!done) done = [](Result<bool>) {};
    if (!ask(item)) return done(false);
    updater.installUpdate(item, [relaunch = std::move(relaunch), done = std::move(done)](Result<bool> result) {
        if (!result.ok()) {
            KLLog(kKLTLoggingLevelError, "The update was not installed: %s", result.error().description().c_str());
        } else if (relaunch) {
            relaunch();
        }
        done(std::move(result));
    });
}

}  // namespace kl
