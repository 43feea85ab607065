// Every control-app test binary runs a QApplication on the offscreen platform, with a QtMainLoop
// installed as the program's main loop, as the program itself does.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "controlapp/QtMainLoop.h"

namespace {

class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "controlapp-test";
        static char* argv[] = {name, nullptr};
        application_ = new QApplication(argc, argv);
        ASSERT_TRUE(kl::installMainLoop(std::make_unique<kl::QtMainLoop>()));
    }
    void TearDown() override {
        delete application_;
        application_ = nullptr;
    }

private:
    QApplication* application_ = nullptr;
};

const auto* registered = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
