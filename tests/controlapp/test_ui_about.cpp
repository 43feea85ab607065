// The About window: versions, the notice's sizing, and the credits' endless scroll driven by a
// test clock.
#include <gtest/gtest.h>

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QScrollBar>
#include <QTextEdit>

#include <fstream>

#include "controlapp/KLTAppDelegate.h"
#include "controlapp/ui/KLTAboutPanelController.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = CreditsView::Clock;

// A clock the test moves by hand.
struct TestClock {
    Clock::time_point now = Clock::time_point(1h);
    std::function<Clock::time_point()> function() {
        return [this] { return now; };
    }
};

// Pixels of the view that are not (nearly) white: where text is painted.
int inkedPixels(QWidget& view) {
    const QImage image = view.grab().toImage();
    int inked = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 200) ++inked;
    return inked;
}

QString paragraphs(int count) {
    QString html;
    for (int i = 0; i < count; ++i) html += QString("<p>Credit line %1</p>").arg(i);
    return html;
}

class About : public ::testing::Test {
protected:
    fs::path bundle(const std::string& notice) {
        fs::path folder = test::makeTempDir("bundle");
        fs::create_directories(folder / "share");
        std::string entries = "<key>CFBundleName</key><string>Port Weaver</string>"
                              "<key>CFBundleShortVersionString</key><string>1.4.2</string>"
                              "<key>CFBundleVersion</key><string>1402</string>";
        if (!notice.empty()) entries += "<key>NSHumanReadableCopyright</key><string>" + notice + "</string>";
        std::ofstream(folder / "Info.plist") << "<plist version=\"1.0\"><dict>" << entries << "</dict></plist>";
        std::ofstream(folder / "share/Credits.html") << paragraphs(30).toStdString();
        return folder;
    }
    std::unique_ptr<KLTAboutPanelController> panel(const std::string& notice = "Notice") {
        return std::make_unique<KLTAboutPanelController>(
            KLTAboutPanelController::Options{bundle(notice), app_, services_, clock_.function()});
    }
    static std::string text(QLabel* label) { return label ? label->text().toStdString() : "<missing>"; }

    TestClock clock_;
    std::shared_ptr<KLTAppDelegate> app_ = KLTAppDelegate::create({});
    std::shared_ptr<PWServicesManager> services_ =
        PWServicesManager::create({test::makeTempDir("proc"), test::makeTempDir("archive") / "archive", "m"});
};

TEST_F(About, ShowsTheFourVersionsAndAQuestionMarkWithoutTheScreenService) {
    app_->daemonVersion = "2.1.0";
    app_->daemonRevision = "210";
    app_->tunnexVersion = "3.0.0";
    auto about = panel();
    EXPECT_EQ(text(about->field("applicationNameField")), "Port Weaver");
    EXPECT_EQ(text(about->field("controlAppVersionField")), "1.4.2 (1402)");
    EXPECT_EQ(text(about->field("daemonVersionField")), "2.1.0 (210)");
    EXPECT_EQ(text(about->field("tunnexVersionField")), "3.0.0");
    EXPECT_EQ(text(about->field("deskgateVersionField")), "?");

    PWRunningService screen;
    screen.serviceName = "com.kelvaro.portweaver.service.deskgate";
    screen.serviceVersion = "1.2 (12)";
    screen.pid = 4242;
    services_->updateReportingServices({screen});
    EXPECT_EQ(text(panel()->field("deskgateVersionField")), "1.2 (12)");
}

TEST_F(About, TheNoticeShowsAtMostFiveLinesAndLongerOnesScroll) {
    struct Case {
        int lines;
        int shownLines;  // 0: no notice area
        bool scrolls;
    };
    int emptyHeight = 0, oneLineHeight = 0;
    for (const Case& c : {Case{0, 0, false}, Case{1, 1, false}, Case{10, 5, true}}) {
        std::string notice;
        for (int i = 0; i < c.lines; ++i) notice += (i ? "\n" : "") + std::string("Notice line ") + std::to_string(i);
        auto about = panel(notice);
        about->showWindow({});
        QTextEdit* view = about->copyrightView();
        EXPECT_EQ(view->isVisible(), c.shownLines > 0) << c.lines;
        const int windowHeight = about->window()->height();
        if (c.lines == 0) emptyHeight = windowHeight;
        if (c.lines == 1) oneLineHeight = windowHeight;
        if (c.shownLines == 0) continue;
        const int lineHeight = QFontMetrics(view->document()->defaultFont()).lineSpacing();
        EXPECT_NEAR(view->viewport()->height(), c.shownLines * lineHeight, 2) << c.lines;
        EXPECT_EQ(view->verticalScrollBar()->maximum() > 0, c.scrolls) << c.lines;
        about->window()->close();
    }
    EXPECT_LT(emptyHeight, oneLineHeight) << "an empty notice shortens the window";
}

TEST_F(About, ClosingStopsTheCreditsAndCallsTheHandlerOnce) {
    auto about = panel();
    std::vector<bool> answers;
    about->showWindow([&](bool yes) { answers.push_back(yes); });
    CreditsView* credits = about->creditsView();
    ASSERT_TRUE(credits->isCreditsAnimationActive());
    EXPECT_TRUE(credits->timerRunning());

    about->window()->close();
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_FALSE(credits->isCreditsAnimationActive());
    EXPECT_FALSE(credits->timerRunning());
    const double resting = credits->textTop();
    clock_.now += 10 * std::chrono::duration_cast<Clock::duration>(credits->cycleDuration());
    credits->advance();
    EXPECT_EQ(credits->completedCycles(), 0) << "no pass completes after the close";
    EXPECT_EQ(credits->textTop(), resting);
    EXPECT_GE(resting, credits->height()) << "the text waits below the view";
}

// The credits view alone, at a given height, with a test clock.
struct Credits {
    Credits(int height, int paragraphCount) {
        view.setClock(clock.function());
        view.resize(200, height);
        view.setHtml(paragraphs(paragraphCount));
        view.startCreditsScrollAnimation();
    }
    void at(std::chrono::duration<double> t) {
        clock.now = start + std::chrono::duration_cast<Clock::duration>(t);
        view.advance();
    }
    TestClock clock;
    Clock::time_point start = clock.now;
    CreditsView view;
};

TEST(CreditsScroll, ATallTextCrossesTheWholeViewFromBelowToAbove) {
    Credits credits(100, 40);
    CreditsView& view = credits.view;
    const int height = view.textHeight();
    ASSERT_GT(height, 3 * view.height()) << "the text must be taller than the view";
    const auto cycle = view.cycleDuration();

    credits.at(0s);
    EXPECT_DOUBLE_EQ(view.textTop(), view.height() + CreditsView::kFadeHeight) << "starts just below the lower fade";
    EXPECT_EQ(inkedPixels(view), 0);
    double last = view.textTop();
    for (int step = 1; step < 100; ++step) {
        credits.at(cycle * (step / 100.0));
        EXPECT_LT(view.textTop(), last) << step;
        last = view.textTop();
        if (step == 50) {
            EXPECT_GT(inkedPixels(view), 0) << "the text shows while it passes";
        }
    }
    credits.at(cycle - 1ms);
    EXPECT_LT(view.textTop() + height, 0) << "ends with all of the text above the view";
    EXPECT_EQ(inkedPixels(view), 0);
    EXPECT_NEAR(view.textTop() + height, -CreditsView::kFadeHeight, 1);
    EXPECT_EQ(view.completedCycles(), 0);

    // The pass completes and the next one starts again from below.
    credits.at(cycle);
    EXPECT_EQ(view.completedCycles(), 1);
    EXPECT_DOUBLE_EQ(view.textTop(), view.height() + CreditsView::kFadeHeight);
}

TEST(CreditsScroll, OnePassTakesHalfASecondPerPixelOfHeightWhateverTheText) {
    for (int viewHeight : {60, 140}) {
        for (int paragraphCount : {1, 60}) {
            Credits credits(viewHeight, paragraphCount);
            const std::chrono::duration<double> expected(0.5 * viewHeight);
            EXPECT_DOUBLE_EQ(credits.view.cycleDuration().count(), expected.count());
            credits.at(expected - 1ms);
            EXPECT_EQ(credits.view.completedCycles(), 0) << viewHeight << " " << paragraphCount;
            credits.at(expected);
            EXPECT_EQ(credits.view.completedCycles(), 1) << viewHeight << " " << paragraphCount;
            credits.at(3 * expected + 1ms);
            EXPECT_EQ(credits.view.completedCycles(), 3) << "the scrolling restarts until stopped";
        }
    }
}

}  // namespace
}  // namespace kl
