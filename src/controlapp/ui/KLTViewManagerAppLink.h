// What the view manager asks of the app delegate: the sign-in state and the daemon requests that
// the host rows and account views trigger. The view manager never talks to the daemon itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kl {

class KLTViewManagerAppLink {
public:
    virtual ~KLTViewManagerAppLink() = default;
    virtual uint32_t registrarState() const = 0;
    // The updater found an update (shown as a status bar entry).
    virtual bool updateIsAvailable() const = 0;
    virtual void shouldRequestHostUpdates(bool should) = 0;     // command 31
    virtual void requestHostUpdateFromPortweaver() = 0;         // command 32
    virtual void connectWithUUID(const std::string& uuid) = 0;  // command 29
    virtual void disconnectWithUUID(const std::string& uuid) = 0;  // command 30
    // Command 28; completion only when the daemon names a URL.
    virtual void URLForUUID(const std::string& uuid, const std::string& serviceType, const std::string& username,
                            std::function<void(std::string)> completion) = 0;
    virtual void deleteHostWithID(const std::string& hostID) = 0;  // command 18
    virtual void signoutRequest() = 0;                             // command 7
    // The update entry's action ("update:") and the manual check.
    virtual void checkForUpdates() = 0;
};

}  // namespace kl
