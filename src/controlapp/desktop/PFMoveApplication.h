// Offers, once, to move a bundle that was unpacked somewhere (a Downloads folder) to
// /opt/portweaver and to relaunch from there, so that the daemon and the screen service it
// carries are installed from a stable place. Nothing is offered for a bundle already in an
// applications folder (/opt, ~/Applications), under a folder named "Applications", under /usr,
// or installed by a package. A bundle on a read-only mount stands for a disk image: it is copied
// and left where it is.
//
// Main thread only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kl {

class PFMoveApplicationDelegate {
public:
    virtual ~PFMoveApplicationDelegate() = default;
    virtual void userChoseToMoveApplication(bool move) = 0;
};

class PFMoveApplication {
public:
    inline static const char* kSuppressKey = "moveToApplicationsFolderAlertSuppress";

    struct AlertAnswer {
        bool move = false;
        bool suppress = false;  // the "Do not ask again" box was ticked
    };
    // The two alerts; the defaults are Qt message boxes.
    struct Alerts {
        std::function<AlertAnswer(const std::string& message, const std::string& informative)> offer;
        std::function<void(const std::string& message)> failure;
    };
    // How the mover acts on the system; the defaults do it for real.
    struct Actions {
        // Runs argv and waits: its raw wait status (the root helper through pkexec).
        std::function<int(const std::vector<std::string>&)> run;
        // Starts the app in bundle once this process has ended.
        std::function<void(const std::filesystem::path& bundle)> relaunch;
        // Starts the app in bundle now (switching to a running copy).
        std::function<void(const std::filesystem::path& bundle)> launch;
        std::function<void(int status)> exitProcess;
    };

    PFMoveApplication(std::filesystem::path bundle, std::string preferencesDomain);

    std::weak_ptr<PFMoveApplicationDelegate> delegate;
    Alerts alerts;
    Actions actions;
    // Where the bundle goes; its folder is the local applications folder.
    std::filesystem::path destination = "/opt/portweaver";
    std::filesystem::path homeApplications;  // ~/Applications

    // Returns when nothing is moved; ends the process (status 0) after a move or a switch.
    void moveToApplicationsFolderIfNecessary();

    // Whether path lies in an applications folder or under a folder named "Applications".
    bool isInApplicationsFolder(const std::filesystem::path& path) const;
    static bool isOnReadOnlyMount(const std::filesystem::path& path);
    // A process other than this one whose program lies inside bundle.
    static bool copyRunsFrom(const std::filesystem::path& bundle);

private:
    bool copyWithoutAuthorization(const std::filesystem::path& source);
    bool copyWithAuthorization(const std::filesystem::path& source);

    std::filesystem::path bundle_;
    std::string preferencesDomain_;
};

}  // namespace kl
