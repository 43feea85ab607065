// app-probe: the control app's launch over a bundle, as the program runs it (check-in, versions,
// installing or upgrading through the bundle's root helper when needed, check-in again), without
// windows. It then prints one JSON line with what the app knows:
//
//   app-probe BUNDLE [SECONDS]
//
//   {"daemonState": 2, "fullVersionString": "1.0.0 (Daemon:1.0.0 ...)", "daemonVersion": "...",
//    "daemonRevision": "...", "ourDaemonRevision": "...", "blessings": 1,
//    "installedAtBlessing": [false], "refusals": 0}
//
// "installedAtBlessing" tells for each blessing whether the installed daemon program was still
// there when the root helper was called (a daemon prepared for an upgrade has removed it).
// SECONDS (default 20) bounds the wait for the final check-in. Exit status 0 once printed.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "controlapp/KLTAppDelegate.h"
#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "platform/InstalledPaths.h"
#include "platform/Paths.h"
#include "platform/ValueJson.h"

namespace {

class CountingViews final : public kl::KLTAppDelegateViews {
public:
    void updateUIState() override {}
    void chooseAccountDetails() override {}
    void chooseSignInView() override {}
    bool mainWindowVisible() const override { return false; }
    void terminate() override {}
    void relaunch() override {}
    void credentialsRefused() override { ++refusals; }
    int refusals = 0;
};

kl::Value optionalText(const std::optional<std::string>& text) { return text ? kl::Value(*text) : kl::Value(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: app-probe BUNDLE [SECONDS]\n");
        return 1;
    }
    kl::setLogSink(kl::LogSink::StandardError);
    kl::setLoggingLevel(kKLTLoggingLevelDebug);
    const std::string bundle = argv[1];
    const auto wait = std::chrono::seconds(argc == 3 ? std::atoi(argv[2]) : 20);
    const auto installed = kl::paths::system(kl::installed::kDaemonProgram);

    auto views = std::make_shared<CountingViews>();
    kl::Array installedAtBlessing;
    kl::KLTAppDelegate::Options options;
    options.bundlePath = bundle;
    options.views = views;
    options.bless = [&](const std::string& path) {
        std::error_code error;
        installedAtBlessing.push_back(kl::Value(std::filesystem::exists(installed, error)));
        return kl::blessDaemonWithRootHelper(path);
    };
    auto app = kl::KLTAppDelegate::create(options);
    app->setupDaemon();
    kl::mainLoop().runUntil([&] { return app->daemonState() == kl::ePWDaemonStateCheckedIn; }, wait);

    kl::Dictionary report;
    report.set("daemonState", kl::Value(int64_t(app->daemonState())));
    report.set("fullVersionString", kl::Value(app->fullVersionString));
    report.set("daemonVersion", optionalText(app->daemonVersion));
    report.set("daemonRevision", optionalText(app->daemonRevision));
    report.set("ourDaemonRevision", optionalText(app->ourDaemonRevision));
    report.set("blessings", kl::Value(int64_t(installedAtBlessing.size())));
    report.set("installedAtBlessing", kl::Value(installedAtBlessing));
    report.set("refusals", kl::Value(int64_t(views->refusals)));
    std::printf("%s\n", kl::valueToJson(kl::Value(report)).c_str());
    std::fflush(stdout);
    app->cancelDaemonConnection();
    // Leave without tearing down the link's queues: the process ends here anyway.
    std::_Exit(0);
}
