// One application for the X11 tests: the kl_x_app_window stand-in with its window id and pid.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tunnel/StandinProcess.h"

namespace kl::test {

struct AppWindowProcess {
    std::unique_ptr<StandinProcess> process;
    unsigned long window = 0;
    int pid = 0;
};

inline AppWindowProcess startAppWindow(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KL_X_APP_WINDOW);
    AppWindowProcess app{std::make_unique<StandinProcess>(arguments)};
    auto ready = app.process->waitFor([](const nlohmann::json& l) { return l.value("ready", false); },
                                      std::chrono::seconds(10));
    if (ready) {
        app.window = (*ready)["window"].get<unsigned long>();
        app.pid = (*ready)["pid"].get<int>();
    }
    return app;
}

}  // namespace kl::test
