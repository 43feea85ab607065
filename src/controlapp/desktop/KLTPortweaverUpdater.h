// The control app's updater: checks the appcast named by "KLFeedURL" (the bundle's Info.plist,
// overridable by the preference of that name), tells its delegate about a newer signed update,
// and installs it when asked: a tarball is swapped in beside the bundle, a Debian package (or a
// bundle the user cannot write) goes through the root helper's "install-package".
//
// Main thread only: the HTTP callbacks arrive on the main loop. The updater must outlive its
// fetches (the shared one lives as long as the process).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "controlapp/desktop/AppcastUpdater.h"
#include "platform/Error.h"

namespace kl {

class KLTPortweaverUpdaterDelegate {
public:
    virtual ~KLTPortweaverUpdaterDelegate() = default;
    virtual void updaterDidFindValidUpdate(const AppcastItem& item) = 0;
    // Just before the bundle is replaced: the app stops what runs from it.
    virtual void updaterWillInstallUpdate(const AppcastItem& item) = 0;
};

class KLTPortweaverUpdater {
public:
    using Completion = std::function<void(Result<bool>)>;
    using FetchCompletion = std::function<void(Result<Bytes>)>;
    // Fetches a URL's body; the default uses the HTTP client's operations.
    using Fetcher = std::function<void(const std::string& url, uint64_t maxLength, FetchCompletion)>;
    // Runs the root helper with these arguments; true on success. Default: pkexec (or directly
    // as root) on the bundle's helper.
    using HelperRunner = std::function<bool(const std::vector<std::string>& args)>;

    // The updater of the bundle that holds the running program.
    static KLTPortweaverUpdater& sharedUpdater();
    explicit KLTPortweaverUpdater(std::filesystem::path bundle, std::string preferencesDomain);

    bool automaticallyChecksForUpdates();
    void setAutomaticallyChecksForUpdates(bool checks);
    std::string feedURL();

    void setDelegate(std::weak_ptr<KLTPortweaverUpdaterDelegate> delegate) { delegate_ = std::move(delegate); }
    void setFetcher(Fetcher fetcher) { fetcher_ = std::move(fetcher); }
    void setHelperRunner(HelperRunner runner) { helper_ = std::move(runner); }

    // Fetches the feed; a newer item goes to the delegate and stays as availableUpdate(). done (may
    // be empty) gets whether an update was found, or the error.
    void checkForUpdatesInBackground(Completion done = {});
    const std::optional<AppcastItem>& availableUpdate() const { return available_; }
    // Downloads, verifies and installs item; nothing is changed unless every check passes.
    void installUpdate(const AppcastItem& item, Completion done);

private:
    void installVerified(const AppcastItem& item, const Bytes& archive, Completion done);

    std::filesystem::path bundle_;
    std::string preferencesDomain_;
    std::weak_ptr<KLTPortweaverUpdaterDelegate> delegate_;
    Fetcher fetcher_;
    HelperRunner helper_;
    std::optional<AppcastItem> available_;
};

}  // namespace kl
