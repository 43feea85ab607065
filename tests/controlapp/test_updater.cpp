#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <map>
#include <mutex>
#include <thread>

#include "controlapp/desktop/KLTPortweaverUpdater.h"
#include "controlapp/desktop/KLTUpdateOffer.h"
#include "platform/Executors.h"
#include "platform/Files.h"
#include "platform/Preferences.h"
#include "platform/Process.h"
#include "platform/ValuePlist.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Serves fixed bodies over HTTP/1.0 on loopback. A body registered as cut announces its full
// length but sends only half before hanging up.
class TinyHTTPServer {
public:
    TinyHTTPServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
    }
    ~TinyHTTPServer() {
        thread_.request_stop();
        thread_.join();
        ::close(listener_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    void put(const std::string& path, std::string body, bool cut = false) {
        std::lock_guard lock(mutex_);
        bodies_[path] = {std::move(body), cut};
    }

private:
    void serve(std::stop_token stop) {
        while (!stop.stop_requested()) {
            pollfd poller{listener_, POLLIN, 0};
            if (::poll(&poller, 1, 50) <= 0) continue;
            int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, size_t(n));
            }
            std::string path = request.substr(4, request.find(' ', 4) - 4);
            std::string reply;
            {
                std::lock_guard lock(mutex_);
                auto it = bodies_.find(path);
                if (it == bodies_.end()) {
                    reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
                } else {
                    const auto& [body, cut] = it->second;
                    reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + (cut ? body.substr(0, body.size() / 2) : body);
                }
            }
            ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, bool>> bodies_;
    std::jthread thread_;
};

std::string encode(const std::string& bytes, bool hex) {
    std::string out;
    if (hex) {
        CryptoPP::StringSource(bytes, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(out), false));
    } else {
        CryptoPP::StringSource(bytes, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
    }
    return out;
}

struct Delegate : KLTPortweaverUpdaterDelegate {
    std::vector<std::string> found, installing;
    void updaterDidFindValidUpdate(const AppcastItem& item) override { found.push_back(item.version); }
    void updaterWillInstallUpdate(const AppcastItem& item) override { installing.push_back(item.version); }
};

class Updater : public ::testing::Test {
protected:
    void SetUp() override {
        signer_.AccessPrivateKey().GenerateRandom(rng_);
        CryptoPP::ed25519::Verifier verifier(signer_);
        const auto& key = dynamic_cast<const CryptoPP::ed25519PublicKey&>(verifier.GetPublicKey());
        publicKey_ = std::string(reinterpret_cast<const char*>(key.GetPublicKeyBytePtr()), 32);
        bundle_ = test::makeTempDir("apps") / "PortWeaver";
        writeBundle(bundle_, "1.2", "old program", server_.url("/appcast.xml"));
        updater_ = std::make_unique<KLTPortweaverUpdater>(bundle_, "com.kelvaro.portweaver.test" + std::to_string(++counter_));
        updater_->setDelegate(delegate_);
    }

    void writeBundle(const fs::path& bundle, const std::string& version, const std::string& program,
                     const std::string& feed) {
        Dictionary info{{"CFBundleIdentifier", Value("com.kelvaro.portweaver.controlapp")},
                        {"CFBundleVersion", Value(version)},
                        {"KLFeedURL", Value(feed)}};
        auto plist = valueToPlist(Value(info), PlistFormat::Xml);
        ASSERT_TRUE(plist.ok());
        ASSERT_TRUE(writeFileAtomically(bundle / "Info.plist", std::string(plist->begin(), plist->end())).ok());
        ASSERT_TRUE(writeFileAtomically(bundle / "bin/portweaver", program).ok());
        ASSERT_TRUE(writeFileAtomically(bundle / kAppcastPublicKeyFile, encode(publicKey_, false)).ok());
    }

    std::string tarball(const std::string& version, const std::string& program) {
        auto dir = test::makeTempDir("src");
        writeBundle(dir / "PortWeaver", version, program, "");
        auto archive = test::makeTempDir("tgz") / "b.tar.gz";
        EXPECT_EQ(runProgram({"tar", "-czf", archive.string(), "-C", dir.string(), "PortWeaver"}), 0);
        return *readFile(archive);
    }

    std::string sign(const std::string& data) {
        std::string signature(64, '\0');
        signer_.SignMessage(rng_, reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                            reinterpret_cast<uint8_t*>(signature.data()));
        return signature;
    }

    // Publishes archive under version; signedData is what the feed's signature covers.
    void publish(const std::string& version, const std::string& archive, const std::string& signedData,
                 bool cut = false) {
        std::string digest(32, '\0');
        CryptoPP::SHA256().CalculateDigest(reinterpret_cast<uint8_t*>(digest.data()),
                                           reinterpret_cast<const uint8_t*>(signedData.data()), signedData.size());
        server_.put("/pw-" + version + ".tar.gz", archive, cut);
        server_.put("/appcast.xml",
                    "<rss version=\"2.0\" xmlns:pw=\"https://kelvaro.com/xml/appcast\"><channel><item><enclosure url=\"" +
                        server_.url("/pw-" + version + ".tar.gz") + "\" length=\"" + std::to_string(archive.size()) +
                        "\" type=\"application/gzip\" pw:version=\"" + version + "\" pw:sha256=\"" +
                        encode(digest, true) + "\" pw:signature=\"" + encode(sign(signedData), false) +
                        "\"/></item></channel></rss>");
    }

    std::optional<Result<bool>> check() {
        std::optional<Result<bool>> outcome;
        updater_->checkForUpdatesInBackground([&](Result<bool> result) { outcome = std::move(result); });
        mainLoop().runUntil([&] { return outcome.has_value(); }, 20s);
        return outcome;
    }
    std::optional<Result<bool>> install() {
        std::optional<Result<bool>> outcome;
        updater_->installUpdate(*updater_->availableUpdate(), [&](Result<bool> result) { outcome = std::move(result); });
        mainLoop().runUntil([&] { return outcome.has_value(); }, 20s);
        return outcome;
    }

    static inline int counter_ = 0;
    CryptoPP::AutoSeededRandomPool rng_;
    CryptoPP::ed25519::Signer signer_;
    std::string publicKey_;
    TinyHTTPServer server_;
    fs::path bundle_;
    std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
    std::unique_ptr<KLTPortweaverUpdater> updater_;
};

}  // namespace

TEST_F(Updater, FeedURLComesFromInfoUnlessTheDefaultOverridesIt) {
    EXPECT_EQ(updater_->feedURL(), server_.url("/appcast.xml"));
    EXPECT_TRUE(updater_->automaticallyChecksForUpdates());
    updater_->setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(updater_->automaticallyChecksForUpdates());
    server_.put("/other.xml", "<rss><channel/></rss>");
    Preferences preferences("com.kelvaro.portweaver.test" + std::to_string(counter_));
    preferences.setValue("KLFeedURL", Value(server_.url("/other.xml")));
    ASSERT_TRUE(preferences.synchronize());
    EXPECT_EQ(updater_->feedURL(), server_.url("/other.xml"));
    auto outcome = check();
    ASSERT_TRUE(outcome && outcome->ok());
    EXPECT_FALSE(**outcome);
}

TEST_F(Updater, NewerSignedTarballIsFoundAndInstalled) {
    std::string archive = tarball("1.3", "new program");
    publish("1.3", archive, archive);
    auto found = check();
    ASSERT_TRUE(found && found->ok());
    EXPECT_TRUE(**found);
    EXPECT_EQ(delegate_->found, std::vector<std::string>{"1.3"});
    auto installed = install();
    ASSERT_TRUE(installed && installed->ok()) << (installed ? installed->error().description() : "no answer");
    EXPECT_EQ(delegate_->installing, std::vector<std::string>{"1.3"});
    EXPECT_EQ(*readFile(bundle_ / "bin/portweaver"), "new program");
}

TEST_F(Updater, BadFeedsAndBadDownloadsChangeNothing) {
    server_.put("/appcast.xml", "<rss><channel><item>");
    auto broken = check();
    ASSERT_TRUE(broken);
    EXPECT_FALSE(broken->ok());
    EXPECT_TRUE(delegate_->found.empty());

    std::string archive = tarball("1.3", "new program");
    std::string tampered = tarball("1.3", "evil program");
    struct Case {
        const char* what;
        std::string served;
        std::string signedData;
        bool cut;
    } cases[] = {
        {"cut download", archive, archive, true},
        {"other bytes than signed", tampered, archive, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        publish("1.3", c.served, c.signedData, c.cut);
        auto found = check();
        ASSERT_TRUE(found && found->ok() && **found);
        auto installed = install();
        ASSERT_TRUE(installed);
        EXPECT_FALSE(installed->ok());
        EXPECT_EQ(*readFile(bundle_ / "bin/portweaver"), "old program");
    }
    EXPECT_TRUE(delegate_->installing.empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle_.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(Updater, InstallIsAskedFirstAndRelaunchesOnlyAfterASuccess) {
    std::string archive = tarball("1.3", "new program");
    publish("1.3", archive, archive);
    auto found = check();
    ASSERT_TRUE(found && found->ok() && **found);
    const AppcastItem item = *updater_->availableUpdate();

    int relaunches = 0;
    std::optional<Result<bool>> outcome;
    offerUpdate(*updater_, item, [](const AppcastItem&) { return false; }, [&] { ++relaunches; },
                [&](Result<bool> result) { outcome = std::move(result); });
    ASSERT_TRUE(outcome && outcome->ok());
    EXPECT_FALSE(**outcome) << "Later installs nothing";
    EXPECT_EQ(*readFile(bundle_ / "bin/portweaver"), "old program");

    // The real message box, answered with its Install button.
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        for (auto* button : box->buttons())
            if (button->text() == "Install") button->click();
    });
    outcome.reset();
    offerUpdate(*updater_, item, askToInstallUpdate, [&] { ++relaunches; },
                [&](Result<bool> result) { outcome = std::move(result); });
    mainLoop().runUntil([&] { return outcome.has_value(); }, 20s);
    ASSERT_TRUE(outcome && outcome->ok());
    EXPECT_EQ(*readFile(bundle_ / "bin/portweaver"), "new program");
    EXPECT_EQ(relaunches, 1);
}
