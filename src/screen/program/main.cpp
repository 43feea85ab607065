// The screen service: one instance per session, published on this machine by DNS-SD, serving one
// viewer at a time on its port until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <asio/signal_set.hpp>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "platform/NotifyBus.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11ScreenPower.h"
#include "screen/KLTDisplayConfiguration.h"
#include "screen/input/ScreenInputDispatcher.h"
#include "screen/server/LocalScreenCaptureAppDelegate.h"
#include "screen/server/ScreenServer.h"
#include "screen/startup/ConnectionRequestFile.h"
#include "screen/startup/ScreenPowerState.h"
#include "screen/program/ScreenServiceApplications.h"
#include "screen/program/ScreenServicePublication.h"
#include "screen/startup/SingleInstanceLock.h"

namespace {

constexpr const char* kServiceProgramName = "com.kelvaro.portweaver.service.deskgate";

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

// Pointer positions from the viewer are relative to the streamed display set; read it under the
// frame-buffer lock, which every change of the set holds.
kl::PointerEventInjector::Geometry inputGeometry(kl::ScreenServer& server) {
    std::lock_guard frameBuffer(*server.frameBufferLockObject());
    kl::PointerEventInjector::Geometry geometry;
    if (auto set = server.screen()) {
        geometry.scale = set->scale();
        geometry.origin = set->scaleCorrectedDisplayBounds().origin;
    }
    return geometry;
}

}  // namespace

int main() {
    const char* toStderr = std::getenv("KL_LOG_STDERR");
    kl::setLogSink(toStderr && std::string(toStderr) == "1" ? kl::LogSink::StandardError : kl::LogSink::Syslog);
    kl::setAssertAborts(true);
    ::signal(SIGPIPE, SIG_IGN);

    // Held until the process ends: a second launch in this session finds it taken.
    auto instance = kl::SingleInstanceLock::acquire(kl::SingleInstanceLock::pathForProgram(kServiceProgramName));
    if (!instance) {
        KLLog(kKLTLoggingLevelInfo, "deskgate already running, we should simply exit.");
        return 0;
    }
    KLLog(kKLTLoggingLevelInfo, "Server reported version %d.%d.%d", 2, 0, 0);
    if (!kl::X11Connection::forThisThread()) {
        KLLog(kKLTLoggingLevelError, "deskgate: no X server at DISPLAY; exiting");
        return 1;
    }

    kl::MainLoop& loop = kl::mainLoop();
    auto& displays = kl::KLTDisplayConfiguration::displayConfigurationManager();
    auto ports = kl::LocalScreenCaptureAppDelegate::portsFromEnvironment();
    auto delegate = std::make_shared<kl::LocalScreenCaptureAppDelegate>(ports);

    std::weak_ptr<kl::ScreenServer> weakServer;
    auto power = std::make_shared<kl::ScreenPowerState>(kl::makeX11DisplayPower(), [&weakServer] {
        auto server = weakServer.lock();
        return server && server->viewerConnected();
    });
    delegate->setScreenPower(power);
    auto screenState = kl::X11ScreenStateWatcher::create(
        loop, {[power](bool running) {
                   KLLog(kKLTLoggingLevelInfo, "Screen saver %s", running ? "started" : "stopped");
                   power->screenSaverChanged(running);
               },
               [power](bool asleep) {
                   KLLog(kKLTLoggingLevelInfo, "Display %s", asleep ? "went to sleep" : "woke");
                   if (asleep)
                       power->displayWentToSleep();
                   else
                       power->displayWoke();
               }});

    auto server = kl::ScreenServer::initOnPort(ports.mainDataTraffic, delegate, loop, displays);
    weakServer = server;
    server->setSupportedResolutions(shippedResolutions());
    auto applications = kl::ScreenServiceApplications::attach(server, *delegate);
    if (!applications) KLLog(kKLTLoggingLevelError, "deskgate: applications cannot be described");

    kl::ScreenInputDispatcher::Dependencies input;
    input.mainLoop = &loop;
    input.geometry = [&weakServer] {
        auto server = weakServer.lock();
        return server ? inputGeometry(*server) : kl::PointerEventInjector::Geometry{};
    };
    if (applications) input.menus = applications->menuPresser();
    input.sendToViewer = [&weakServer](std::span<const uint8_t> datagram) {
        if (auto server = weakServer.lock()) server->sendSidebandDatagram(datagram);
    };
    auto inputDispatcher = std::make_shared<kl::ScreenInputDispatcher>(std::move(input));
    server->setInputDatagramSink(inputDispatcher);

    auto publication = kl::ScreenServicePublication::publish(loop, ports.mainDataTraffic);

    server->setConnectedAddress("127.0.0.1");
    server->setMirroringOnly(true);
    server->setState(kl::ScreenServerState::WaitingForViewer);
    if (!server->start()) KLLog(kKLTLoggingLevelError, "deskgate: not listening on port %u", unsigned(ports.mainDataTraffic));
    displays.startListeningForDevice(std::nullopt);

    kl::NotifyBus::Observer connectionRequests(
        kl::kConnectionRequestNotification, kl::NotifyBus::Scope::System, [&loop](kl::Task task) { loop.post(std::move(task)); },
        [&weakServer] {
            KLLog(kKLTLoggingLevelInfo, "Got notification from Portweaver Daemon that server sent a request for connection");
            std::string request = kl::readConnectionRequest(kl::connectionRequestFile());
            if (auto server = weakServer.lock()) server->portweaverReceivedConnectionRequest(request);
        });
    if (!connectionRequests.watching()) KLLog(kKLTLoggingLevelError, "deskgate: the daemon's connection requests cannot be watched");

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
    publication.reset();
    if (applications) applications->stop();
    server.reset();
    // After the server (whose input thread it served) and before this thread's X connection ends.
    inputDispatcher.reset();
    applications.reset();
    screenState.reset();
    kl::globalQueue().shutdown(std::chrono::seconds(5));
    KLLog(kKLTLoggingLevelInfo, "Exiting (deskgate).");
    return 0;
}
