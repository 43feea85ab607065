// The screen service: serves one viewer at a time on its port until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <asio/signal_set.hpp>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "platform/x11/X11Connection.h"
#include "screen/KLTDisplayConfiguration.h"
#include "screen/server/LocalScreenCaptureAppDelegate.h"
#include "screen/server/ScreenServer.h"

namespace {

// The display sizes shipped beside the program (build tree), or in the bundle's resources.
std::vector<kl::SupportedResolution> shippedResolutions() {
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    for (const auto& file : {program.parent_path() / "SupportedResolutions.plist",
                             program.parent_path().parent_path() / "share" / "SupportedResolutions.plist"}) {
        if (auto list = kl::loadSupportedResolutions(file)) return *list;
    }
    KLLog(kKLTLoggingLevelError, "SupportedResolutions not found: sizes fall back to 1024x768");
    return {};
}

}  // namespace

int main() {
    const char* toStderr = std::getenv("KL_LOG_STDERR");
    kl::setLogSink(toStderr && std::string(toStderr) == "1" ? kl::LogSink::StandardError : kl::LogSink::Syslog);
    kl::setAssertAborts(true);
    ::signal(SIGPIPE, SIG_IGN);
    KLLog(kKLTLoggingLevelInfo, "Server reported version %d.%d.%d", 2, 0, 0);
    if (!kl::X11Connection::forThisThread()) {
        KLLog(kKLTLoggingLevelError, "deskgate: no X server at DISPLAY; exiting");
        return 1;
    }

    kl::MainLoop& loop = kl::mainLoop();
    auto& displays = kl::KLTDisplayConfiguration::displayConfigurationManager();
    auto ports = kl::LocalScreenCaptureAppDelegate::portsFromEnvironment();
    auto delegate = std::make_shared<kl::LocalScreenCaptureAppDelegate>(ports);
    auto server = kl::ScreenServer::initOnPort(ports.mainDataTraffic, delegate, loop, displays);
    server->setSupportedResolutions(shippedResolutions());
    server->setConnectedAddress("127.0.0.1");
    server->setMirroringOnly(true);
    server->setState(kl::ScreenServerState::WaitingForViewer);
    if (!server->start()) KLLog(kKLTLoggingLevelError, "deskgate: not listening on port %u", unsigned(ports.mainDataTraffic));
    displays.startListeningForDevice(std::nullopt);

    // Stops on the loop, so the viewer's threads are joined and the sockets closed before exit.
    asio::signal_set signals(loop.context(), SIGTERM, SIGINT);
    signals.async_wait([&](const asio::error_code& error, int number) {
        if (error) return;
        KLLog(kKLTLoggingLevelInfo, "deskgate: signal %d, stopping", number);
        server->stop();
        displays.stopListening();
        loop.stop();
    });
    loop.run();
    server.reset();
    kl::globalQueue().shutdown(std::chrono::seconds(5));
    KLLog(kKLTLoggingLevelInfo, "Exiting (deskgate).");
    return 0;
}
